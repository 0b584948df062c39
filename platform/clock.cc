#include "platform/clock.h"

#include <limits>

namespace vorn::platform {

bool FitsCalendarRecord(const LocalFields& fields) {
  return fields.year >= std::numeric_limits<int>::min() + 1900 &&
         fields.month > std::numeric_limits<int>::min();
}

}  // namespace vorn::platform
