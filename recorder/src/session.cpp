#include "session.h"

#include <atomic>
#include <cstdio>
#include <exception>

#include "json_object.h"
#include "process_info.h"

namespace recorder {
namespace {

const char kFormat[] = "nexir-d2xx-recording";
constexpr int kFormatVersion = 1;

std::atomic<Session*> made{nullptr};

void complain(const std::string& problem) {
    std::fprintf(stderr, "nexir-updater recorder: %s\n", problem.c_str());
    std::fflush(stderr);
}

// NEXIR_RECORD, or a new name in the current folder; `where` completes a message.
std::string recordingPath(std::string& where) {
    std::string path = environment("NEXIR_RECORD");
    if (!path.empty()) {
        where = " (NEXIR_RECORD)";
        return path;
    }
    where = " in " + currentFolder();
    return "nexir-session-" + formatTime(std::time(nullptr), "%Y%m%d-%H%M%S", false) + "-" +
           std::to_string(processId()) + ".jsonl";
}

std::string startTime(std::chrono::system_clock::time_point now) {
    const auto sinceEpoch = now.time_since_epoch();
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count() % 1000;
    char fraction[8];
    std::snprintf(fraction, sizeof(fraction), ".%03dZ", int(milliseconds));
    return formatTime(std::chrono::system_clock::to_time_t(now), "%Y-%m-%dT%H:%M:%S", true) + fraction;
}

std::string header(const Session& session, std::chrono::system_clock::time_point now) {
    std::string command;
    for (const std::string& argument : commandLine()) {
        command += command.empty() ? "[" : ",";
        appendByteString(command, argument.data(), argument.size());
    }
    const std::string started = startTime(now);
    const std::string recorder = "nexir-updater " NEXIR_VERSION;
    JsonObject fields;
    fields.bytes("format", kFormat, sizeof(kFormat) - 1)
        .number("version", kFormatVersion)
        .bytes("started", started.data(), started.size())
        .bytes("platform", platformName(), std::char_traits<char>::length(platformName()))
        .number("pid", processId())
        .bytes("library", session.library.path.data(), session.library.path.size())
        .json("command", command.empty() ? "[]" : command + "]")
        .bytes("recorder", recorder.data(), recorder.size());
    return fields.text();
}

Session* makeSession() {
    try {
        auto session = std::make_unique<Session>();
        std::string problem, where;
        if (!loadVendorLibrary(session->library, problem)) {
            complain(problem);
            return nullptr;
        }
        const std::string path = recordingPath(where);
        std::FILE* file = createFile(path, problem);
        if (!file) {
            complain("cannot create the recording " + path + where + ": " + problem);
            return nullptr;
        }
        // Said at once, so that a recorder left in place (a copied FTD2XX.dll) shows itself
        // on every run rather than recording in silence.
        std::fprintf(stderr, "nexir-updater recorder: recording this run's D2XX calls to %s%s\n", path.c_str(),
                     where.c_str());
        std::fflush(stderr);
        const auto now = std::chrono::system_clock::now();
        session->started = std::chrono::steady_clock::now();
        session->recording = std::make_unique<Recording>(file, header(*session, now));
        made = session.get();
        return session.release();  // lives as long as the process
    } catch (const std::exception& error) {
        complain(std::string("cannot record: ") + error.what());
        return nullptr;
    }
}

// Closes the recording when the process exits (or the library is unloaded); calls
// after that go unrecorded. Other threads may still be running then, so the session
// itself is never destroyed.
struct Closer {
    ~Closer() {
        if (Session* session = made) session->recording->finish(session->now());
    }
} closer;

}  // namespace

std::int64_t Session::now() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count();
}

Session* session() {
    static Session* const instance = makeSession();
    return instance;
}

}  // namespace recorder
