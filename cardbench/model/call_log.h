// The record of every D2XX call, one JSON object per line, kept in memory and, when a
// file is named, appended to it as the calls happen (flushed per line, so a crash keeps
// what came before). A program that polls an idle UART makes thousands of identical
// empty FT_GetStatus calls; each thread's run of them on one device is folded into one
// line with a "polls" count, written when the run ends. Thread-safe.
#pragma once

#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "link/ftd2xx_abi.h"

namespace cardbench {

using LogLine = nlohmann::ordered_json;

class CallLog {
public:
    // Returns false when the file cannot be created; the log then stays in memory only.
    bool openFile(const std::string& path);
    void write(const LogLine& line);
    void emptyPoll(int device, FT_STATUS status);
    void flushPolls();
    std::string text();

private:
    struct PollRun {
        int device;
        FT_STATUS status;
        long polls;
    };

    void flushRunLocked(std::thread::id thread);
    void appendLocked(const LogLine& line);

    std::mutex mutex_;
    std::map<std::thread::id, PollRun> runs_;
    std::string text_;
    std::ofstream file_;
};

}  // namespace cardbench
