// The fault sweep: every D2XX function the program calls is made to fail, on each
// device of a two-card rack on which a healthy run calls it, on its first call, on
// every call, and (where the program calls it more than once) on a later call or from
// a later call on, and `log` and a whole `update` are run against each such rack.
// Every run must end by itself, without a crash or a sanitizer report, close every
// handle it opened exactly once, and tell the truth in its exit code and its output.
//
// What "did its job" means, and so what exit code 0 promises:
//   log     at least one ready card was listed. Exit 1 exactly when "error: no
//           available and ready NEXIR cards detected" was printed, which is exactly
//           when no card line was printed. A listed card shows its own slot and
//           serial number, and each version is the card's own or "TIMEOUT".
//   update  the card in slot 3 took the image. Exit 0 exactly when "Update
//           Successful" was printed, and that is printed only when the program read
//           the card's DONE event and the card received the upload image byte for byte.
//
// Most library statuses are only stored by design, so a fault need not fail the
// command. Where the outcome is settled, it is checked too:
//   - a fault that never fired leaves a healthy run;
//   - a fault on a call whose status is only stored (the port reset, latency, baud
//     rate, flow control, data format, a UART purge, the EEPROM read and write, a
//     close), a single failed poll or refused read, and a read or UART write that did
//     its work but reported failure, all leave the command as successful as without it;
//   - a fault on one card's devices never costs the other card: `log` still lists it,
//     and a fault on the left card never stops the update of the right one.
//
// Time: a silent card costs the program's time-outs, about 1 s per command and 2 s
// per event read; the completion phase tolerates five silent reads (about 12 s in
// all, and the abort command adds 1 s), and the transfer gives up after a 60 s stall.
// Every run must therefore end well within 90 s; one that does not is reported (it is
// killed at 150 s).
//
// One test per D2XX function, so that ctest -j runs them side by side; inside a test
// the runs go a few at a time, as most of their time is spent in the program's sleeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <iomanip>
#include <iostream>
#include <regex>
#include <set>

#include "fault_sweep.h"

using namespace fault_sweep;
using nlohmann::json;

namespace {

constexpr double kBoundSeconds = 90;
constexpr double kKillSeconds = 150;
const std::vector<unsigned> kStatuses = {1, 4, 18};  // FT_INVALID_HANDLE, FT_IO_ERROR, FT_OTHER_ERROR
constexpr unsigned kLaterStatus = 4;

const char kNoReadyCards[] = "error: no available and ready NEXIR cards detected, exiting...";
const char kUpdateSuccessful[] = "Update Successful - Elapsed Time ";
const char kDoneEvent[] = "EVT FW_UPGRADE_STATUS DONE";

enum class Command { Log, Update };

const std::string& imageBytes() {
    static const std::string bytes = patternBytes(1001);  // padded to 1004, 1036 with the header
    return bytes;
}

const std::string& imagePath() {
    static const std::string path = [] {
        const std::string file = sweepRoot() + "/image.bin";
        writeFile(file, imageBytes());
        return file;
    }();
    return path;
}

std::vector<std::string> argsOf(Command command) {
    if (command == Command::Log) return {"log", "-b", "115200"};
    return {"update", "-b", "115200", "-t", "FPGA", "-w", "STD", "-f", imagePath(), "-s", kUpdateSlot};
}

bool isListFunction(const std::string& function) {
    return function == "FT_CreateDeviceInfoList" || function == "FT_GetDeviceInfoList";
}

bool isUart(int device) {
    return device == 1 || device == 2;
}

int cardOf(int device) {
    for (std::size_t i = 0; i < rackCards().size(); ++i) {
        const auto& devices = rackCards()[i].devices;
        if (std::find(devices.begin(), devices.end(), device) != devices.end()) return static_cast<int>(i);
    }
    return -1;
}

struct Combination {
    std::string function;  // empty: no fault at all
    int device = -1;  // -1: a list function, which names no device
    bool always = false;
    long skip = 0;
    unsigned status = 4;
    bool perform = false;
    Command command = Command::Log;

    std::string faultJson() const {
        json fault = {{"function", function}, {"status", status}, {"times", always ? "always" : "once"},
                      {"skip", skip},         {"perform", perform}};
        if (device >= 0) fault["device"] = device;
        return json::array({fault}).dump();
    }

    std::string describe() const {
        std::ostringstream text;
        text << (command == Command::Log ? "log" : "update") << ": ";
        if (function.empty()) return text.str() + "no fault";
        text << function;
        if (device >= 0) text << " on device " << device;
        if (always) {
            text << (skip == 0 ? ", every call" : ", every call from call " + std::to_string(skip + 1) + " on");
        } else {
            text << ", call " << skip + 1 << " only";
        }
        text << ", status " << status << (perform ? " (work done)" : "");
        return text.str();
    }

    // The outcome is settled: the command does all of its job, as without the fault.
    bool mustSucceed() const {
        static const std::set<std::string> storedOnly = {
            "FT_ResetPort", "FT_SetLatencyTimer", "FT_SetBaudRate", "FT_SetFlowControl",
            "FT_SetDataCharacteristics", "FT_EE_Read", "FT_EE_Program", "FT_Close"};
        if (storedOnly.count(function)) return true;
        if (function == "FT_Purge" && isUart(device)) return true;
        if ((function == "FT_GetStatus" || function == "FT_Read") && !always) return true;
        if (function == "FT_Read" && perform) return true;
        if (function == "FT_Write" && perform && isUart(device)) return true;
        return false;
    }
};

// ---- What a healthy rack does ----------------------------------------------------

struct Baseline {
    std::vector<json> logCalls;
    std::vector<json> updateCalls;
    std::string problem;  // empty when both healthy runs did their job
};

std::vector<std::string> checkRun(const Combination& combination, bool faultExpected, const SweepRun& run);

const Baseline& baseline() {
    static const Baseline result = [] {
        Baseline healthy;
        for (Command command : {Command::Log, Command::Update}) {
            Combination none;
            none.command = command;
            const SweepRun run = runInRack(argsOf(command), rackScenario("[]"), kKillSeconds);
            for (const std::string& problem : checkRun(none, false, run)) {
                healthy.problem += none.describe() + ": " + problem + "\n";
            }
            (command == Command::Log ? healthy.logCalls : healthy.updateCalls) = logEntries(run.callLog);
        }
        return healthy;
    }();
    return result;
}

// The calls, counted from 0, at which a fault starts besides the first, for a function
// that a healthy run calls `calls` times on a device: each one when there are few (the
// commands and answers of one card), else seven spread over the run (the empty polls,
// whose number depends on timing).
std::vector<long> laterCalls(long calls) {
    std::vector<long> skips;
    if (calls <= 16) {
        for (long k = 1; k < calls; ++k) skips.push_back(k);
    } else {
        for (long eighth = 1; eighth < 8; ++eighth) skips.push_back(calls * eighth / 8);
    }
    return skips;
}

struct Plan {
    std::vector<Combination> runs;
    // Devices on which a healthy run never makes the call: a fault there cannot fire
    // (the run is the healthy run up to the first faulted call), so none is run.
    std::vector<std::string> neverCalled;
};

Plan planFor(const std::string& function) {
    Plan plan;
    std::vector<Combination>& all = plan.runs;
    const std::vector<int> devices = isListFunction(function) ? std::vector<int>{-1}
                                                              : std::vector<int>{0, 1, 2, 3};
    const bool performable = function == "FT_Write" || function == "FT_Read" || function == "FT_Close" ||
                             function == "FT_EE_Program";
    for (Command command : {Command::Log, Command::Update}) {
        const auto& healthyCalls = command == Command::Log ? baseline().logCalls : baseline().updateCalls;
        for (int device : devices) {
            const long calls = callCount(healthyCalls, function, device);
            if (calls == 0) {
                plan.neverCalled.push_back((command == Command::Log ? "log/" : "update/") + std::to_string(device));
                continue;
            }
            Combination c;
            c.function = function;
            c.device = device;
            c.command = command;
            for (unsigned status : kStatuses) {
                c.status = status;
                for (bool always : {false, true}) {
                    c.always = always;
                    all.push_back(c);
                }
            }
            c.status = kLaterStatus;
            if (performable) {
                c.perform = true;
                for (bool always : {false, true}) {
                    c.always = always;
                    all.push_back(c);
                }
                c.perform = false;
            }
            // From later calls on: reaches the calls made after discovery (the version
            // queries, the subscription, the request, the event reads), where the first
            // call alone would only ever hit discovery.
            for (long skip : laterCalls(calls)) {
                c.skip = skip;
                for (bool always : {false, true}) {
                    c.always = always;
                    all.push_back(c);
                }
            }
        }
    }
    return plan;
}

// ---- Checks ------------------------------------------------------------------------

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Standard error carries only the program's own out-of-range and conversion lines, and
// the replug notice of a card whose FIFO flag was just set.
void checkStandardError(const SweepRun& run, std::vector<std::string>& problems) {
    static const std::regex known(
        "Error[12]?: (Out of range|Invalid argument): .*|notice: card \\S+ has just been switched to FIFO mode; .*");
    for (const std::string& line : linesOf(run.err)) {
        if (!std::regex_match(line, known)) {
            problems.push_back("unexpected standard error:\n" + run.err.substr(0, 4000));
            return;
        }
    }
}

// Every successful open is closed exactly once, and nothing else is closed or used
// after its close. A close counts whatever its status: the program cannot do better
// than try once.
void checkHandles(const std::vector<json>& calls, std::vector<std::string>& problems) {
    std::map<int, int> opened, closed;
    for (const json& call : calls) {
        if (!call.is_object()) {
            problems.push_back("call log line that is no JSON object");
            continue;
        }
        const std::string function = call.value("fn", "");
        const int device = call.value("dev", -1);
        if (call.value("stale", false)) {
            problems.push_back("call on a closed handle: " + call.dump());
            continue;
        }
        if (function == "FT_Open" && call.value("status", -1) == 0) ++opened[device];
        if (function == "FT_Close") {
            if (device < 0) {
                problems.push_back("FT_Close of a handle that was never open: " + call.dump());
            } else {
                ++closed[device];
            }
        }
    }
    for (int device = 0; device < kDeviceCount; ++device) {
        if (opened[device] != closed[device]) {
            problems.push_back("device " + std::to_string(device) + ": opened " + std::to_string(opened[device]) +
                               " times, closed " + std::to_string(closed[device]) + " times");
        }
    }
}

void checkLog(const Combination& c, bool healthy, const SweepRun& run, std::vector<std::string>& problems) {
    static const std::regex cardLine("[0-9]+ serial: .*");
    static const std::regex parts("(\\S+) serial: (\\S+) fpga:(.*) sw:(.*)");
    std::set<std::string> listed;
    int cardLines = 0;
    for (const std::string& line : linesOf(run.out)) {
        if (!std::regex_match(line, cardLine)) continue;
        ++cardLines;
        std::smatch match;
        const CardFacts* card = nullptr;
        if (std::regex_match(line, match, parts)) {
            for (const auto& facts : rackCards()) {
                if (match[1] == facts.slot && match[2] == facts.serial) card = &facts;
            }
        }
        if (!card) {
            problems.push_back("a card line of no card of the rack: " + line);
            continue;
        }
        if (!listed.insert(card->name).second) problems.push_back("card listed twice: " + line);
        if ((match[3] != card->fpga && match[3] != "TIMEOUT") || (match[4] != card->sw && match[4] != "TIMEOUT")) {
            problems.push_back("versions that are neither the card's nor TIMEOUT: " + line);
        }
    }
    const bool noCards = contains(run.out, kNoReadyCards);
    if (noCards != (cardLines == 0)) {
        problems.push_back(noCards ? "\"no available and ready\" printed beside card lines"
                                   : "no card listed, and no \"no available and ready\" line");
    }
    if (run.exitCode == 0 && noCards) problems.push_back("exit code 0, but no card was listed");
    if (run.exitCode == 1 && !noCards) problems.push_back("exit code 1, but a card was listed");

    auto expectHealthyLine = [&](const CardFacts& card, const char* why) {
        if (!contains("\n" + run.out, std::string("\n") + card.line + "\n")) {
            problems.push_back(std::string(why) + ": expected the line \"" + card.line + "\"");
        }
    };
    if (healthy) {
        for (const auto& card : rackCards()) expectHealthyLine(card, "the command must succeed");
        if (run.exitCode != 0) problems.push_back("the command must succeed: exit code " + std::to_string(run.exitCode));
    }
    const int faulted = cardOf(c.device);
    for (int i = 0; i < static_cast<int>(rackCards().size()); ++i) {
        if (faulted >= 0 && i != faulted) expectHealthyLine(rackCards()[i], "a fault on the other card");
    }
}

void checkUpdate(const Combination& c, bool healthy, const SweepRun& run, const std::vector<json>& calls,
                 std::vector<std::string>& problems) {
    const bool success = contains(run.out, kUpdateSuccessful);
    if (run.exitCode == 0 && !success) problems.push_back("exit code 0 without \"Update Successful\"");
    if (run.exitCode == 1 && success) problems.push_back("exit code 1 after \"Update Successful\"");
    if ((healthy || cardOf(c.device) == 0) && !success) {
        problems.push_back(healthy ? "the update must succeed" : "a fault on the left card stopped the update");
    }
    if (!success) return;

    bool doneRead = false;
    bool fifoCloseDone = true;
    std::uint64_t fifoWritten = 0;
    for (const json& call : calls) {
        if (!call.is_object()) continue;
        const std::string function = call.value("fn", "");
        const int device = call.value("dev", -1);
        if (function == "FT_Read" && device == kUpdatedUart && contains(call.value("text", ""), kDoneEvent)) {
            doneRead = true;
        }
        if (function == "FT_Write" && device == kUpdatedFifo) fifoWritten += call.value("written", 0u);
        // A close that the bench refused outright leaves the FIFO open, so it writes no dump.
        if (function == "FT_Close" && device == kUpdatedFifo && call.value("fault", false) && !c.perform) {
            fifoCloseDone = false;
        }
    }
    if (!doneRead) problems.push_back("\"Update Successful\" without the card's DONE event being read");
    const std::string expected = expectedFpgaUpload(imageBytes());
    const auto dump = run.fifoDumps.find(kUpdatedCard);
    if (dump != run.fifoDumps.end()) {
        if (dump->second != expected) {
            problems.push_back("\"Update Successful\", but the card received " + std::to_string(dump->second.size()) +
                               " bytes that are not the " + std::to_string(expected.size()) +
                               "-byte upload image");
        }
    } else if (fifoCloseDone) {
        problems.push_back("\"Update Successful\", but the card's FIFO was never closed (no dump)");
    } else if (fifoWritten != expected.size()) {
        // No dump to compare: the card's DONE already vouches for its header check
        // (tag, length, CRC-32 of the payload); the count must match too.
        problems.push_back("\"Update Successful\", but the FIFO took " + std::to_string(fifoWritten) + " of " +
                           std::to_string(expected.size()) + " bytes");
    }
}

std::vector<std::string> checkRun(const Combination& combination, bool faultExpected, const SweepRun& run) {
    std::vector<std::string> problems;
    if (run.killed) {
        problems.push_back("still running after " + std::to_string(int(kKillSeconds)) + " s: killed");
    } else if (run.seconds > kBoundSeconds) {
        std::ostringstream text;
        text << "took " << std::fixed << std::setprecision(1) << run.seconds << " s, more than the bound of "
             << kBoundSeconds << " s";
        problems.push_back(text.str());
    }
    if (run.exitCode != 0 && run.exitCode != 1) {
        problems.push_back("exit code " + std::to_string(run.exitCode) + " (only 0 and 1 are expected)");
    }
    checkStandardError(run, problems);
    const std::vector<json> calls = logEntries(run.callLog);
    checkHandles(calls, problems);

    const bool fired = std::any_of(calls.begin(), calls.end(), [](const json& call) {
        return call.is_object() && call.value("fault", false);
    });
    // Up to its first call the faulted run is the healthy run, and every planned fault
    // is on a call that the healthy run makes: a fault on the first call must fire.
    if (faultExpected && !fired && combination.skip == 0) {
        problems.push_back("the fault never fired, although a healthy run makes that call");
    }
    const bool healthy = !fired || combination.mustSucceed();
    if (combination.command == Command::Log) {
        checkLog(combination, healthy, run, problems);
    } else {
        checkUpdate(combination, healthy, run, calls, problems);
    }
    return problems;
}

std::string tail(const std::string& text, std::size_t length) {
    return text.size() <= length ? text : "..." + text.substr(text.size() - length);
}

// ---- The sweep ---------------------------------------------------------------------

// NEXIR_FAULT_SWEEP_VERBOSE=1: one line per run, with its exit code, time and the
// last line it printed, to see which paths the faults reached.
bool verbose() {
    const char* value = std::getenv("NEXIR_FAULT_SWEEP_VERBOSE");
    return value && *value && std::string(value) != "0";
}

std::string lastLine(const std::string& text) {
    std::string last;
    for (const std::string& line : linesOf(text)) {
        if (line.find_first_not_of(" \r") != std::string::npos && line.rfind("---", 0) != 0 &&
            line.find(" >> ") == std::string::npos) {
            last = line;
        }
    }
    return last.size() > 120 ? last.substr(0, 120) + "..." : last;
}

int jobs() {
    const char* value = std::getenv("NEXIR_FAULT_SWEEP_JOBS");
    const int n = value ? std::atoi(value) : 0;
    return n > 0 ? n : 6;
}

struct Totals {
    std::atomic<int> combinations{0};
    std::atomic<int> failed{0};
};

Totals& totals() {
    static Totals all;
    return all;
}

class SweepSummary : public ::testing::Environment {
public:
    void TearDown() override {
        if (totals().combinations > 0) {
            std::cout << "fault sweep: " << totals().combinations << " combinations, " << totals().failed
                      << " failed" << std::endl;
        }
    }
};

const auto* const kSummary = ::testing::AddGlobalTestEnvironment(new SweepSummary);

class FaultSweep : public ::testing::TestWithParam<std::string> {};

TEST_P(FaultSweep, EveryDeviceModeAndStatus) {
    ASSERT_EQ(baseline().problem, "") << "the healthy rack itself fails";
    const Plan plan = planFor(GetParam());
    const std::vector<Combination>& combinations = plan.runs;

    struct Outcome {
        SweepRun run;
        std::vector<std::string> problems;
    };
    std::vector<Outcome> outcomes(combinations.size());
    std::atomic<std::size_t> next{0};
    std::vector<std::future<void>> workers;
    for (int i = 0; i < jobs(); ++i) {
        workers.push_back(std::async(std::launch::async, [&] {
            for (std::size_t k; (k = next++) < combinations.size();) {
                const Combination& c = combinations[k];
                outcomes[k].run = runInRack(argsOf(c.command), rackScenario(c.faultJson()), kKillSeconds);
                outcomes[k].problems = checkRun(c, true, outcomes[k].run);
            }
        }));
    }
    for (auto& worker : workers) worker.get();

    int failed = 0;
    double slowest = 0;
    std::string slowestRun;
    for (std::size_t k = 0; k < combinations.size(); ++k) {
        const Outcome& outcome = outcomes[k];
        if (outcome.run.seconds > slowest) {
            slowest = outcome.run.seconds;
            slowestRun = combinations[k].describe();
        }
        if (verbose()) {
            std::cout << combinations[k].describe() << " -> exit " << outcome.run.exitCode << ", " << std::fixed
                      << std::setprecision(1) << outcome.run.seconds << " s: " << lastLine(outcome.run.out) << "\n";
        }
        if (outcome.problems.empty()) continue;
        ++failed;
        std::ostringstream report;
        report << combinations[k].describe() << " (exit " << outcome.run.exitCode << ", " << std::fixed
               << std::setprecision(1) << outcome.run.seconds << " s):\n";
        for (const std::string& problem : outcome.problems) report << "  - " << problem << "\n";
        report << "  standard output:\n" << tail(outcome.run.out, 1500) << "\n";
        ADD_FAILURE() << report.str();
    }
    totals().combinations += static_cast<int>(combinations.size());
    totals().failed += failed;
    std::cout << "fault sweep of " << GetParam() << ": " << combinations.size() << " combinations, " << failed
              << " failed; slowest run " << std::fixed << std::setprecision(1) << slowest << " s (" << slowestRun
              << ")" << std::endl;
    if (!plan.neverCalled.empty()) {
        std::cout << "  not called by a healthy run, so not faulted (command/device):";
        for (const std::string& where : plan.neverCalled) std::cout << " " << where;
        std::cout << std::endl;
    }
}

INSTANTIATE_TEST_SUITE_P(D2xx, FaultSweep,
                         ::testing::Values("FT_CreateDeviceInfoList", "FT_GetDeviceInfoList", "FT_Open",
                                           "FT_ResetPort", "FT_SetLatencyTimer", "FT_SetBaudRate",
                                           "FT_SetFlowControl", "FT_SetDataCharacteristics", "FT_Purge",
                                           "FT_SetTimeouts", "FT_EE_Read", "FT_EE_Program", "FT_GetStatus",
                                           "FT_Read", "FT_Write", "FT_Close"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
