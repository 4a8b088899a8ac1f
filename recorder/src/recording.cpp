#include "recording.h"

#include <chrono>
#include <thread>

namespace recorder {
Recording::Recording(std::FILE* file, const std::string& header) : file_(file) {
    // Lines are flushed as they are written (see add); buffered, a held run and the
    // line that ends it go out in one system call.
    std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
    std::fputs((header + "\n").c_str(), file_);
    std::fflush(file_);
    lines_ = 1;
}

void Recording::writeLine(std::int64_t start, std::int64_t end, const std::string& body, std::uint64_t count) {
    std::string line = "{\"t\":[" + std::to_string(start) + "," + std::to_string(end) + "]," + body;
    if (count > 1) line += ",\"calls\":" + std::to_string(count);
    line += "}\n";
    std::fwrite(line.data(), 1, line.size(), file_);
    ++lines_;
}

void Recording::writeHeldRun() {
    if (held_.count == 0) return;
    writeLine(held_.start, held_.end, held_.body, held_.count);
    held_.count = 0;
}

void Recording::add(std::int64_t start, std::int64_t end, const std::string& body, bool poll) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!file_) return;
    ++calls_;
    if (poll && held_.count > 0 && held_.body == body) {
        held_.end = end;
        ++held_.count;
        return;
    }
    writeHeldRun();
    if (poll) {
        held_ = {body, start, end, 1};
        return;
    }
    writeLine(start, end, body, 1);
    std::fflush(file_);
}

void Recording::finish(std::int64_t now) {
    std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
    for (int attempt = 0; !lock.try_lock(); ++attempt) {
        if (attempt == 200) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!file_) return;
    writeHeldRun();
    const std::string end = "{\"end\":" + std::to_string(now) + ",\"calls\":" + std::to_string(calls_) +
                            ",\"lines\":" + std::to_string(lines_ + 1) + "}\n";
    std::fputs(end.c_str(), file_);
    std::fclose(file_);
    file_ = nullptr;
}

}  // namespace recorder
