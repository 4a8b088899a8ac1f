// The recording file: a header line, then one line per D2XX call in the order the calls
// ended, then a closing line at exit. Calls may end on two threads at once (the image
// is written on one while the UART is polled on the other), so every method locks.
//
// The program polls its UART every millisecond, so a long update makes hundreds of
// thousands of identical calls. A call marked as a poll is held back while the calls
// after it are the same (same body: function, handle, arguments, status and results),
// and the run is written as one line with its count and time span once something else
// happens. Every other line is flushed at once, so a killed process leaves a file that
// lacks at most the run of polls it was in.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace recorder {
class Recording {
public:
    // Takes over an open file and writes `header` as its first line.
    Recording(std::FILE* file, const std::string& header);
    Recording(const Recording&) = delete;
    Recording& operator=(const Recording&) = delete;

    // One call that started at `start` and ended at `end` (microseconds since the
    // recording began), with `body` the members of its line after the times.
    void add(std::int64_t start, std::int64_t end, const std::string& body, bool poll);

    // Writes the held-back run and the closing line at time `now`, and closes the
    // file; calls after it go unrecorded. Gives up, leaving the file as flushed, when
    // another thread holds the lock for long: at process exit on Windows that thread
    // may have been ended while it held it.
    void finish(std::int64_t now);

private:
    struct Run {
        std::string body;
        std::int64_t start = 0;
        std::int64_t end = 0;
        std::uint64_t count = 0;
    };

    void writeLine(std::int64_t start, std::int64_t end, const std::string& body, std::uint64_t count);
    void writeHeldRun();

    std::mutex mutex_;
    std::FILE* file_;
    Run held_;
    std::uint64_t calls_ = 0;
    std::uint64_t lines_ = 0;
};

}  // namespace recorder
