// Operator interruptions (Ctrl-C, a terminal hang-up, a termination request). The
// handlers only count them; the program's loops look at the count between polls and
// decide what an interruption means at that point: leave at once, or first tell the
// card to stop an upgrade it would otherwise wait on forever.
#pragma once

namespace nexir {

// Thrown where an interruption is noticed and nothing needs doing first: unwinding
// closes every card's channels on its way out to main, which exits with 128 + signal.
struct Interrupted {
    int signal;
};

// Installs the handlers for SIGINT, SIGTERM and SIGHUP, and ignores SIGPIPE so that a
// closed standard output only makes writes fail instead of ending the process.
void installInterruptionHandlers();

// True while an interruption has come that nobody has taken on yet.
bool interruptionPending();
// Takes on the pending interruptions; returns the latest signal number (0: none ever).
int acknowledgeInterruption();
// Throws Interrupted when an interruption is pending.
void leaveIfInterrupted();

}  // namespace nexir
