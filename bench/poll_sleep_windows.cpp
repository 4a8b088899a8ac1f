// What the one-millisecond sleep between empty polls costs on Windows: 1000 of them,
// as a command that gets no answer makes, with the system's timer resolution as it is
// and raised to 1 ms as the program raises it. Built and run by bench/wine_timings.sh.
#include <timeapi.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <thread>

static double thousandSleeps() {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int main() {
    for (int round = 0; round < 3; ++round) {
        const double plain = thousandSleeps();
        timeBeginPeriod(1);
        const double raised = thousandSleeps();
        timeEndPeriod(1);
        std::printf("1000 sleeps of 1 ms: %.3f s at the default resolution, %.3f s at 1 ms\n", plain, raised);
    }
    return 0;
}
