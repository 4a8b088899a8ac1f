#include "platform/timer_resolution.h"

#if defined(_WIN32)
#include <windows.h>
// Needs <windows.h> before it.
#include <timeapi.h>

namespace nexir {

FineTimerResolution::FineTimerResolution() : raised_(timeBeginPeriod(1) == TIMERR_NOERROR) {}

FineTimerResolution::~FineTimerResolution() {
    if (raised_) timeEndPeriod(1);
}

}  // namespace nexir
#else

namespace nexir {

FineTimerResolution::FineTimerResolution() = default;
FineTimerResolution::~FineTimerResolution() = default;

}  // namespace nexir
#endif
