// Shared pieces of the end-to-end tests of `update`: a one-card rack on the bench, the
// console text an update prints, the upload image as the card must receive it (built
// here from the file's bytes, independently of the program), and readers for the
// bench's call log.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "call_log.h"
#include "program_run.h"

namespace update_e2e {

// The one-card rack: channel A (the FIFO) is device 0, its partner (the UART) device 1,
// and the card reports slot digit 0, i.e. slot "1".
constexpr int kFifoDevice = 0;
constexpr int kUartDevice = 1;
constexpr const char* kCardName = "card";

// `upgrade` is the card's "upgrade" object; `cardExtras`, if any, further members of the
// card ("subscription_answer": ...); `topExtras` further top-level members ("faults": ...).
inline std::string oneCardScenario(const std::string& upgrade, const std::string& cardExtras = "",
                                   const std::string& topExtras = "") {
    return R"({
  "devices": [
    {"description": "KRO_NX|2.1 A", "serial": "NX0001A", "card": "card", "channel": "fifo"},
    {"description": "KRO_NX|2.1 B", "serial": "NX0001B", "card": "card", "channel": "uart"}
  ],
  "cards": {"card": {"slot": 0, )" +
           (cardExtras.empty() ? "" : cardExtras + ", ") + R"("upgrade": )" + upgrade + "}}" +
           (topExtras.empty() ? "" : ",\n  " + topExtras) + "\n}\n";
}

// A run against `scenario`, with extra environment entries and a time limit.
inline RunOptions onBench(const std::string& scenario, const std::vector<std::string>& env = {},
                          double timeoutSeconds = 60) {
    RunOptions options;
    options.scenarioJson = scenario;
    options.env = env;
    options.timeoutSeconds = timeoutSeconds;
    return options;
}

// A fresh image file with the given bytes.
inline std::string imageFile(const std::string& bytes) {
    const std::string path = makeTempDir() + "/image.bin";
    writeFile(path, bytes);
    return path;
}

// Bytes that are not all alike, so that a shifted or repeated block would show.
inline std::string patternBytes(std::size_t size, std::uint32_t seed = 1) {
    std::string bytes(size, '\0');
    std::uint32_t state = seed;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

inline std::vector<std::string> updateArgs(const std::string& type, const std::string& which,
                                           const std::string& file, const std::string& slot = "1",
                                           const std::vector<std::string>& flags = {}) {
    std::vector<std::string> args = {"update", "-b", "115200", "-t", type, "-w", which, "-f", file, "-s", slot};
    args.insert(args.end(), flags.begin(), flags.end());
    return args;
}

// A fresh folder for the bench's FIFO dumps, and the option that points the bench at it.
struct FifoDump {
    std::string dir = makeTempDir();
    std::string env() const { return "CARDBENCH_FIFO_DUMP_DIR=" + dir; }
    std::string received(const std::string& card = kCardName) const { return readFile(dir + "/" + card + ".bin"); }
};

// ---- The upload image, from first principles -------------------------------------

// Plain bit-at-a-time CRC-32 (IEEE 802.3, reflected 0xEDB88320).
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

// 32-byte header (tag, payload length, payload CRC, 12 zero bytes), then the file's
// bytes padded with 0xFF to a multiple of four.
inline std::string expectedUploadImage(const std::string& fileBytes, const std::string& type) {
    std::string payload = fileBytes;
    while (payload.size() % 4 != 0) payload.push_back('\xFF');
    std::string image = type == "SW" ? "NEXIR-SW    " : "NEXIR-FPGA  ";
    image += littleEndian32(static_cast<std::uint32_t>(payload.size()));
    image += littleEndian32(referenceCrc32(payload));
    image += std::string(12, '\0');
    return image + payload;
}

// ---- Console text ----------------------------------------------------------------

inline const std::vector<std::string>& allStageNames() {
    static const std::vector<std::string> names = {"Uploading update      ", "Checking CRC          ",
                                                   "Writing to flash      ", "Verifying flash write "};
    return names;
}

// "SET FW_UPGRADE <type> <size> <which>[ SKIP_VERIFY][ RECONFIG]\n"
inline std::string upgradeRequest(const std::string& type, std::size_t size, const std::string& which,
                                  bool skipVerify = false, bool reconfigure = false) {
    return "SET FW_UPGRADE " + type + " " + std::to_string(size) + " " + which +
           (skipVerify ? " SKIP_VERIFY" : "") + (reconfigure ? " RECONFIG" : "") + "\n";
}

// Everything up to the start of the transfer, with the bench's default answer.
inline std::string preamble(const std::string& request) {
    return "Subscribing to upgrade events\nSending UART command: <" + request +
           ">\nUART response: <RSET FW_UPGRADE OK\n>\n";
}

// One redraw of the progress line, width 50: the cell count is the integer part of
// 50 * percent / 100, plus one, at most 50.
inline std::string bar(int stage, int percent, int stageCount) {
    int done = 50 * percent / 100 + 1;
    if (done > 50) done = 50;
    if (done < 1) done = 1;
    return "\r[" + std::string(static_cast<std::size_t>(done), '#') +
           std::string(static_cast<std::size_t>(50 - done), ' ') + "] " + std::to_string(percent) + "% step " +
           std::to_string(stage) + " of " + std::to_string(stageCount) + ": " +
           allStageNames()[static_cast<std::size_t>(stage - 1)];
}

// A card that takes the image at once and sends a status event every 100 ms, far
// enough apart that two arrive in one read only if the program stalls that long. Its
// CRC check, flash write and verification last 200, 400 and 200 ms; an update takes
// about 1.3 s.
constexpr const char* kQuickCard = R"({"event_interval_ms": 100, "stage_ms": [200, 400, 200]})";

// What the quick card shows: 100 % for the upload, then stages 2 to 4 at 0/50/100,
// 0/25/50/75/100 and 0/50/100 %.
inline std::string quickCardBars(int stageCount) {
    std::string bars = bar(1, 100, stageCount);
    for (int percent : {0, 50, 100}) bars += bar(2, percent, stageCount);
    for (int percent : {0, 25, 50, 75, 100}) bars += bar(3, percent, stageCount);
    if (stageCount == 4) {
        for (int percent : {0, 50, 100}) bars += bar(4, percent, stageCount);
    }
    return bars;
}

// The success lines, with the elapsed time masked (see maskTimes).
inline std::string successLines(bool reconfigure = false) {
    return std::string("\nUpdate Successful - Elapsed Time <m>mins <s>secs\n") +
           (reconfigure ? "NEXIR Rebooting...\n" : "");
}

inline std::string abortLines(const std::string& reason) {
    return reason + "RSET FW_ABORT_UPGRADE OK\n\nError: Update Failed\n";
}

// The stage-duration table with every duration shown as <t> (see maskDurations).
inline std::string durationTable(int stageCount) {
    std::string table = "\n--------- Stage Durations ----------\n";
    for (int i = 0; i < stageCount; ++i) table += allStageNames()[static_cast<std::size_t>(i)] + " >> <t> seconds.\n";
    return table;
}

// Stage durations depend on the clock: they become <t>.
inline std::string maskDurations(const std::string& out) {
    static const std::regex duration(" >> [0-9.e+-]+ seconds\\.\n");
    return std::regex_replace(out, duration, " >> <t> seconds.\n");
}

// The elapsed time of a success depends on the clock: it becomes <m> and <s>.
inline std::string maskElapsed(const std::string& out) {
    static const std::regex elapsed("Elapsed Time [0-9]+mins [0-9]+secs\n");
    return std::regex_replace(out, elapsed, "Elapsed Time <m>mins <s>secs\n");
}

inline std::string maskTimes(const std::string& out) {
    return maskElapsed(maskDurations(out));
}

// The durations of the table at the end of `out`, as printed.
inline std::vector<std::string> stageDurations(const std::string& out) {
    static const std::regex duration(" >> ([0-9.e+-]+) seconds\\.\n");
    std::vector<std::string> result;
    const auto table = out.rfind("--------- Stage Durations ----------");
    if (table == std::string::npos) return result;
    const std::string tail = out.substr(table);
    for (std::sregex_iterator it(tail.begin(), tail.end(), duration), end; it != end; ++it) {
        result.push_back((*it)[1]);
    }
    return result;
}

// The redraws of the upload stage, whose percentages depend on how fast the card takes
// data, removed; returns how many there were through `count`.
inline std::string withoutUploadBars(const std::string& out, int stageCount, int* count = nullptr) {
    const std::regex upload("\r\\[[# ]{50}\\] [0-9]+% step 1 of " + std::to_string(stageCount) +
                            ": Uploading update      ");
    if (count) {
        *count = static_cast<int>(std::distance(std::sregex_iterator(out.begin(), out.end(), upload),
                                                std::sregex_iterator()));
    }
    return std::regex_replace(out, upload, "");
}

// ---- Call log --------------------------------------------------------------------

inline std::vector<nlohmann::json> logEntries(const std::string& log) {
    std::vector<nlohmann::json> result;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) result.push_back(nlohmann::json::parse(line));
    }
    return result;
}

// Every handle that was opened is closed exactly once, and nothing is closed twice or
// without having been opened.
inline void expectEveryHandleClosedOnce(const ProgramRun& run) {
    for (const auto& [device, open] : openHandlesByDevice(run.callLog)) {
        EXPECT_EQ(open, 0) << "device " << device;
    }
    for (const auto& call : logEntries(run.callLog)) {
        if (call.value("fn", "") == "FT_Close") {
            EXPECT_EQ(call.value("status", -1), 0) << call.dump();
        }
    }
}

// What the program did on one device's UART channel, in order: each line it read and
// each text it wrote, with the number of empty polls of the receive queue since the
// previous read or write. A read that times out makes exactly its poll limit of empty
// polls, so silentPolls / 2000 counts the event reads that timed out in a row.
struct UartStep {
    bool isRead = false;
    std::string text;
    long silentPolls = 0;
};

inline std::vector<UartStep> uartSteps(const std::string& log, int device = kUartDevice) {
    std::vector<UartStep> steps;
    long silent = 0;
    for (const auto& call : logEntries(log)) {
        if (call.value("dev", -2) != device) continue;
        const std::string function = call.value("fn", "");
        if (function == "FT_GetStatus" && call.value("rx", 0) == 0) {
            silent += call.value("polls", 1L);
        } else if (function == "FT_Read" || function == "FT_Write") {
            steps.push_back({function == "FT_Read", call.value("text", ""), silent});
            silent = 0;
        }
    }
    return steps;
}

// The first step at or after `from` whose text is `text`; steps.size() when none.
inline std::size_t findStep(const std::vector<UartStep>& steps, const std::string& text, std::size_t from = 0) {
    for (std::size_t i = from; i < steps.size(); ++i) {
        if (steps[i].text == text) return i;
    }
    return steps.size();
}

// Calls of one function on one device, in order.
inline std::vector<nlohmann::json> callsOn(const std::string& log, const std::string& function, int device) {
    std::vector<nlohmann::json> result;
    for (const auto& call : logEntries(log)) {
        if (call.value("fn", "") == function && call.value("dev", -2) == device) result.push_back(call);
    }
    return result;
}

// Position of the first call matching `predicate` in the whole log; -1 when none.
template <typename Predicate>
long positionOf(const std::string& log, Predicate predicate) {
    const auto calls = logEntries(log);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (predicate(calls[i])) return static_cast<long>(i);
    }
    return -1;
}

}  // namespace update_e2e
