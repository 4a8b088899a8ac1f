// Support for the fault sweep: the virtual two-card rack, the upload image the card
// must receive (built here from the file's bytes, independently of the program), a
// process runner that many threads can use at once, and readers for the call log.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "program_run.h"

extern char** environ;

namespace fault_sweep {

// ---- The rack ----------------------------------------------------------------------
//
// Two cards whose EEPROM flag is clear, so that FT_EE_Program is called on both.
// The left card lists its channel A first; the right card lists its channel B first.
//   device 0: left  FIFO (channel A)    device 2: right UART (channel B)
//   device 1: left  UART (channel B)    device 3: right FIFO (channel A)
// The left card reports slot digit 0 ("1") and has no flow control; the right card
// reports 2 ("3") and uses RTS/CTS. `update` updates the right card, so the left card
// is released before the update starts.
constexpr int kDeviceCount = 4;
constexpr const char* kUpdateSlot = "3";
constexpr int kUpdatedUart = 2;
constexpr int kUpdatedFifo = 3;
constexpr const char* kUpdatedCard = "right";

struct CardFacts {
    const char* name;
    std::vector<int> devices;
    const char* line;  // its `log` line when everything answers
    const char* slot;
    const char* serial;
    const char* fpga;
    const char* sw;
};

inline const std::vector<CardFacts>& rackCards() {
    static const std::vector<CardFacts> cards = {
        {"left", {0, 1}, "1 serial: NX21A0417A fpga:1.7.3 sw:3.2.0", "1", "NX21A0417A", "1.7.3", "3.2.0"},
        {"right", {2, 3}, "3 serial: NX23C1102A fpga:2.1.0 sw:3.4.1", "3", "NX23C1102A", "2.1.0", "3.4.1"},
    };
    return cards;
}

// A fast timeline: the small image is taken at once, events come every 20 ms, and the
// three later stages take 30 ms each.
inline std::string rackScenario(const std::string& faults) {
    return R"({
  "devices": [
    {"description": "KRO_NX|1.3 A", "serial": "NX21A0417A", "card": "left", "channel": "fifo"},
    {"description": "KRO_NX|1.3 B", "serial": "NX21A0417B", "card": "left", "channel": "uart"},
    {"description": "KRO_NX|2.1 B", "serial": "NX23C1102B", "card": "right", "channel": "uart"},
    {"description": "KRO_NX|2.1 A", "serial": "NX23C1102A", "card": "right", "channel": "fifo"}
  ],
  "cards": {
    "left": {"slot": 0, "fpga_version": "1.7.3", "sw_version": "3.2.0", "latency_ms": 1,
             "eeprom": {"fifo_flag": 0},
             "upgrade": {"rate_bytes_per_s": 20000000, "event_interval_ms": 20, "stage_ms": [30, 30, 30]}},
    "right": {"slot": 2, "fpga_version": "2.1.0", "sw_version": "3.4.1", "latency_ms": 1,
              "eeprom": {"fifo_flag": 1},
              "upgrade": {"rate_bytes_per_s": 20000000, "event_interval_ms": 20, "stage_ms": [30, 30, 30]}}
  },
  "faults": )" + faults + "\n}\n";
}

// ---- The upload image --------------------------------------------------------------

// Bit-at-a-time CRC-32 (IEEE 802.3, reflected polynomial 0xEDB88320).
inline std::uint32_t referenceCrc32(const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline std::string littleEndian32(std::uint32_t value) {
    std::string bytes;
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    return bytes;
}

// 32-byte header ("NEXIR-FPGA  ", payload length, payload CRC-32, 12 zero bytes), then
// the file's bytes padded with 0xFF to a multiple of four.
inline std::string expectedFpgaUpload(const std::string& fileBytes) {
    std::string payload = fileBytes;
    while (payload.size() % 4 != 0) payload.push_back('\xFF');
    std::string image = "NEXIR-FPGA  ";
    image += littleEndian32(static_cast<std::uint32_t>(payload.size()));
    image += littleEndian32(referenceCrc32(payload));
    image += std::string(12, '\0');
    return image + payload;
}

// Bytes that are not all alike, so that a shifted or repeated block would show.
inline std::string patternBytes(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint32_t state = 7;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

// ---- Running the program from many threads ---------------------------------------
//
// Unlike runUpdater, safe to call from several threads at once: the pipes are
// close-on-exec, so a child started by one thread never holds the pipe of another
// thread's child open (which would delay that run's end of output until it exits).

// One folder per test process, removed at exit; each run gets a fresh subfolder.
inline std::string sweepRoot() {
    static const std::string root = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "nexir-sweep-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        static const std::string removeAtExit = pattern;
        std::atexit([] { std::filesystem::remove_all(removeAtExit); });
        return pattern;
    }();
    return root;
}

inline std::string freshRunDir() {
    static std::atomic<int> next{0};
    const std::string dir = sweepRoot() + "/run" + std::to_string(next++);
    std::filesystem::create_directories(dir);
    return dir;
}

struct SweepRun {
    std::string out;
    std::string err;
    int exitCode = -1;  // the negated signal number when killed by one
    bool killed = false;
    double seconds = 0;
    std::string callLog;
    std::map<std::string, std::string> fifoDumps;  // card name -> what its FIFO received
};

inline SweepRun runInRack(const std::vector<std::string>& args, const std::string& scenarioJson,
                          double killAfterSeconds) {
    const std::string dir = freshRunDir();
    writeFile(dir + "/scenario.json", scenarioJson);
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (text.rfind("LD_LIBRARY_PATH=", 0) == 0 || text.rfind("CARDBENCH_", 0) == 0) continue;
        env.push_back(text);
    }
    env.push_back(std::string("LD_LIBRARY_PATH=") + NEXIR_BENCH_DIR);
    env.push_back("CARDBENCH_SCENARIO=" + dir + "/scenario.json");
    env.push_back("CARDBENCH_CALL_LOG=" + dir + "/calls.jsonl");
    env.push_back("CARDBENCH_FIFO_DUMP_DIR=" + dir + "/fifo");

    std::vector<std::string> argv = {NEXIR_UPDATER_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    auto pointers = [](std::vector<std::string>& texts) {
        std::vector<char*> result;
        for (auto& text : texts) result.push_back(text.data());
        result.push_back(nullptr);
        return result;
    };
    auto argvPointers = pointers(argv);
    auto envPointers = pointers(env);

    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    SweepRun run;
    const auto started = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, argvPointers.data(),
                                    envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (spawned != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        throw std::runtime_error("could not start " + argv[0]);
    }

    const auto deadline = started + std::chrono::milliseconds(static_cast<long>(killAfterSeconds * 1000));
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            kill(pid, SIGKILL);
            run.killed = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left)) < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[65536];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    run.callLog = readFile(dir + "/calls.jsonl");
    for (const auto& card : rackCards()) {
        const std::string dump = dir + "/fifo/" + card.name + ".bin";
        if (std::filesystem::exists(dump)) run.fifoDumps[card.name] = readFile(dump);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return run;
}

// ---- The call log ------------------------------------------------------------------

inline std::vector<nlohmann::json> logEntries(const std::string& log) {
    std::vector<nlohmann::json> result;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) result.push_back(nlohmann::json::parse(line, nullptr, false));
    }
    return result;
}

// How many times the program called `function` on `device` (-1: the list functions);
// a run of empty polls logged as one line counts each poll.
inline long callCount(const std::vector<nlohmann::json>& calls, const std::string& function, int device) {
    long count = 0;
    for (const auto& call : calls) {
        if (!call.is_object() || call.value("fn", "") != function || call.value("dev", -2) != device) continue;
        count += call.value("polls", 1L);
    }
    return count;
}

}  // namespace fault_sweep
