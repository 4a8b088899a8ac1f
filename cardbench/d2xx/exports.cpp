// What the bench library exports: the D2XX functions, each of which validates its
// arguments the way the vendor library on Linux does, lets the device table do the work
// and logs itself, and the query interface of cardbench.h. Both act on the one current
// world, the bench that the loaded scenario brought to life.
#include "d2xx_exports.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "cardbench.h"
#include "model/call_log.h"
#include "model/device_table.h"
#include "model/recording_reader.h"
#include "model/scenario.h"

static_assert(std::is_same_v<decltype(&FT_CreateDeviceInfoList), FT_CreateDeviceInfoList_t>);
static_assert(std::is_same_v<decltype(&FT_GetDeviceInfoList), FT_GetDeviceInfoList_t>);
static_assert(std::is_same_v<decltype(&FT_Open), FT_Open_t>);
static_assert(std::is_same_v<decltype(&FT_Close), FT_Close_t>);
static_assert(std::is_same_v<decltype(&FT_Read), FT_Read_t>);
static_assert(std::is_same_v<decltype(&FT_Write), FT_Write_t>);
static_assert(std::is_same_v<decltype(&FT_SetBaudRate), FT_SetBaudRate_t>);
static_assert(std::is_same_v<decltype(&FT_SetDataCharacteristics), FT_SetDataCharacteristics_t>);
static_assert(std::is_same_v<decltype(&FT_SetFlowControl), FT_SetFlowControl_t>);
static_assert(std::is_same_v<decltype(&FT_Purge), FT_Purge_t>);
static_assert(std::is_same_v<decltype(&FT_SetTimeouts), FT_SetTimeouts_t>);
static_assert(std::is_same_v<decltype(&FT_GetStatus), FT_GetStatus_t>);
static_assert(std::is_same_v<decltype(&FT_SetLatencyTimer), FT_SetLatencyTimer_t>);
static_assert(std::is_same_v<decltype(&FT_EE_Read), FT_EE_Read_t>);
static_assert(std::is_same_v<decltype(&FT_EE_Program), FT_EE_Program_t>);
static_assert(std::is_same_v<decltype(&FT_ResetPort), FT_ResetPort_t>);

namespace cardbench {
namespace {

// Injected failures: a D2XX function on a device answers a given status, once, always or
// a number of times, optionally after letting some matching calls pass. Thread-safe.
class FaultPlan {
public:
    struct Fault {
        FT_STATUS status;
        bool perform;
    };

    explicit FaultPlan(const std::vector<FaultConfig>& faults) {
        for (const auto& fault : faults) {
            faults_.push_back({fault});
        }
    }

    // Counts the call against every matching fault; the first one still armed fires.
    std::optional<Fault> match(const std::string& function, int device) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::optional<Fault> result;
        for (auto& fault : faults_) {
            if (fault.config.function != function || (fault.config.device && *fault.config.device != device)) {
                continue;
            }
            const long seen = fault.seen++;
            if (!result && seen >= fault.config.skip && fault.fired < fault.config.times) {
                ++fault.fired;
                result = Fault{fault.config.status, fault.config.perform};
            }
        }
        return result;
    }

private:
    struct Armed {
        FaultConfig config;
        long seen = 0;
        long fired = 0;
    };
    std::mutex mutex_;
    std::vector<Armed> faults_;
};

// Everything one loaded scenario brings to life. Loading a new scenario replaces the
// whole world; calls still running keep the old one alive through their shared reference
// until they return.
struct World {
    World(const Scenario& scenario, const std::string& sharedDir)
        : devices(scenario, sharedDir), faults(scenario.faults) {
        if (!scenario.callLogPath.empty() && !log.openFile(scenario.callLogPath)) {
            setupProblem = "cannot write the call log " + scenario.callLogPath;
        }
    }

    DeviceTable devices;
    CallLog log;
    FaultPlan faults;
    std::string setupProblem;
};

// The one world the exported functions act on. Without an explicit load, the first call
// loads the scenario named by CARDBENCH_SCENARIO; with no such variable the bench shows
// no devices.
struct Instance {
    std::mutex mutex;
    std::shared_ptr<World> world;
    bool initialised = false;
    std::string lastError;
};

// Deliberately never destroyed: a program may still be inside a D2XX call on another
// thread while the process exits.
Instance& instance() {
    static Instance* single = new Instance;
    return *single;
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

void replaceWorld(Instance& bench, std::shared_ptr<World> world) {
    if (bench.world) {
        bench.world->log.flushPolls();
    }
    bench.world = std::move(world);
    bench.initialised = true;
}

// Messages name where the scenario came from: its file, or "scenario" for text. Returns
// false and leaves the previous world in place when the scenario is unusable.
bool install(const std::string& source, const std::string& jsonText, const std::string& baseDir, Instance& bench) {
    try {
        // A recording plays the cards it recorded (recording_reader.h, replay.h).
        Scenario scenario =
            isRecording(source, jsonText) ? scenarioFromRecording(jsonText) : parseScenario(jsonText, baseDir);
        // The environment wins over the scenario so that tests can put outputs into their
        // own temporary folders.
        if (auto log = environment("CARDBENCH_CALL_LOG"); !log.empty()) {
            scenario.callLogPath = log;
        }
        if (auto dumps = environment("CARDBENCH_FIFO_DUMP_DIR"); !dumps.empty()) {
            scenario.fifoDumpDir = dumps;
        }
        // Only the environment names the folder that the benches of several processes
        // share: the processes are usually given one scenario file.
        auto world = std::make_shared<World>(scenario, environment("CARDBENCH_SHARED_DIR"));
        // Without its shared folder the world would show every device as held elsewhere.
        if (!world->devices.sharedDirProblem().empty()) {
            bench.lastError = world->devices.sharedDirProblem();
            return false;
        }
        // Said once, as the replay begins, like a command that leaves the recording.
        for (const std::string& note : scenario.replayNotes) {
            std::fprintf(stderr, "cardbench: replay: %s\n", note.c_str());
            world->log.write(LogLine{{"replay", note}});
        }
        bench.lastError = world->setupProblem;
        replaceWorld(bench, std::move(world));
        return true;
    } catch (const RecordingRefusal& refusal) {
        bench.lastError = source + ":" + std::to_string(refusal.line) + ": " + refusal.reason;
        return false;
    } catch (const std::exception& error) {
        bench.lastError = source + ": " + error.what();
        return false;
    }
}

bool installFile(const std::string& path, Instance& bench) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        bench.lastError = "cannot read scenario file " + path;
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return install(path, text.str(), std::filesystem::path(path).parent_path().string(), bench);
}

// A process that loads the bench by accident, or a test that forgot its scenario,
// learns so on the first call; the bench then shows no devices. Said once per process.
std::shared_ptr<World> currentWorld() {
    Instance& bench = instance();
    std::lock_guard<std::mutex> lock(bench.mutex);
    if (bench.initialised) {
        return bench.world;
    }
    replaceWorld(bench, std::make_shared<World>(Scenario{}, ""));
    const std::string path = environment("CARDBENCH_SCENARIO");
    if (path.empty()) {
        std::fputs(
            "cardbench: the virtual card bench is loaded but has no scenario "
            "(CARDBENCH_SCENARIO is not set), so it shows no devices\n",
            stderr);
        return bench.world;
    }
    installFile(path, bench);
    if (!bench.lastError.empty()) {
        std::fprintf(stderr, "cardbench: %s\n", bench.lastError.c_str());
    }
    return bench.world;
}

// Empty-poll runs still open when the process ends get their line.
__attribute__((destructor)) void flushLogAtExit() {
    Instance& bench = instance();
    std::lock_guard<std::mutex> lock(bench.mutex);
    if (bench.world) {
        bench.world->log.flushPolls();
    }
}

// The frame around every exported D2XX function: it finds the world and the handle,
// notices a card that has gone away, consults the fault plan, and writes the call's log
// line with the final status, after a line for each card unplugged meanwhile.
class D2xxCall {
public:
    // A call made on a handle.
    D2xxCall(const char* function, FT_HANDLE handle) : world_(currentWorld()), handleCall_(true) {
        const HandleLookup found = world_->devices.find(handle);
        handle_ = found.handle;
        device_ = found.device;
        staleHandle_ = !found.handle && found.device >= 0;
        gone_ = handle_ && world_->devices.gone(device_);
        start(function);
    }

    // A call that names a device by index (-1: none).
    D2xxCall(const char* function, int device) : world_(currentWorld()), device_(device) { start(function); }

    DeviceTable& devices() { return world_->devices; }
    OpenHandle& handle() { return *handle_; }
    int device() const { return device_; }

    template <typename T>
    void arg(const char* name, const T& value) {
        line_[name] = value;
    }

    // Replay: a command that the recorded card never received here is told on standard
    // error and in a log line of its own.
    void reportReplayDivergences() {
        const Device& target = world_->devices.device(device_);
        for (const std::string& divergence :
             target.card ? target.card->takeReplayDivergences() : std::vector<std::string>{}) {
            std::fprintf(stderr, "cardbench: replay: %s\n", divergence.c_str());
            world_->log.write(LogLine{{"replay", divergence}});
        }
    }

    // An injected fault that replaces the call.
    std::optional<FT_STATUS> faultOnly() const {
        return fault_ && !fault_->perform ? std::optional<FT_STATUS>(fault_->status) : std::nullopt;
    }

    // The status to answer without doing the work: an injected fault that replaces the
    // call, or, for a handle call, FT_INVALID_HANDLE, or FT_IO_ERROR once its card is gone.
    std::optional<FT_STATUS> refusal() const {
        if (auto fault = faultOnly()) {
            return fault;
        }
        if (handleCall_ && !handle_) {
            return FT_INVALID_HANDLE;
        }
        return gone_ ? std::optional<FT_STATUS>(FT_IO_ERROR) : std::nullopt;
    }

    // FT_Read and FT_Write also refuse a call with nowhere to report the count, or no buffer
    // for a count above 0; on a card that is gone they report 0 bytes.
    std::optional<FT_STATUS> transferRefusal(const void* buffer, DWORD length, DWORD* done) const {
        if (auto refused = refusal()) {
            if (gone_ && done != nullptr) {
                *done = 0;
            }
            return refused;
        }
        if (done == nullptr || (buffer == nullptr && length > 0)) {
            return FT_INVALID_PARAMETER;
        }
        return std::nullopt;
    }

    // FT_EE_Read and FT_EE_Program also refuse a missing or wrongly signed structure: with
    // wrong signatures the vendor library would read the string pointers from the wrong
    // offsets, and a NULL one would mean "program the default FT232BM data", which no card
    // wants.
    std::optional<FT_STATUS> eepromRefusal(const FT_PROGRAM_DATA* data) const {
        if (auto refused = refusal()) {
            return refused;
        }
        if (data == nullptr || !Eeprom::signaturesValid(*data)) {
            return FT_INVALID_PARAMETER;
        }
        return std::nullopt;
    }

    Eeprom& eeprom() { return *world_->devices.device(device_).eeprom; }

    // Replay: a poll, read or command write that the recorded driver failed at this point
    // of the session answers the recorded status once it has done its work.
    void playRecordedFailure() { recorded_ = world_->devices.recordedFailure(device_, line_["fn"].get<std::string>()); }

    // Such a write reports no more bytes taken than the recorded one did.
    DWORD recordedWritten(DWORD written) const {
        return recorded_ ? DWORD(std::min<std::uint64_t>(written, recorded_->written)) : written;
    }

    FT_STATUS finish(FT_STATUS status) {
        logUnplugs();
        return writeLine(status);
    }

    // FT_GetStatus: empty polls are counted instead of logged one by one.
    FT_STATUS finishPoll(FT_STATUS status, DWORD waiting) {
        logUnplugs();
        if (recorded_) {
            status = recorded_->status;
        }
        if (waiting == 0 && !fault_ && !staleHandle_) {
            world_->log.emptyPoll(device_, status);
            return status;
        }
        return writeLine(status);
    }

private:
    void logUnplugs() {
        for (const auto& unplugged : world_->devices.takeUnplugged()) {
            world_->log.write(LogLine{{"unplug", unplugged.card}, {"ms", unplugged.ms}});
        }
    }

    // The call's own line, with its final status, which it returns.
    FT_STATUS writeLine(FT_STATUS status) {
        if (fault_) {
            status = fault_->status;
            line_["fault"] = true;
        } else if (recorded_) {
            status = recorded_->status;
        }
        if (staleHandle_) {
            line_["stale"] = true;
        }
        line_["status"] = status;
        world_->log.write(line_);
        return status;
    }

    void start(const char* function) {
        line_["fn"] = function;
        line_["dev"] = device_;
        fault_ = world_->faults.match(function, device_);
    }

    std::shared_ptr<World> world_;
    std::shared_ptr<OpenHandle> handle_;
    int device_ = -1;
    bool handleCall_ = false;
    bool staleHandle_ = false;
    bool gone_ = false;
    std::optional<FaultPlan::Fault> fault_;
    std::optional<PlayedFailure> recorded_;
    LogLine line_;
};

// Settings that only matter to a real UART: recorded in the log and accepted.
FT_STATUS acceptSetting(const char* function, FT_HANDLE handle,
                        std::initializer_list<std::pair<const char*, unsigned>> settings) {
    D2xxCall call(function, handle);
    for (const auto& [name, value] : settings) {
        call.arg(name, value);
    }
    if (auto refused = call.refusal()) {
        return call.finish(*refused);
    }
    return call.finish(FT_OK);
}

size_t copyText(const std::string& text, char* buffer, size_t capacity) {
    if (buffer != nullptr && capacity > 0) {
        const size_t length = std::min(text.size(), capacity - 1);
        std::memcpy(buffer, text.data(), length);
        buffer[length] = '\0';
    }
    return text.size();
}

}  // namespace
}  // namespace cardbench

using cardbench::acceptSetting;
using cardbench::D2xxCall;

extern "C" {

FT_STATUS FTD2XX_CALL FT_CreateDeviceInfoList(DWORD* numDevs) {
    D2xxCall call("FT_CreateDeviceInfoList", -1);
    if (auto refused = call.faultOnly()) {
        return call.finish(*refused);
    }
    if (numDevs == nullptr) {
        return call.finish(FT_INVALID_PARAMETER);
    }
    *numDevs = DWORD(call.devices().makeList());
    call.arg("count", *numDevs);
    return call.finish(FT_OK);
}

FT_STATUS FTD2XX_CALL FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* dest, DWORD* numDevs) {
    D2xxCall call("FT_GetDeviceInfoList", -1);
    if (auto refused = call.faultOnly()) {
        return call.finish(*refused);
    }
    if (numDevs == nullptr) {
        return call.finish(FT_INVALID_PARAMETER);
    }
    // Like the vendor library: *numDevs is no capacity; the list of the last
    // FT_CreateDeviceInfoList is copied whole.
    auto& devices = call.devices();
    const int listed = devices.listed();
    for (int i = 0; dest != nullptr && i < listed; ++i) {
        devices.fillNode(i, dest[i]);
    }
    *numDevs = DWORD(listed);
    call.arg("count", *numDevs);
    return call.finish(FT_OK);
}

FT_STATUS FTD2XX_CALL FT_Open(int deviceIndex, FT_HANDLE* handle) {
    D2xxCall call("FT_Open", deviceIndex);
    if (auto refused = call.faultOnly()) {
        return call.finish(*refused);
    }
    if (handle == nullptr) {
        return call.finish(FT_INVALID_PARAMETER);
    }
    FT_HANDLE value = nullptr;
    const FT_STATUS status = call.devices().open(deviceIndex, value);
    if (status == FT_OK) {
        *handle = value;
    }
    return call.finish(status);
}

FT_STATUS FTD2XX_CALL FT_Close(FT_HANDLE handle) {
    D2xxCall call("FT_Close", handle);
    if (auto refused = call.faultOnly()) {
        return call.finish(*refused);
    }
    return call.finish(call.devices().close(handle));
}

FT_STATUS FTD2XX_CALL FT_Read(FT_HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesReturned) {
    D2xxCall call("FT_Read", handle);
    call.arg("requested", bytesToRead);
    if (auto refused = call.transferRefusal(buffer, bytesToRead, bytesReturned)) {
        return call.finish(*refused);
    }
    std::string data = bytesToRead > 0 ? call.devices().read(call.handle(), bytesToRead) : "";
    if (call.handle().gone()) {
        data.clear();  // what had arrived is lost with the card
    }
    call.playRecordedFailure();
    std::memcpy(buffer, data.data(), data.size());
    *bytesReturned = DWORD(data.size());
    call.arg("returned", *bytesReturned);
    call.arg("text", data);
    return call.finish(call.handle().released() ? FT_IO_ERROR : FT_OK);
}

FT_STATUS FTD2XX_CALL FT_Write(FT_HANDLE handle, void* buffer, DWORD bytesToWrite, DWORD* bytesWritten) {
    D2xxCall call("FT_Write", handle);
    call.arg("requested", bytesToWrite);
    if (auto refused = call.transferRefusal(buffer, bytesToWrite, bytesWritten)) {
        return call.finish(*refused);
    }
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    const auto outcome = call.devices().write(call.handle(), bytes, bytesToWrite);
    call.playRecordedFailure();
    *bytesWritten = call.recordedWritten(DWORD(outcome.written));
    call.arg("written", *bytesWritten);
    if (!call.devices().isCardFifo(call.device())) {
        call.arg("text", std::string(reinterpret_cast<const char*>(bytes), bytesToWrite));
    }
    call.reportReplayDivergences();
    return call.finish(outcome.status);
}

FT_STATUS FTD2XX_CALL FT_SetBaudRate(FT_HANDLE handle, ULONG baudRate) {
    D2xxCall call("FT_SetBaudRate", handle);
    call.arg("baud", baudRate);
    if (auto refused = call.refusal()) {
        return call.finish(*refused);
    }
    // No divisor gives a rate of 0: the chip refuses it and keeps its previous rate.
    return call.finish(baudRate == 0 ? FT_INVALID_BAUD_RATE : FT_OK);
}

FT_STATUS FTD2XX_CALL FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR wordLength, UCHAR stopBits, UCHAR parity) {
    return acceptSetting("FT_SetDataCharacteristics", handle,
                         {{"word", wordLength}, {"stop", stopBits}, {"parity", parity}});
}

FT_STATUS FTD2XX_CALL FT_SetFlowControl(FT_HANDLE handle, USHORT flowControl, UCHAR xon, UCHAR xoff) {
    return acceptSetting("FT_SetFlowControl", handle, {{"flow", flowControl}, {"xon", xon}, {"xoff", xoff}});
}

FT_STATUS FTD2XX_CALL FT_SetLatencyTimer(FT_HANDLE handle, UCHAR latencyMs) {
    return acceptSetting("FT_SetLatencyTimer", handle, {{"ms", latencyMs}});
}

FT_STATUS FTD2XX_CALL FT_Purge(FT_HANDLE handle, ULONG mask) {
    D2xxCall call("FT_Purge", handle);
    call.arg("mask", mask);
    if (auto refused = call.refusal()) {
        return call.finish(*refused);
    }
    call.devices().purge(call.handle(), mask);
    return call.finish(FT_OK);
}

FT_STATUS FTD2XX_CALL FT_SetTimeouts(FT_HANDLE handle, ULONG readTimeout, ULONG writeTimeout) {
    D2xxCall call("FT_SetTimeouts", handle);
    call.arg("read", readTimeout);
    call.arg("write", writeTimeout);
    if (auto refused = call.refusal()) {
        return call.finish(*refused);
    }
    call.handle().setTimeouts(readTimeout, writeTimeout);
    return call.finish(FT_OK);
}

FT_STATUS FTD2XX_CALL FT_GetStatus(FT_HANDLE handle, DWORD* rxQueue, DWORD* txQueue, DWORD* eventStatus) {
    D2xxCall call("FT_GetStatus", handle);
    if (auto refused = call.refusal()) {
        return call.finishPoll(*refused, 0);
    }
    if (rxQueue == nullptr || txQueue == nullptr || eventStatus == nullptr) {
        return call.finish(FT_INVALID_PARAMETER);
    }
    const DWORD waiting = DWORD(call.devices().waiting(call.handle()));
    call.playRecordedFailure();
    *rxQueue = waiting;
    *txQueue = 0;  // writes are synchronous, as in the vendor library on Linux
    *eventStatus = 0;
    call.arg("rx", waiting);
    return call.finishPoll(FT_OK, waiting);
}

FT_STATUS FTD2XX_CALL FT_EE_Read(FT_HANDLE handle, FT_PROGRAM_DATA* data) {
    D2xxCall call("FT_EE_Read", handle);
    if (auto refused = call.eepromRefusal(data)) {
        return call.finish(*refused);
    }
    call.arg("version", data->Version);
    const auto result = call.eeprom().read(*data);
    if (result.status == FT_OK) {
        call.arg("fifo_flag", result.fifoFlag);
    }
    return call.finish(result.status);
}

FT_STATUS FTD2XX_CALL FT_EE_Program(FT_HANDLE handle, FT_PROGRAM_DATA* data) {
    D2xxCall call("FT_EE_Program", handle);
    if (auto refused = call.eepromRefusal(data)) {
        return call.finish(*refused);
    }
    const auto result = call.eeprom().program(*data);
    call.arg("fifo_flag", result.fifoFlag);
    call.arg("others_unchanged", result.othersUnchanged);
    return call.finish(result.status);
}

FT_STATUS FTD2XX_CALL FT_ResetPort(FT_HANDLE handle) {
    // Windows-only in the vendor library: on Linux it answers "not supported" at once,
    // without looking at the handle.
    D2xxCall call("FT_ResetPort", handle);
    if (auto refused = call.faultOnly()) {
        return call.finish(*refused);
    }
    return call.finish(FT_NOT_SUPPORTED);
}

int cardbench_load_scenario(const char* json_text, const char* base_dir) {
    if (json_text == nullptr) {
        return -1;
    }
    auto& bench = cardbench::instance();
    std::lock_guard<std::mutex> lock(bench.mutex);
    return cardbench::install("scenario", json_text, base_dir ? base_dir : "", bench) ? 0 : -1;
}

int cardbench_load_scenario_file(const char* path) {
    if (path == nullptr) {
        return -1;
    }
    auto& bench = cardbench::instance();
    std::lock_guard<std::mutex> lock(bench.mutex);
    return cardbench::installFile(path, bench) ? 0 : -1;
}

void cardbench_reset(void) {
    auto& bench = cardbench::instance();
    std::lock_guard<std::mutex> lock(bench.mutex);
    cardbench::replaceWorld(bench, std::make_shared<cardbench::World>(cardbench::Scenario{}, ""));
    bench.lastError.clear();
}

size_t cardbench_last_error(char* buffer, size_t capacity) {
    auto& bench = cardbench::instance();
    std::lock_guard<std::mutex> lock(bench.mutex);
    return cardbench::copyText(bench.lastError, buffer, capacity);
}

size_t cardbench_call_log(char* buffer, size_t capacity) {
    return cardbench::copyText(cardbench::currentWorld()->log.text(), buffer, capacity);
}

int cardbench_double_close_count(int device) { return cardbench::currentWorld()->devices.doubleCloses(device); }

}  // extern "C"
