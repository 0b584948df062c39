// ParseHttpDate: Last-Modified values read at fixed offsets as UTC.
#include "download/http_date.h"

#include <string>

#include "platform/text.h"

namespace vorn {

namespace {

// The twelve month names, each starting at a multiple of 4, so a found
// position p names month p / 4 + 1. A three-letter text that spans two
// names is credited to the one it starts in ("y,j" gives May).
const char kMonthTable[] = "jan,feb,mar,apr,may,jun,jul,aug,sep,oct,nov,dec";

}  // namespace

// Reads the RFC 1123 form "sun, 06 nov 1994 08:49:37 gmt" at fixed offsets:
// the day is the two characters after the comma, the month the three at
// offsets 3 to 5, the year runs up to the next blank or tab, and the time
// fields sit at offsets 0, 3 and 6 after it. The zone is ignored and the
// fields are read as UTC. Nothing is validated: shifted texts give
// shifted fields, which mktime normalises. A text without a comma (the
// asctime form), or fields that name no representable time (a year before
// 1970, the two-digit year of the RFC 850 form), give false.
bool ParseHttpDate(const char* value, Time64* out) {
  if (value == nullptr) return false;
  std::string text = value;

  int comma = Find(text, ",");
  if (comma < 0) return false;
  text = TrimLeft(Mid(text, comma + 1));

  int day = Atoi(Mid(text, 0, 2));
  int month = 1;
  int found = Find(kMonthTable, LowerAscii(Mid(text, 3, 3)));
  if (found >= 0) month = found / 4 + 1;

  text = TrimLeft(Mid(text, 6));

  // The year ends at the first blank or tab; without one the year is 2000
  // and the time is read from the start of what is left. No white space is
  // dropped here, so a second blank shifts every time field.
  int year = 2000;
  int blank = -1;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ' ' || text[i] == '\t') {
      blank = static_cast<int>(i);
      break;
    }
  }
  if (blank >= 0) {
    year = Atoi(Left(text, blank));
    text = Mid(text, blank + 1);
  }

  int hour = Atoi(Mid(text, 0, 2));
  int minute = Atoi(Mid(text, 3, 2));
  int second = Atoi(Mid(text, 6, 2));
  return Time64::FromUtcFields(year, month, day, hour, minute, second, out);
}

}  // namespace vorn
