// Every outcome and its log line, row for row as the README's table has
// them. A row gives the line of the probe or the plan and, where a segment
// can end so, the segment's; a segment row left empty is the probe's text
// after the segment's number.
#include "update/outcome_lines.h"

#include "update/messages.h"

namespace vorn {

namespace {

struct Row {
  Outcome outcome;
  const char* line;         // null: no such line outside a segment
  bool line_status;         // the status code follows the line
  const char* segment;      // null: kSegmentLinePrefix + line
  bool segment_status;      // the status code follows the segment's line
};

constexpr Row kRows[] = {
    {Outcome::kBadUrl, msg::kPackageUrlNotHttp, false, nullptr, false},
    {Outcome::kBadPort, msg::kPackagePortInvalid, false, nullptr, false},
    {Outcome::kBadSavePath, msg::kSavePathInvalid, false, nullptr, false},
    {Outcome::kConnectFailed, msg::kServerUnreachable, false,
     msg::kSegmentConnectFailed, false},
    {Outcome::kSendFailed, msg::kRequestSendFailed, false, msg::kSegmentBroken,
     false},
    {Outcome::kNoAnswer, msg::kServerSilent, false, msg::kSegmentBroken, false},
    {Outcome::kHeadTooLong, msg::kHeadTooLong, false, nullptr, false},
    {Outcome::kBadAnswer, msg::kServerAnswerInvalid, false,
     msg::kSegmentWrongAnswer, false},
    {Outcome::kServerError, msg::kServerError, true, nullptr, true},
    {Outcome::kRefused, msg::kServerRefused, true, msg::kSegmentWrongAnswer,
     false},
    {Outcome::kUnexpectedStatus, msg::kNoFileInAnswer, true, nullptr, true},
    {Outcome::kTooManyRedirects, msg::kTooManyRedirects, false, nullptr, false},
    {Outcome::kBadRedirect, msg::kRedirectInvalid, false, nullptr, false},
    {Outcome::kInsecureRedirect, msg::kInsecureRedirect, false, nullptr, false},
    {Outcome::kEmptyPackage, msg::kEmptyPackage, false, nullptr, false},
    {Outcome::kWrongSize, msg::kSizeMismatch, false, nullptr, false},
    {Outcome::kPlanNotWritten, msg::kPlanWriteFailed, false, nullptr, false},
    {Outcome::kProxyConnectFailed, msg::kProxyUnreachable, false,
     msg::kSegmentProxyUnreachable, false},
    {Outcome::kProxyAuthRequired, msg::kProxyAuthRequired, true,
     msg::kSegmentProxyError, false},
    {Outcome::kProxyBadGateway, msg::kProxyBadGateway, true,
     msg::kSegmentProxyError, false},
    {Outcome::kProxyUnsupported, msg::kProxyUnsupported, false,
     msg::kSegmentProxyUnreachable, false},
    {Outcome::kWrongAnswer, nullptr, false, msg::kSegmentWrongAnswer, false},
    {Outcome::kOtherFile, nullptr, false, msg::kSegmentWrongAnswer, false},
    {Outcome::kBroken, nullptr, false, msg::kSegmentBroken, false},
    {Outcome::kNotRun, nullptr, false, msg::kSegmentBroken, false},
    {Outcome::kStopped, nullptr, false, msg::kSegmentBroken, false},
    {Outcome::kThreadStartFailed, msg::kThreadStartFailed, false, nullptr,
     false},
    {Outcome::kWaitFailed, msg::kWaitFailed, false, nullptr, false},
    {Outcome::kWriteFailed, msg::kPartWriteFailed, false,
     msg::kSegmentWriteFailed, false},
    {Outcome::kReadBackFailed, msg::kReadBackFailed, false, nullptr, false},
    {Outcome::kReplaceFailed, msg::kReplaceFailed, false, nullptr, false},
    {Outcome::kDigestMismatch, msg::kDigestMismatch, false, nullptr, false},
};

// A TLS failure's line names what the certificate check found.
const char* TlsLine(const platform::Status& error) {
  switch (error.kind()) {
    case platform::ErrorKind::kTlsUntrusted:
      return msg::kTlsUntrusted;
    case platform::ErrorKind::kTlsWrongName:
      return msg::kTlsWrongName;
    case platform::ErrorKind::kTlsExpired:
      return msg::kTlsExpired;
    default:
      return msg::kTlsHandshake;
  }
}

const Row* RowOf(Outcome outcome) {
  for (const Row& row : kRows) {
    if (row.outcome == outcome) return &row;
  }
  return nullptr;
}

std::string WithStatus(const char* text, bool with_status, int32_t status) {
  std::string line = text;
  if (with_status) line += std::to_string(status);
  return line;
}

}  // namespace

std::string OutcomeLine(const StepResult& result) {
  if (result.outcome == Outcome::kTlsFailed) {
    return WithDetail(TlsLine(result.error), result.error);
  }
  const Row* row = RowOf(result.outcome);
  if (row == nullptr || row->line == nullptr) return std::string();
  return WithDetail(WithStatus(row->line, row->line_status, result.status),
                    result.error);
}

std::string SegmentOutcomeLine(int index, const StepResult& result) {
  std::string line = std::string(msg::kSegmentPrefix) + std::to_string(index + 1);
  if (result.outcome == Outcome::kTlsFailed) {
    line += msg::kSegmentLinePrefix;
    line += TlsLine(result.error);
  } else if (const Row* row = RowOf(result.outcome); row == nullptr) {
    line += msg::kSegmentBroken;
  } else if (row->segment != nullptr) {
    line += WithStatus(row->segment, row->segment_status, result.status);
  } else {
    line += msg::kSegmentLinePrefix +
            WithStatus(row->line, row->segment_status, result.status);
  }
  return WithDetail(line, result.error);
}

}  // namespace vorn

namespace vorn {

namespace {

const char* ReasonWords(platform::ErrorKind kind) {
  switch (kind) {
    case platform::ErrorKind::kDiskFull:
      return msg::kReasonDiskFull;
    case platform::ErrorKind::kAccessDenied:
      return msg::kReasonAccessDenied;
    case platform::ErrorKind::kInUse:
      return msg::kReasonInUse;
    case platform::ErrorKind::kPathTooLong:
      return msg::kReasonPathTooLong;
    case platform::ErrorKind::kHostNotFound:
      return msg::kReasonHostNotFound;
    case platform::ErrorKind::kRefused:
      return msg::kReasonRefused;
    case platform::ErrorKind::kTimedOut:
      return msg::kReasonTimedOut;
    default:
      return nullptr;
  }
}

}  // namespace

std::string FailureDetail(const platform::Status& error) {
  if (error.ok()) return std::string();
  std::string reason;
  if (const char* words = ReasonWords(error.kind())) {
    reason = words;
  } else if (!error.os_text().empty()) {
    reason = error.os_text();
  } else if (error.os_code() != 0) {
    reason = "(" + std::to_string(error.os_code()) + ")";
  }
  std::string out;
  if (!error.object().empty()) out += msg::kDetailSeparator + error.object();
  if (!reason.empty()) out += msg::kDetailSeparator + reason;
  return out;
}

std::string WithDetail(const std::string& line, const platform::Status& error) {
  std::string detail = FailureDetail(error);
  const std::string separator = msg::kDetailSeparator;
  if (line.size() >= separator.size() &&
      line.compare(line.size() - separator.size(), separator.size(),
                   separator) == 0 &&
      detail.compare(0, separator.size(), separator) == 0) {
    detail.erase(0, separator.size());
  }
  return line + detail;
}

std::string RetryLine(int index, int retry, const StepResult& why,
                      uint32_t pause_ms) {
  return SegmentOutcomeLine(index, why) + msg::kRetryComma +
         std::to_string((pause_ms + 999) / 1000) + msg::kRetryAfterSeconds +
         std::to_string(retry) + msg::kRetryClose;
}

}  // namespace vorn
