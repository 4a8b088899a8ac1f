#pragma once

#include <cstdint>

namespace nexir {

// A 32-bit millisecond tick counter that wraps every 2^32 ms (about 49.7 days):
// GetTickCount on Windows, the steady clock truncated to 32 bits on Linux. Take
// differences modulo 2^32.
std::uint32_t platformTickCount();

}  // namespace nexir
