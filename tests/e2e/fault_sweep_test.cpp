// D2XX calls made to fail on a two-card rack, against `log` and a whole `update`. Each
// run ends within 90 s, closes each handle it opened once and tells the truth: `log`
// exits 1 exactly when it lists no card, and lists each card's own slot, serial and
// versions (or TIMEOUT); `update` exits 0 exactly when it prints "Update Successful",
// and only once the card's DONE was read and the image arrived byte for byte. A fault
// that never fired, one on a call whose status is only stored, a single failed poll or
// read, and a read or UART write that did its work leave the command successful; a
// fault on one card never costs the other. Each call fails once, and for good where it
// is made again; later calls fail where a phase starts (each UART command, and half-way
// through the events after the last), as within a phase every call meets the same code.
#include <algorithm>
#include <future>
#include <set>

#include "fixture.h"

using namespace e2e;

namespace {

const char kNoReadyCards[] = "error: no available and ready NEXIR cards detected, exiting...";
const char kSuccess[] = "Update Successful - Elapsed Time ";

// Left card: devices 0 (FIFO) and 1, slot "1"; right card: 2 (UART, listed first) and 3,
// slot "3", RTS/CTS. The left card's EEPROM flag is clear, so it is programmed; the
// right one, which is updated, is in FIFO mode already. Events every 20 ms: a merge
// changes nothing the sweep checks.
const char* const kCardLines[] = {"1 serial: NX21A0417A fpga:1.7.3 sw:3.2.0",
                                  "3 serial: NX23C1102A fpga:2.1.0 sw:3.4.1"};
std::string rackScenario(const std::string& faults) {
    const std::string upgrade =
        R"(, "latency_ms": 1, "upgrade": {"rate_bytes_per_s": 20000000,
           "event_interval_ms": 20, "stage_ms": [30, 30, 30]}, "eeprom": {"fifo_flag": )";
    return rack(cardDevices("left", "NX21A0417", "KRO_NX|1.3 ") + R"(,
        {"description": "KRO_NX|2.1 B", "serial": "NX23C1102B", "card": "right", "channel": "uart"},
        {"description": "KRO_NX|2.1 A", "serial": "NX23C1102A", "card": "right", "channel": "fifo"})",
                R"("left": {"slot": 0, "fpga_version": "1.7.3", "sw_version": "3.2.0")" + upgrade + "0}}" +
                    R"(, "right": {"slot": 2, "fpga_version": "2.1.0", "sw_version": "3.4.1")" + upgrade + "1}}",
                R"("faults": )" + faults);
}

int cardOf(int device) { return device < 0 ? -1 : device == 0 || device == 1 ? 0 : 1; }
bool isUart(int device) { return device == 1 || device == 2; }

const std::string kImageBytes = patternBytes(1001);  // padded to 1004, 1036 with the header
std::vector<std::string> argsOf(bool update) {
    static const std::string path = imageFile(kImageBytes);
    return update ? updateArgs("FPGA", "STD", path, "3") : std::vector<std::string>{"log", "-b", "115200"};
}

struct Combination {
    bool update = false;
    std::string function;  // empty: no fault
    int device = -1;       // -1: a list function, which names no device
    long skip = 0;
    bool always = false;
    bool perform = false;

    std::string faultJson() const {
        if (function.empty()) return "[]";
        json fault = {{"function", function},
                      {"status", 4},
                      {"times", always ? "always" : "once"},
                      {"skip", skip},
                      {"perform", perform}};
        if (device >= 0) fault["device"] = device;
        return json::array({fault}).dump();
    }

    // The command does all of its job, as without the fault.
    bool mustSucceed() const {
        static const std::set<std::string> storedOnly = {
            "FT_ResetPort", "FT_SetLatencyTimer", "FT_SetBaudRate", "FT_SetFlowControl", "FT_SetDataCharacteristics",
            "FT_EE_Read",   "FT_EE_Program",      "FT_Close"};
        return storedOnly.count(function) || (function == "FT_Purge" && isUart(device)) ||
               ((function == "FT_GetStatus" || function == "FT_Read") && !always) ||
               (function == "FT_Read" && perform) || (function == "FT_Write" && perform && isUart(device));
    }
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
void checkLog(const Combination& c, bool healthy, const ProgramRun& run, std::vector<std::string>& problems) {
    static const std::regex own[] = {
        std::regex("1 serial: NX21A0417A fpga:(1\\.7\\.3|TIMEOUT) sw:(3\\.2\\.0|TIMEOUT)"),
        std::regex("3 serial: NX23C1102A fpga:(2\\.1\\.0|TIMEOUT) sw:(3\\.4\\.1|TIMEOUT)")};
    std::set<int> listed;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(" serial: ") == std::string::npos) continue;
        const int card = std::regex_match(line, own[0]) ? 0 : std::regex_match(line, own[1]) ? 1 : -1;
        if (card < 0 || !listed.insert(card).second) problems.push_back("not a card's own line, or twice: " + line);
    }
    const bool noCards = contains(run.out, kNoReadyCards);
    if (noCards != listed.empty()) problems.push_back("\"no available and ready\" does not match the card lines");
    if (run.exitCode != (noCards ? 1 : 0)) problems.push_back("exit code does not match the card lines");
    for (int i = 0; i < 2; ++i) {
        if ((healthy || (cardOf(c.device) >= 0 && cardOf(c.device) != i)) && !contains(run.out, kCardLines[i])) {
            problems.push_back(std::string("expected the line \"") + kCardLines[i] + "\"");
        }
    }
}

void checkUpdate(const Combination& c, bool healthy, const ProgramRun& run, std::vector<std::string>& problems) {
    const bool success = contains(run.out, kSuccess);
    if (run.exitCode != (success ? 0 : 1)) problems.push_back("exit code does not match \"Update Successful\"");
    if ((healthy || cardOf(c.device) == 0) && !success) problems.push_back("the update must succeed");
    if (!success) return;
    bool doneRead = false;
    std::uint64_t fifoWritten = 0;
    for (const json& call : callsOf(run.callLog, "FT_Read", 2)) {
        doneRead |= contains(call.value("text", ""), "EVT FW_UPGRADE_STATUS DONE");
    }
    for (const json& call : callsOf(run.callLog, "FT_Write", 3)) fifoWritten += call.value("written", 0u);
    if (!doneRead) problems.push_back("\"Update Successful\" without the card's DONE event being read");
    // A close that the bench refused outright leaves the FIFO open, so it writes no dump:
    // then the card's DONE vouches for its header check, and the count must match.
    const std::string expected = reference::uploadImage(kImageBytes, "FPGA");
    const bool closeRefused = c.function == "FT_Close" && c.device == 3 && !c.perform;
    if (closeRefused ? fifoWritten != expected.size() : received(run, "right") != expected) {
        problems.push_back("\"Update Successful\", but the card did not receive the upload image");
    }
}

std::vector<std::string> checkRun(const Combination& c, const ProgramRun& run) {
    std::vector<std::string> problems;
    if (run.seconds > 90) problems.push_back("took " + std::to_string(run.seconds) + " s, more than 90 s");
    if (run.exitCode != 0 && run.exitCode != 1) problems.push_back("exit code " + std::to_string(run.exitCode));
    static const std::regex expectedError(
        "Error[12]?: (Out of range|Invalid argument): .*|notice: card \\S+ has just been switched to FIFO mode; .*");
    std::istringstream err(run.err);
    for (std::string line; std::getline(err, line);) {
        if (!std::regex_match(line, expectedError)) problems.push_back("unexpected standard error: " + line);
    }
    const std::string handles = handleProblems(run.callLog);
    if (!handles.empty()) problems.push_back("handles: " + handles);
    const bool fired = contains(run.callLog, "\"fault\":true");
    // Up to its first faulted call the run is the healthy one, which makes that call.
    if (!c.function.empty() && !fired && c.skip == 0) problems.push_back("the fault never fired");
    const bool healthy = !fired || c.mustSucceed();
    (c.update ? checkUpdate : checkLog)(c, healthy, run, problems);
    return problems;
}

std::string healthyLogs[2];  // call logs of the healthy `log` and `update`

// The first call once, and for good when made again, each with the work done where the
// bench can; the first call of each later phase, once and for good.
void addCombinations(Combination c, std::vector<Combination>& plan, bool firstCallOnly) {
    long calls = 0;
    std::vector<long> phases;
    for (const json& call : callsOf(healthyLogs[c.update])) {
        if (call["fn"] == "FT_Write" && isUart(call.value("dev", -2)) && calls > 0) phases.push_back(calls);
        if (call["fn"] == c.function && call.value("dev", -1) == c.device) calls += call.value("polls", 1L);
    }
    if (calls == 0) return;  // never called, so a fault cannot fire
    if (!phases.empty() && calls > phases.back() + 1) phases.push_back((phases.back() + calls) / 2);
    const bool performable = c.function == "FT_Write" || c.function == "FT_Read" || c.function == "FT_Close" ||
                             c.function == "FT_EE_Program";
    for (bool perform : {false, true}) {
        if (perform && !performable) continue;
        c.perform = perform;
        plan.push_back(c);
        if (firstCallOnly) return;
        if (calls > 1) plan.push_back(c), plan.back().always = true;
    }
    c.perform = false;
    for (long skip : std::set<long>(phases.begin(), phases.end())) {
        if (skip <= 0 || skip >= calls) continue;
        c.skip = skip;
        plan.push_back(c);
        plan.push_back(c), plan.back().always = true;
    }
}

std::vector<Combination> planFor(const std::string& function) {
    std::vector<Combination> plan;
    const bool list = function == "FT_CreateDeviceInfoList" || function == "FT_GetDeviceInfoList";
    for (bool update : {false, true}) {
        for (int device : list ? std::vector<int>{-1} : std::vector<int>{0, 1, 2, 3}) {
            const Combination c{update, function, device};
            if (list || cardOf(device) == (update ? 1 : 0))
                addCombinations(c, plan, false);
            else if (update)
                addCombinations(c, plan, true);
        }
    }
    return plan;
}

class FaultSweep : public ::testing::TestWithParam<std::string> {};

TEST_P(FaultSweep, EachPhaseOfEachCall) {
    for (bool update : {false, true}) {
        const ProgramRun run = runOn(rackScenario("[]"), argsOf(update));
        ASSERT_EQ(checkRun(Combination{update, "", -1}, run), std::vector<std::string>{})
            << "the healthy rack itself fails";
        healthyLogs[update] = run.callLog;
    }
    const std::vector<Combination> plan = planFor(GetParam());
    std::vector<std::vector<std::string>> problems(plan.size());
    std::atomic<std::size_t> next{0};
    std::vector<std::future<void>> workers;
    for (int i = 0; i < 4; ++i) {
        workers.push_back(std::async(std::launch::async, [&] {
            for (std::size_t k; (k = next++) < plan.size();) {
                const ProgramRun run = runOn(rackScenario(plan[k].faultJson()), argsOf(plan[k].update));
                problems[k] = checkRun(plan[k], run);
                const std::size_t size = run.out.size();
                if (!problems[k].empty())
                    problems[k].push_back("ends:\n" + run.out.substr(size > 1500 ? size - 1500 : 0));
            }
        }));
    }
    for (auto& worker : workers) worker.get();
    for (std::size_t k = 0; k < plan.size(); ++k) {
        EXPECT_EQ(problems[k], std::vector<std::string>{})
            << (plan[k].update ? "update " : "log ") << plan[k].faultJson();
    }
    std::cout << "fault sweep of " << GetParam() << ": " << plan.size() << " combinations" << std::endl;
}

INSTANTIATE_TEST_SUITE_P(D2xx, FaultSweep,
                         ::testing::Values("FT_CreateDeviceInfoList", "FT_GetDeviceInfoList", "FT_Open", "FT_ResetPort",
                                           "FT_SetLatencyTimer", "FT_SetBaudRate", "FT_SetFlowControl",
                                           "FT_SetDataCharacteristics", "FT_Purge", "FT_SetTimeouts", "FT_EE_Read",
                                           "FT_EE_Program", "FT_GetStatus", "FT_Read", "FT_Write", "FT_Close"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
