// Runs the built nexir-updater against the virtual card bench and captures everything
// a user or a script would see: standard output, standard error, the exit code, and
// the bench's log of the D2XX calls the program made.
#pragma once

#include <string>
#include <vector>

struct ProgramRun {
    std::string out;
    std::string err;
    int exitCode = -1;
    std::string callLog;
    double seconds = 0;
    std::string dir;  // the run's folder; the bench leaves what each card's FIFO received in fifo/<card>.bin
};

// A signal for the child, sent `delaySeconds` after its call log first contains
// `afterLogText` (empty: after the start), or after the signal before it in the list.
struct TimedSignal {
    int signal = 0;
    std::string afterLogText;
    double delaySeconds = 0;
};

struct RunOptions {
    std::string scenarioJson;          // scenario text; empty: no scenario at all
    std::string libraryDir;            // where the loader looks; empty: the bench
    std::vector<std::string> env;      // extra NAME=value entries
    double timeoutSeconds = 180;       // the run is killed (exit code -9) past this
    std::string argv0;                 // the program's name for itself; empty: its path
    std::vector<std::string> wrapper;  // POSIX: a command that runs the program (prlimit ..., setpriv ...)
};

// What an operator or a shell may do to a running program.
struct Interference {
    std::vector<TimedSignal> signals;  // delivered in order
    bool closedStdout = false;         // standard output is a pipe whose reader has gone
    bool terminal = false;             // POSIX: standard output is a terminal 120 columns wide
};

// `dir`: the run's folder, to watch it while the program runs; empty: a fresh one.
ProgramRun runUpdater(const std::vector<std::string>& args, const RunOptions& options = {},
                      const Interference& interference = {}, const std::string& dir = "");

// A fresh temporary folder per call (from any thread), removed at process exit.
std::string makeTempDir();
void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);

// Folder of the bundled scenarios and images.
std::string benchAssetPath(const std::string& relative);
