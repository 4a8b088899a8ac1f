#pragma once

namespace nexir {

// Keeps the system timer at one millisecond for its lifetime, so that the one-millisecond
// sleep between empty polls of a card lasts about that long. Windows' default tick of
// about 15.6 ms would stretch each one-second command time-out to some 15 s. Nothing to
// do on Linux, whose sleeps are already that fine.
class FineTimerResolution {
public:
    FineTimerResolution();
    ~FineTimerResolution();
    FineTimerResolution(const FineTimerResolution&) = delete;
    FineTimerResolution& operator=(const FineTimerResolution&) = delete;

private:
#if defined(_WIN32)
    bool raised_ = false;  // whether the raise succeeded and is to be undone
#endif
};

}  // namespace nexir
