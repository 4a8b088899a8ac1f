#include "call_log.h"

namespace cardbench {

bool CallLog::openFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    file_.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
    return file_.is_open();
}

void CallLog::write(const LogLine& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    flushRunLocked(std::this_thread::get_id());
    appendLocked(line);
}

void CallLog::emptyPoll(int device, FT_STATUS status) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto thread = std::this_thread::get_id();
    auto run = runs_.find(thread);
    if (run != runs_.end() && run->second.device == device && run->second.status == status) {
        ++run->second.polls;
        return;
    }
    flushRunLocked(thread);
    runs_[thread] = {device, status, 1};
}

void CallLog::flushPolls() {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!runs_.empty()) {
        flushRunLocked(runs_.begin()->first);
    }
}

std::string CallLog::text() {
    flushPolls();
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
}

void CallLog::flushRunLocked(std::thread::id thread) {
    auto run = runs_.find(thread);
    if (run == runs_.end()) {
        return;
    }
    LogLine line;
    line["fn"] = "FT_GetStatus";
    line["dev"] = run->second.device;
    line["rx"] = 0;
    line["polls"] = run->second.polls;
    line["status"] = run->second.status;
    runs_.erase(run);
    appendLocked(line);
}

void CallLog::appendLocked(const LogLine& line) {
    // Text from the card or the program may be any bytes; never let the log throw.
    const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    text_ += text;
    if (file_.is_open()) {
        file_ << text;
        file_.flush();
    }
}

}  // namespace cardbench
