// ParseHttpDate: the value of a Last-Modified field as a Time64.
#ifndef VORN_DOWNLOAD_HTTP_DATE_H_
#define VORN_DOWNLOAD_HTTP_DATE_H_

#include "download/time64.h"

namespace vorn {

// Turns the trimmed, lower-cased value of a Last-Modified field into a time,
// reading the fields at their fixed offsets as UTC (HTTP dates are GMT).
// False when the value gives no representable time (no comma, a year before
// 1970, the RFC 850 form): the answer then counts as undated.
bool ParseHttpDate(const char* value, Time64* out);

}  // namespace vorn

#endif  // VORN_DOWNLOAD_HTTP_DATE_H_
