// The one place that knows how the platform delivers interruptions.
#include "platform/interruption.h"

#include <atomic>
#include <csignal>
#include <initializer_list>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

namespace nexir {
namespace {

// Written by the handlers, which may do nothing else safely. A handler may run on any
// thread (the transfer task's too), hence atomics, which are safe in a handler only
// when they need no lock.
std::atomic<int> receivedCount{0};
std::atomic<int> latestSignal{0};
int acknowledgedCount = 0;  // main thread only
static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need lock-free atomics");

void countInterruption(int signal) {
    latestSignal = signal;
    ++receivedCount;
}

#ifdef _WIN32
// Console events arrive on a thread of their own; they are mapped to the POSIX numbers
// so that the exit code means the same on both platforms (Ctrl-C: 2, others: 15).
// After a close, log-off or shut-down event the system ends the process as soon as the
// handler returns, so the handler waits instead: the main thread then has until the
// system's own deadline (about five seconds) to tell the card and close the channels,
// and its exit ends this thread too.
BOOL WINAPI onConsoleEvent(DWORD event) {
    const bool keystroke = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    countInterruption(keystroke ? SIGINT : SIGTERM);
    if (!keystroke) Sleep(INFINITE);
    return TRUE;
}
#endif

}  // namespace

#ifdef _WIN32
void installInterruptionHandlers() { SetConsoleCtrlHandler(onConsoleEvent, TRUE); }
#else
void installInterruptionHandlers() {
    struct sigaction action = {};
    action.sa_handler = countInterruption;
    // Calls under way (a file read, a sleep) go on as if nothing came: the loops look
    // at the count when they next poll.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
}
#endif

bool interruptionPending() { return receivedCount != acknowledgedCount; }

int acknowledgeInterruption() {
    acknowledgedCount = receivedCount;
    return latestSignal;
}

void leaveIfInterrupted() {
    if (interruptionPending()) throw Interrupted{acknowledgeInterruption()};
}

}  // namespace nexir
