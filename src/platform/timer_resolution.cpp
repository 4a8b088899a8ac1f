#include "platform/timer_resolution.h"

#if defined(_WIN32)
#include <windows.h>
// Needs <windows.h> before it.
#include <timeapi.h>

FineTimerResolution::FineTimerResolution() : raised_(timeBeginPeriod(1) == TIMERR_NOERROR) {}

FineTimerResolution::~FineTimerResolution() {
    if (raised_) timeEndPeriod(1);
}
#else
FineTimerResolution::FineTimerResolution() = default;
FineTimerResolution::~FineTimerResolution() = default;
#endif
