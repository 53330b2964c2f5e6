#include "platform/local_time.h"

#include <time.h>

#include <limits>

namespace qav::platform {

int32_t LocalUtcOffsetSeconds(int64_t unixSeconds) {
    static_assert(std::numeric_limits<time_t>::max() >= std::numeric_limits<int64_t>::max(),
                  "a 64-bit time_t is needed for instants beyond 2038");
    const time_t instant = static_cast<time_t>(unixSeconds);
    tm local{};
    if (localtime_r(&instant, &local) == nullptr) {
        return 0;
    }
    return static_cast<int32_t>(local.tm_gmtoff);
}

}  // namespace qav::platform
