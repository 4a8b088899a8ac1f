// Shared pieces of the end-to-end tests: racks on the bench, the program's console text,
// and readers for the bench's call log.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "../reference.h"
#include "program_run.h"

namespace e2e {

using nlohmann::json;
using reference::bar;
using reference::patternBytes;

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
    return R"({"devices": [)" + devices + R"(], "cards": {)" + cards + "}" + (extra.empty() ? "" : ", " + extra) + "}";
}

// A card that takes the image at once and sends a status event every 250 ms (two arrive
// in one read only if the program stalls that long); CRC check, flash write and
// verification last 500, 1000 and 500 ms.
constexpr const char* kQuickCard = R"({"event_interval_ms": 250, "stage_ms": [500, 1000, 500]})";

// One card: FIFO device 0, UART device 1, slot digit 0 (slot "1"). `upgrade` is its
// "upgrade" object, `cardExtras` further members of the card, `topExtras` of the rack.
constexpr int kFifoDevice = 0;
inline std::string oneCardScenario(const std::string& upgrade = kQuickCard, const std::string& cardExtras = "",
                                   const std::string& topExtras = "") {
    return rack(
        cardDevices("card"),
        R"("card": {"slot": 0, )" + (cardExtras.empty() ? "" : cardExtras + ", ") + R"("upgrade": )" + upgrade + "}",
        topExtras);
}

// Runs whose benches share their opens through `folder`, as processes on one machine do.
inline RunOptions sharing(const std::string& scenario, const std::string& folder) {
    return {scenario, "", {"CARDBENCH_SHARED_DIR=" + folder}, 60, "", {}};
}

// The line for a card (two devices) that another process holds.
const std::string kHeld =
    "info: 2 FTDI devices are in use by another program (another nexir-updater, or a driver such as ftdi_sio) and were "
    "skipped\n";

inline std::string bundled(const std::string& scenario) { return readFile(benchAssetPath("scenarios/" + scenario)); }

// The bench's two faces: its D2XX library, loaded by the program in place of FTDI's, and
// (Linux) its cards as FT2232H chips on a USB bus, under cardbench-usb, reached through a
// USB driver. The call log is the D2XX face's: on the bus, a run is judged by what it
// prints, its exit code, its time and what the cards received.
enum class Face { D2xx, Usb };

inline const char* faceName(Face face) { return face == Face::D2xx ? "d2xx face" : "usb face"; }

// The driver that takes the program to the bus: "libftdi" (libftdi1, with no D2XX library
// in reach) or a folder holding FTDI's own libftd2xx.so. NEXIR_E2E_USB_DRIVER in the
// environment, else the build's choice; empty: the USB face is not run.
inline std::string usbDriver() {
#if defined(NEXIR_USB_LAUNCHER)
    const char* chosen = std::getenv("NEXIR_E2E_USB_DRIVER");
    return chosen ? chosen : NEXIR_E2E_USB_DRIVER;
#else
    return "";  // no USB face in this build
#endif
}

// The faces a case that means the same on the bus runs on.
inline std::vector<Face> faces() {
    std::vector<Face> result = {Face::D2xx};
    if (!usbDriver().empty()) result.push_back(Face::Usb);
    return result;
}

inline RunOptions onFace(Face face, RunOptions options) {
#if defined(NEXIR_USB_LAUNCHER)
    if (face == Face::Usb) {
        options.wrapper.insert(options.wrapper.begin(), {NEXIR_USB_LAUNCHER, "--"});
        const std::string driver = usbDriver();
        options.libraryDir = driver == "libftdi" ? makeTempDir() : driver;
        if (driver == "libftdi") options.env.push_back("NEXIR_DRIVER=libftdi");
    }
#else
    (void)face;
#endif
    return options;
}

// `wrapper`: a command that runs the program (POSIX).
inline ProgramRun runOn(const std::string& scenario, const std::vector<std::string>& args,
                        const std::vector<std::string>& wrapper = {}) {
    return runUpdater(args, {scenario, "", {}, 150, "", wrapper});
}

inline ProgramRun runOn(Face face, const std::string& scenario, const std::vector<std::string>& args) {
    return runUpdater(args, onFace(face, {scenario, "", {}, 150, "", {}}));
}

inline ProgramRun runLog(const std::string& scenario, Face face = Face::D2xx) {
    return runOn(face, scenario, {"log", "-b", "115200"});
}

inline std::vector<std::string> updateArgs(const std::string& type, const std::string& which, const std::string& file,
                                           const std::string& slot = "1", const std::vector<std::string>& flags = {}) {
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

inline std::string received(const ProgramRun& run, const std::string& card = "card") {
    return readFile(run.dir + "/fifo/" + card + ".bin");
}

// Everything up to the start of the transfer, with the bench's default answer.
inline std::string preamble(const std::string& request) {
    return "Subscribing to upgrade events\nSending UART command: <" + request +
           ">\nUART response: <RSET FW_UPGRADE OK\n>\n";
}

// The stage-duration table, every duration shown as `duration` (see maskTimes).
inline std::string durationTable(int stageCount, const std::string& duration = "<t>") {
    std::string table = "\n--------- Stage Durations ----------\n";
    for (int stage = 1; stage <= stageCount; ++stage) {
        table += reference::stageName(stage) + " >> " + duration + " seconds.\n";
    }
    return table;
}

// Stage durations and a success's elapsed time become <t>, <m> and <s>; the upload's
// redraws, whose percentages depend on how fast the card takes data, are left out.
inline std::string maskTimes(const std::string& out) {
    static const std::regex duration(" >> [0-9.e+-]+ seconds\\.\n");
    static const std::regex elapsed("Elapsed Time [0-9]+mins [0-9]+secs\n");
    static const std::regex upload("\r\\[[# ]{50}\\] [0-9]+% step 1 of [34]: Uploading update      ");
    return std::regex_replace(std::regex_replace(std::regex_replace(out, duration, " >> <t> seconds.\n"), elapsed,
                                                 "Elapsed Time <m>mins <s>secs\n"),
                              upload, "");
}

// The text's lines in sorted order, each with its line feed.
inline std::string sortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line + "\n");
    std::sort(lines.begin(), lines.end());
    std::string sorted;
    for (const auto& line : lines) sorted += line;
    return sorted;
}

// Text whose lines follow the device list: on the bus the list's order is the driver's,
// so there its lines are compared sorted.
inline std::string inListOrder(Face face, const std::string& text) {
    return face == Face::D2xx ? text : sortedLines(text);
}

inline std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// The log's calls of `function` (all: "") on `device` (any: -3), in order.
inline std::vector<json> callsOf(const std::string& log, const std::string& function = "", int device = -3) {
    std::vector<json> result;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        json call = json::parse(line, nullptr, false);
        if (call.is_object() && (function.empty() || call.value("fn", "") == function) &&
            (device == -3 || call.value("dev", -2) == device)) {
            result.push_back(call);
        }
    }
    return result;
}

inline std::vector<std::string> uartCommands(const std::string& log) {
    std::vector<std::string> result;
    for (const auto& call : callsOf(log, "FT_Write")) {
        if (call.contains("text")) result.push_back(call["text"].get<std::string>());
    }
    return result;
}

const char kAbort[] = "SET FW_ABORT_UPGRADE\n";
const char kToldToAbort[] = "The card was told to abort the upgrade: RSET FW_ABORT_UPGRADE OK\n";
const char kFailLine[] = "Received 'EVT FW_UPGRADE_STATUS FAIL\n' . Upgrade failed\n";
const std::string kMalformed = "Malformed response. Looking for 2 param response FW_UPGRADE_STATUS, got: '";

inline bool sent(const ProgramRun& run, const std::string& prefix) {
    const auto commands = uartCommands(run.callLog);
    return std::any_of(commands.begin(), commands.end(), [&](const auto& c) { return c.rfind(prefix, 0) == 0; });
}

// `parts` appear in `out` one after the other, not overlapping.
inline void expectInOrder(const std::string& out, const std::vector<std::string>& parts) {
    std::size_t from = 0;
    for (const auto& part : parts) {
        const std::size_t at = out.find(part, from);
        ASSERT_NE(at, std::string::npos) << "missing, or out of order: " << part << "\nin:\n" << out;
        from = at + part.size();
    }
}

// Empty when every opened handle is closed exactly once and none is used after its close
// or closed without having been opened.
inline std::string handleProblems(const std::string& log) {
    std::map<int, int> open;
    std::string problems;
    for (const auto& call : callsOf(log)) {
        const std::string function = call.value("fn", "");
        const int device = call.value("dev", -1);
        if (call.value("stale", false) || (function == "FT_Close" && device < 0)) problems += call.dump() + "\n";
        if (function == "FT_Open" && call.value("status", -1) == 0) ++open[device];
        if (function == "FT_Close") --open[device];
    }
    for (const auto& [device, count] : open) {
        if (count != 0) problems += "device " + std::to_string(device) + " left open " + std::to_string(count) + "\n";
    }
    return problems;
}

}  // namespace e2e
