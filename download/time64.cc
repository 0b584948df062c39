#include "download/time64.h"

#include "platform/clock.h"

namespace vorn {

// TODO(protocol): not built yet.
bool Time64::FromLocalFields(platform::Clock*, int, int, int, int, int, int,
                             Time64*) {
  return false;
}
Time64 Time64::Now(platform::Clock* clock) { return Time64(clock->NowSeconds()); }
bool ParseHttpDate(platform::Clock*, const char*, Time64*) { return false; }

}  // namespace vorn
