#include "platform/ticks.h"

#if defined(_WIN32)
#include <windows.h>

namespace nexir {

std::uint32_t platformTickCount() { return GetTickCount(); }

}  // namespace nexir
#else
#include <chrono>

namespace nexir {

std::uint32_t platformTickCount() {
    const auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(sinceStart);
    return static_cast<std::uint32_t>(milliseconds.count());
}

}  // namespace nexir
#endif
