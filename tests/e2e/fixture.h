// Shared pieces of the end-to-end tests: racks on the bench, the console text the
// program prints, the upload image as the card must receive it (built independently
// of the program), and readers for the bench's call log.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "../update/upload_reference.h"
#include "program_run.h"

namespace e2e {

using nlohmann::json;
using reference::patternBytes;

// ---- Racks -------------------------------------------------------------------------

// The two channels of a card: "<description>A" with serial "<serial>A" is its FIFO,
// then "<description>B" / "<serial>B" its UART.
inline std::string cardDevices(const std::string& card, const std::string& serial = "NX0001",
                               const std::string& description = "KRO_NX|2.1 ") {
    return R"({"description": ")" + description + R"(A", "serial": ")" + serial + R"(A", "card": ")" + card +
           R"(", "channel": "fifo"}, {"description": ")" + description + R"(B", "serial": ")" + serial +
           R"(B", "card": ")" + card + R"(", "channel": "uart"})";
}

// `cards` are the members of the "cards" object, `extra` further top-level members.
inline std::string rack(const std::string& devices, const std::string& cards, const std::string& extra = "") {
    return R"({"devices": [)" + devices + R"(], "cards": {)" + cards + "}" + (extra.empty() ? "" : ", " + extra) +
           "}";
}

// A card that takes the image at once and sends a status event every 100 ms, far
// enough apart that two arrive in one read only if the program stalls that long. Its
// CRC check, flash write and verification last 200, 400 and 200 ms; an update takes
// about 1.3 s.
constexpr const char* kQuickCard = R"({"event_interval_ms": 100, "stage_ms": [200, 400, 200]})";

// One card: FIFO device 0, UART device 1, slot digit 0 (slot "1"). `upgrade` is its
// "upgrade" object, `cardExtras` further members of the card, `topExtras` of the rack.
constexpr int kFifoDevice = 0;
constexpr int kUartDevice = 1;
inline std::string oneCardScenario(const std::string& upgrade = kQuickCard, const std::string& cardExtras = "",
                                   const std::string& topExtras = "") {
    return rack(cardDevices("card"),
                R"("card": {"slot": 0, )" + (cardExtras.empty() ? "" : cardExtras + ", ") + R"("upgrade": )" +
                    upgrade + "}",
                topExtras);
}

inline std::string bundled(const std::string& scenario) {
    return readFile(benchAssetPath("scenarios/" + scenario));
}

inline ProgramRun runOn(const std::string& scenario, const std::vector<std::string>& args,
                        const std::vector<std::string>& env = {}, double timeoutSeconds = 60) {
    return runUpdater(args, {scenario, "", env, timeoutSeconds, ""});
}

inline ProgramRun runLog(const std::string& scenario) {
    return runOn(scenario, {"log", "-b", "115200"});
}

inline std::vector<std::string> updateArgs(const std::string& type, const std::string& which,
                                           const std::string& file, const std::string& slot = "1",
                                           const std::vector<std::string>& flags = {}) {
    std::vector<std::string> args = {"update", "-b", "115200", "-t", type, "-w", which, "-f", file, "-s", slot};
    args.insert(args.end(), flags.begin(), flags.end());
    return args;
}

// A fresh image file with the given bytes; `name` (UTF-8) may hold folders.
inline std::string imageFile(const std::string& bytes, const std::string& name = "image.bin") {
    const std::string path = makeTempDir() + "/" + name;
    std::filesystem::create_directories(std::filesystem::u8path(path).parent_path());
    writeFile(path, bytes);
    return path;
}

inline std::string expectedUploadImage(const std::string& fileBytes, const std::string& type) {
    return reference::uploadImage(fileBytes, type);
}

// A fresh folder for the bench's FIFO dumps, and the option that points the bench at it.
struct FifoDump {
    std::string dir = makeTempDir();
    std::string env() const { return "CARDBENCH_FIFO_DUMP_DIR=" + dir; }
    std::string received(const std::string& card = "card") const { return readFile(dir + "/" + card + ".bin"); }
};

// ---- Console text ----------------------------------------------------------------

inline std::string stageName(int stage) {
    static const char* const names[] = {"Uploading update      ", "Checking CRC          ",
                                        "Writing to flash      ", "Verifying flash write "};
    return names[stage - 1];
}

// "SET FW_UPGRADE <type> <size> <which>[ SKIP_VERIFY][ RECONFIG]\n"
inline std::string upgradeRequest(const std::string& type, std::size_t size, const std::string& which,
                                  bool skipVerify = false, bool reconfigure = false) {
    return "SET FW_UPGRADE " + type + " " + std::to_string(size) + " " + which + (skipVerify ? " SKIP_VERIFY" : "") +
           (reconfigure ? " RECONFIG" : "") + "\n";
}

// Everything up to the start of the transfer, with the bench's default answer.
inline std::string preamble(const std::string& request) {
    return "Subscribing to upgrade events\nSending UART command: <" + request +
           ">\nUART response: <RSET FW_UPGRADE OK\n>\n";
}

// One redraw of the progress line, width 50: the cell count is the integer part of
// 50 * percent / 100, plus one, at most 50.
inline std::string bar(int stage, int percent, int stageCount) {
    const int done = std::min(50, 50 * percent / 100 + 1);
    return "\r[" + std::string(done, '#') + std::string(50 - done, ' ') + "] " + std::to_string(percent) + "% step " +
           std::to_string(stage) + " of " + std::to_string(stageCount) + ": " + stageName(stage);
}

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

// The stage-duration table, every duration shown as `duration` (see maskTimes).
inline std::string durationTable(int stageCount, const std::string& duration = "<t>") {
    std::string table = "\n--------- Stage Durations ----------\n";
    for (int stage = 1; stage <= stageCount; ++stage) table += stageName(stage) + " >> " + duration + " seconds.\n";
    return table;
}

// Stage durations and the elapsed time of a success depend on the clock: they become
// <t>, <m> and <s>.
inline std::string maskTimes(const std::string& out) {
    static const std::regex duration(" >> [0-9.e+-]+ seconds\\.\n");
    static const std::regex elapsed("Elapsed Time [0-9]+mins [0-9]+secs\n");
    return std::regex_replace(std::regex_replace(out, duration, " >> <t> seconds.\n"), elapsed,
                              "Elapsed Time <m>mins <s>secs\n");
}

// The redraws of the upload stage, whose percentages depend on how fast the card takes
// data, removed; returns how many there were through `count`.
inline std::string withoutUploadBars(const std::string& out, int stageCount, int* count = nullptr) {
    const std::regex upload("\r\\[[# ]{50}\\] [0-9]+% step 1 of " + std::to_string(stageCount) +
                            ": Uploading update      ");
    if (count) *count = static_cast<int>(std::distance(std::sregex_iterator(out.begin(), out.end(), upload), {}));
    return std::regex_replace(out, upload, "");
}

// ---- Call log --------------------------------------------------------------------

constexpr int kAnyDevice = -3;

// The log's calls of `function` (all: "") on `device`, in order.
inline std::vector<json> callsOf(const std::string& log, const std::string& function = "",
                                 int device = kAnyDevice) {
    std::vector<json> result;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) continue;
        json call = json::parse(line);
        if ((function.empty() || call.value("fn", "") == function) &&
            (device == kAnyDevice || call.value("dev", -2) == device)) {
            result.push_back(call);
        }
    }
    return result;
}

// The calls as the bench logs them, keys in order.
inline std::vector<std::string> dumps(const std::vector<json>& calls) {
    std::vector<std::string> result;
    for (const auto& call : calls) result.push_back(call.dump());
    return result;
}

// Texts the program wrote on UART channels, in order.
inline std::vector<std::string> uartCommands(const std::string& log) {
    std::vector<std::string> result;
    for (const auto& call : callsOf(log, "FT_Write")) {
        if (call.contains("text")) result.push_back(call["text"].get<std::string>());
    }
    return result;
}

// Every handle that was opened is closed exactly once, and nothing is closed twice or
// without having been opened.
inline void expectEveryHandleClosedOnce(const ProgramRun& run) {
    std::map<int, int> open;
    for (const auto& call : callsOf(run.callLog)) {
        const std::string function = call.value("fn", "");
        if (function == "FT_Close") {
            EXPECT_EQ(call.value("status", -1), 0) << call.dump();
        }
        if (call.value("status", -1) != 0) continue;
        if (function == "FT_Open") ++open[call.value("dev", -1)];
        if (function == "FT_Close") --open[call.value("dev", -1)];
    }
    for (const auto& [device, count] : open) EXPECT_EQ(count, 0) << "device " << device;
}

}  // namespace e2e
