// The version file as one value: read once, right after the fetch, into
// its lines, the announced version, the package URL and the release
// checks; the decision, the checks and the download all read this value.
#ifndef VORN_UPDATE_VERSION_FILE_H_
#define VORN_UPDATE_VERSION_FILE_H_

#include <string>
#include <vector>

#include "update/release_checks.h"

namespace vorn {

struct VersionFile {
  // Every line without its line end; empty for a web page.
  std::vector<std::string> lines;
  // Whether there is a "VER" and a "URL" entry line: without both the
  // file is malformed.
  bool has_entries = false;
  // The announced version; empty without both entries.
  std::string version;
  // The package URL; empty without a "URL" entry.
  std::string url;
  // The check lines before the version entry; `checks` holds them when
  // `checks_error` is kNone. Its mirrors never hold `url` itself.
  ReleaseChecksError checks_error = ReleaseChecksError::kNone;
  ReleaseChecks checks;
};

// Reads a fetched body. A line ends at CR LF, at LF or at a lone CR; a
// byte-order mark at the very start is no part of the first line; a last
// line without a line end counts when it is not empty, unless
// `complete_only` (a reading that broke off keeps only the lines it
// finished). A body that is a web page (a "<html" or "<!DOCTYPE" in its
// first kilobyte, any case) has no lines at all.
VersionFile ReadVersionFile(const std::string& body, bool complete_only);

}  // namespace vorn

#endif  // VORN_UPDATE_VERSION_FILE_H_
