#include "recording_reader.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "link/ftd2xx_program_data_fields.h"
#include "replay.h"

namespace cardbench {
namespace {

using Json = nlohmann::json;

constexpr std::int64_t kMaxDword = 0xFFFFFFFF;
constexpr std::int64_t kMaxInt = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kMinInt = std::numeric_limits<std::int32_t>::min();
// Times and counts stay far below the clock's range: 10^15 us is over 30 years.
constexpr std::int64_t kMaxTime = 1000000000000000;
// The lines of two threads reach the file in the order their calls ended, give or take
// the moment between a call's end and its line (longer for a FIFO write, whose CRC is
// taken first). Times that go back further than this were edited.
constexpr std::int64_t kThreadSkewUs = 1000000;

struct FunctionRule {
    const char* name;
    bool onHandle;
    bool statusPlayed;                   // opening and set-up: its statuses are played back
    std::vector<const char*> arguments;  // the integer arguments its line carries
};

const std::vector<FunctionRule>& functionRules() {
    static const std::vector<FunctionRule> rules = {
        {"FT_CreateDeviceInfoList", false, true, {}},
        {"FT_GetDeviceInfoList", false, true, {}},
        {"FT_Open", false, true, {"dev"}},
        {"FT_Close", true, true, {}},
        {"FT_ResetPort", true, true, {}},
        {"FT_SetLatencyTimer", true, true, {"latency"}},
        {"FT_SetBaudRate", true, true, {"baud"}},
        {"FT_SetFlowControl", true, true, {"flowControl", "xon", "xoff"}},
        {"FT_SetDataCharacteristics", true, true, {"wordLength", "stopBits", "parity"}},
        {"FT_Purge", true, true, {"mask"}},
        {"FT_SetTimeouts", true, true, {"readTimeout", "writeTimeout"}},
        {"FT_GetStatus", true, false, {}},
        {"FT_Read", true, false, {"length"}},
        {"FT_Write", true, false, {"length"}},
        {"FT_EE_Read", true, true, {}},
        {"FT_EE_Program", true, true, {}},
    };
    return rules;
}

// What the bench answers by itself, which needs no fault to be played.
FT_STATUS usualStatus(const std::string& function, bool onHandle, int device) {
    if (function == "FT_ResetPort") {
        return FT_NOT_SUPPORTED;
    }
    return onHandle && device < 0 ? FT_INVALID_HANDLE : FT_OK;
}

// A value as a message quotes it: arrays and objects by their kind only, since they may
// nest deeper than a recursive dump should go.
std::string shown(const Json& value) {
    if (value.is_structured()) {
        return value.is_array() ? "an array of " + std::to_string(value.size()) : "an object";
    }
    const std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    return text.size() > 40 ? text.substr(0, 37) + "..." : text;
}

// A call on one of the device's handles, as the recorded driver answered it.
struct HandleCall {
    std::size_t line;
    std::string function;
    std::int64_t moment;  // when its status showed: a write's end, another call's start
    FT_STATUS status;
    std::int64_t calls;
    std::int64_t written;  // a write's
    bool fifoWrite;
};

// The calls whose failures are played where they happened (replay.h); those of opening and
// set-up are played call by call as faults, a FIFO write's with its pace.
bool failurePlayedInPlace(const HandleCall& call) {
    return call.function == "FT_GetStatus" || call.function == "FT_Read" ||
           (call.function == "FT_Write" && !call.fifoWrite);
}

struct FifoWriteAt {
    std::int64_t start, end;
    RecordedFifoWrite write;
};

// One listed device's traffic, in the order of the lines.
struct DeviceTraffic {
    bool opened = false;
    bool uart = false;                                         // a baud rate set, commands written or bytes read
    std::vector<std::int64_t> opens;                           // when each open returned
    std::vector<std::pair<std::int64_t, std::string>> writes;  // commands: when each write returned, its bytes
    std::vector<std::pair<std::int64_t, std::string>> reads;   // bytes read, and when they were first seen waiting
    std::vector<FifoWriteAt> fifoWrites;
    std::optional<std::int64_t> waitingSince;  // the start of the first poll that saw bytes since the last read
    std::shared_ptr<const RecordedEeprom> eeprom;
    std::vector<HandleCall> calls;
};

class RecordingReader {
public:
    Scenario read(const std::string& text);

private:
    [[noreturn]] void refuse(const std::string& reason) const { throw RecordingRefusal{line_, reason}; }
    const Json& member(const Json& object, const std::string& path, const char* key) const;
    std::int64_t integer(const Json& object, const std::string& path, const char* key, std::int64_t min,
                         std::int64_t max) const;
    std::string bytes(const Json& object, const std::string& path, const char* key) const;
    Json parse(const char* begin, const char* end) const;

    void header(const Json& line);
    void call(const Json& line);
    void closing(const Json& line) const;
    void listing(const Json& line);
    std::shared_ptr<const RecordedEeprom> eeprom(const Json& data) const;
    void traffic(const std::string& function, const Json& line, std::int64_t start, std::int64_t end, FT_STATUS status,
                 int device);
    void handleCall(const std::string& function, const Json& line, std::int64_t start, std::int64_t end,
                    FT_STATUS status, std::int64_t count, int device);
    Scenario scenario();
    CardConfig card(const std::vector<int>& chip);
    void failuresAndUnplug(const std::vector<int>& chip, RecordedCard& recorded,
                           const std::function<std::optional<RecordedMoment>(std::int64_t)>& place);

    std::size_t line_ = 0;
    std::optional<std::vector<DeviceConfig>> listed_;
    std::int64_t firstCount_ = 0;
    std::map<std::int64_t, int> handles_;  // every handle opened: its number and device
    std::vector<DeviceTraffic> devices_;   // per listed device
    std::map<std::pair<std::string, int>, std::int64_t> callsSoFar_;
    std::vector<FaultConfig> faults_;
    std::int64_t calls_ = 0;
    std::int64_t latestStart_ = 0, latestEnd_ = 0;
    std::size_t latestStartLine_ = 0;
    std::vector<std::string> notes_;  // statuses that the replay cannot place
};

const Json& RecordingReader::member(const Json& object, const std::string& path, const char* key) const {
    const auto found = object.find(key);
    if (found == object.end()) {
        refuse(path + key + ": missing");
    }
    return *found;
}

std::int64_t RecordingReader::integer(const Json& object, const std::string& path, const char* key, std::int64_t min,
                                      std::int64_t max) const {
    const Json& value = member(object, path, key);
    bool inRange = false;
    if (value.is_number_unsigned()) {
        const std::uint64_t number = value.get<std::uint64_t>();
        inRange = number <= std::uint64_t(max) && (min <= 0 || number >= std::uint64_t(min));
    } else if (value.is_number_integer()) {
        inRange = value.get<std::int64_t>() >= min && value.get<std::int64_t>() <= max;
    }
    if (!inRange) {
        refuse(path + key + ": expected an integer from " + std::to_string(min) + " to " + std::to_string(max) +
               ", found " + shown(value));
    }
    return value.get<std::int64_t>();
}

// A byte string: each character stands for the byte of its value, U+0000 to U+00FF.
std::string RecordingReader::bytes(const Json& object, const std::string& path, const char* key) const {
    const Json& value = member(object, path, key);
    if (!value.is_string()) {
        refuse(path + key + ": expected a byte string, found " + shown(value));
    }
    const auto& text = value.get_ref<const std::string&>();
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            result += char(byte);
        } else if ((byte == 0xC2 || byte == 0xC3) && i + 1 < text.size() && (text[i + 1] & 0xC0) == 0x80) {
            result += char(((byte & 0x03) << 6) | (text[++i] & 0x3F));
        } else {
            refuse(path + key + ": a character above U+00FF, which stands for no byte");
        }
    }
    return result;
}

Json RecordingReader::parse(const char* begin, const char* end) const {
    try {
        return Json::parse(begin, end);
    } catch (const Json::parse_error& error) {
        // The library's text repeats the position after its own prefix; keep the column on.
        std::string reason = error.what();
        if (const auto column = reason.find("column "); column != std::string::npos) {
            reason = reason.substr(column);
        }
        refuse("not JSON: " + reason);
    } catch (const Json::out_of_range& error) {
        // A number beyond a double's range: the library names it but gives no position.
        const std::string reason = error.what();
        refuse("not JSON: " + reason.substr(reason.find(']') + 2));
    }
}

Scenario RecordingReader::read(const std::string& text) {
    bool closed = false;
    for (std::size_t begin = 0; begin < text.size() || line_ == 0;) {
        ++line_;
        if (closed) {
            refuse("text after the closing line");
        }
        const std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) {
            refuse(text.empty() ? "empty: a recording begins with its header line"
                                : "the line is cut off: the recording ends in the middle of it");
        }
        const std::size_t length = end > begin && text[end - 1] == '\r' ? end - 1 - begin : end - begin;
        const Json line = parse(text.data() + begin, text.data() + begin + length);
        begin = end + 1;
        if (!line.is_object()) {
            refuse("expected a JSON object, found " + shown(line));
        }
        if (line_ == 1) {
            header(line);
        } else if (line.contains("end")) {
            closing(line);
            closed = true;
        } else {
            call(line);
        }
    }
    if (!closed) {
        refuse("no closing line: the recording was cut short, or the recorded process did not end normally");
    }
    return scenario();
}

void RecordingReader::header(const Json& line) {
    const auto format = line.find("format");
    if (format == line.end()) {
        refuse("not a nexir-d2xx-recording: the first line has no \"format\"");
    }
    if (*format != "nexir-d2xx-recording") {
        refuse("format " + shown(*format) + " is not \"nexir-d2xx-recording\"");
    }
    const auto version = line.find("version");
    if (version == line.end() || *version != 1) {
        refuse("version " + (version == line.end() ? std::string("missing") : shown(*version)) +
               ": this bench reads version 1");
    }
}

void RecordingReader::closing(const Json& line) const {
    const std::int64_t end = integer(line, "", "end", 0, kMaxTime);
    if (end < latestEnd_) {
        refuse("end: the recording closes at " + std::to_string(end) + " us, before its last call ended (" +
               std::to_string(latestEnd_) + " us)");
    }
    if (const std::int64_t calls = integer(line, "", "calls", 0, kMaxTime); calls != calls_) {
        refuse("calls: the closing line counts " + std::to_string(calls) + " calls, the lines above hold " +
               std::to_string(calls_));
    }
    if (const std::int64_t lines = integer(line, "", "lines", 0, kMaxTime); lines != std::int64_t(line_)) {
        refuse("lines: the closing line counts " + std::to_string(lines) + " lines, the file has " +
               std::to_string(line_));
    }
}

// Element `index` of a line's `t`, a time in microseconds; -1 when it is none.
std::int64_t microseconds(const Json& t, std::size_t index) {
    if (!t.is_array() || t.size() != 2 || !t[index].is_number_unsigned() ||
        t[index].get<std::uint64_t>() > std::uint64_t(kMaxTime)) {
        return -1;
    }
    return t[index].get<std::int64_t>();
}

void RecordingReader::call(const Json& line) {
    const Json& fn = member(line, "", "fn");
    const auto& rules = functionRules();
    const auto rule = std::find_if(rules.begin(), rules.end(), [&](const auto& r) { return fn == r.name; });
    if (rule == rules.end()) {
        refuse("fn: unknown function " + shown(fn));
    }
    const Json& t = member(line, "", "t");
    const std::int64_t start = microseconds(t, 0), end = microseconds(t, 1);
    if (start < 0 || end < 0) {
        refuse("t: expected [start, end], two times in microseconds, found " + shown(t));
    }
    if (end < start) {
        refuse("t: the call ends before it starts");
    }
    if (end + kThreadSkewUs < latestStart_) {
        refuse("t: times go backwards: the call ended at " + std::to_string(end) +
               " us, long before the call on line " + std::to_string(latestStartLine_) + " began (" +
               std::to_string(latestStart_) + " us)");
    }
    if (start >= latestStart_) {
        latestStart_ = start;
        latestStartLine_ = line_;
    }
    latestEnd_ = std::max(latestEnd_, end);
    const auto status = FT_STATUS(integer(line, "", "status", 0, kMaxDword));
    const std::int64_t count = line.contains("calls") ? integer(line, "", "calls", 2, kMaxTime) : 1;
    calls_ = std::min(calls_ + count, kMaxTime);
    for (const char* argument : rule->arguments) {
        integer(line, "", argument, kMinInt, kMaxDword);
    }
    for (const char* result : {"numDevs", "h", "rx", "tx", "event", "read", "written", "crc32", "writtenCrc32"}) {
        if (line.contains(result)) {
            integer(line, "", result, 0, kMaxDword);
        }
    }
    int device = -1;
    if (rule->onHandle) {
        const std::int64_t handle = integer(line, "", "h", 0, kMaxInt);
        device = int(integer(line, "", "dev", -1, kMaxInt));
        const auto opened = handles_.find(handle);
        if (handle == 0 && device != -1) {
            refuse("dev: the null handle (h 0) has no device, found " + std::to_string(device));
        }
        if (handle != 0 && opened == handles_.end()) {
            refuse("h: handle " + std::to_string(handle) + " was never opened");
        }
        if (handle != 0 && opened->second != device) {
            refuse("dev: handle " + std::to_string(handle) + " was opened on device " + std::to_string(opened->second) +
                   ", not " + std::to_string(device));
        }
    } else if (fn == "FT_Open") {  // its device is its argument
        device = int(integer(line, "", "dev", kMinInt, kMaxInt));
    }
    traffic(rule->name, line, start, end, status, device);
    if (rule->onHandle) {
        handleCall(rule->name, line, start, end, status, count, device);
    }
    if (rule->statusPlayed) {
        // The call of this function on this device that the status belongs to.
        std::int64_t& seen = callsSoFar_[{rule->name, device}];
        if (status != usualStatus(rule->name, rule->onHandle, device)) {
            FaultConfig fault;
            fault.function = rule->name;
            fault.device = device;
            fault.status = status;
            fault.times = long(std::min<std::int64_t>(count, kAlways));
            fault.skip = long(std::min<std::int64_t>(seen, kAlways));
            fault.perform = fault.function == "FT_Close";  // the handle goes whatever the close says
            faults_.push_back(fault);
        }
        seen = std::min(seen + count, kMaxTime);
    }
}

// What a call tells of the devices and cards: the list, the opens, the commands, the
// bytes read, the FIFO writes and the EEPROM.
void RecordingReader::traffic(const std::string& function, const Json& line, std::int64_t start, std::int64_t end,
                              FT_STATUS status, int device) {
    if (function == "FT_CreateDeviceInfoList" && !listed_ && firstCount_ == 0 && line.contains("numDevs")) {
        // Without a recorded list, the count alone is played, by plain devices; the program
        // tells only none, up to 254 and more apart.
        firstCount_ = std::min(integer(line, "", "numDevs", 0, kMaxDword), std::int64_t(kMostDevices));
    } else if (function == "FT_GetDeviceInfoList" && status == FT_OK && line.contains("nodes")) {
        listing(line);
    } else if (function == "FT_Open" && status == FT_OK) {
        const std::int64_t handle = integer(line, "", "h", 1, kMaxInt);
        if (handles_.count(handle) != 0) {
            refuse("h: handle " + std::to_string(handle) + " is opened a second time");
        }
        const std::size_t listed = listed_ ? listed_->size() : 0;
        if (device < 0 || std::size_t(device) >= listed) {
            refuse("dev: device " + std::to_string(device) + " is not in the recorded device list (" +
                   std::to_string(listed) + " devices)");
        }
        handles_[handle] = device;
        devices_[std::size_t(device)].opened = true;
        devices_[std::size_t(device)].opens.push_back(end);
    } else if (function == "FT_EE_Read" && status == FT_OK && line.contains("data")) {
        const auto recorded = eeprom(line["data"]);
        if (device >= 0 && !devices_[std::size_t(device)].eeprom) {
            devices_[std::size_t(device)].eeprom = recorded;
        }
    } else if (function == "FT_EE_Program") {
        eeprom(member(line, "", "data"));  // checked, not played: the bench's chip keeps what it is given
    } else if (function == "FT_Write") {
        const std::string channel = bytes(line, "", "channel");
        if (channel != "uart" && channel != "fifo") {
            refuse("channel: expected \"uart\" or \"fifo\", found " + shown(line["channel"]));
        }
        const std::int64_t length = integer(line, "", "length", 0, kMaxDword);
        if (device < 0) {
            return;
        }
        DeviceTraffic& traffic = devices_[std::size_t(device)];
        if (channel == "fifo") {
            const std::int64_t written =
                line.contains("written") ? std::min(line["written"].get<std::int64_t>(), length) : 0;
            traffic.fifoWrites.push_back(
                {start,
                 end,
                 {std::uint64_t(length), std::uint64_t(written), status, std::chrono::microseconds(end - start)}});
        } else if (line.contains("data")) {
            std::string data = bytes(line, "", "data");
            if (std::int64_t(data.size()) != length) {
                refuse("data: " + std::to_string(data.size()) + " bytes, where length says " + std::to_string(length));
            }
            traffic.uart = true;
            traffic.writes.emplace_back(end, std::move(data));
        }
    } else if (function == "FT_SetBaudRate" && device >= 0) {
        devices_[std::size_t(device)].uart = true;
    } else if (function == "FT_GetStatus" && device >= 0 && line.contains("rx") && line["rx"] != 0) {
        auto& since = devices_[std::size_t(device)].waitingSince;
        since = since.value_or(start);
    } else if (function == "FT_Read" && line.contains("data")) {
        std::string data = bytes(line, "", "data");
        const std::int64_t read =
            std::min(integer(line, "", "read", 0, kMaxDword), integer(line, "", "length", 0, kMaxDword));
        if (std::int64_t(data.size()) != read) {
            refuse("data: " + std::to_string(data.size()) + " bytes, where read says " + std::to_string(read));
        }
        if (device < 0 || data.empty()) {
            return;
        }
        DeviceTraffic& traffic = devices_[std::size_t(device)];
        traffic.uart = true;
        traffic.reads.emplace_back(traffic.waitingSince.value_or(end), std::move(data));
        traffic.waitingSince.reset();
    }
}

// Keeps a handle call for placing its status. The bench answers a call on the null handle
// by itself, so a recorded failure there other than its own cannot be played.
void RecordingReader::handleCall(const std::string& function, const Json& line, std::int64_t start, std::int64_t end,
                                 FT_STATUS status, std::int64_t count, int device) {
    const bool fifoWrite = function == "FT_Write" && line["channel"] == "fifo";
    const std::int64_t written = line.contains("written") ? line["written"].get<std::int64_t>() : 0;
    const HandleCall call{line_, function, function == "FT_Write" ? end : start, status, count, written, fifoWrite};
    if (device >= 0) {
        devices_[std::size_t(device)].calls.push_back(call);
    } else if (failurePlayedInPlace(call) && status != FT_INVALID_HANDLE) {
        notes_.push_back("line " + std::to_string(line_) + ": " + function + " on the null handle answered " +
                         std::to_string(status) + ", which the replay cannot place");
    }
}

// The first list with nodes is the bench's device list; later ones are only checked.
void RecordingReader::listing(const Json& line) {
    const Json& nodes = line["nodes"];
    if (!nodes.is_array()) {
        refuse("nodes: expected an array, found " + shown(nodes));
    }
    if (nodes.size() > kMostDevices) {
        refuse("nodes: " + std::to_string(nodes.size()) + " devices, more than the bench lists (" +
               std::to_string(kMostDevices) + ")");
    }
    std::vector<DeviceConfig> devices;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const std::string path = "nodes[" + std::to_string(i) + "].";
        const Json& node = nodes[i];
        if (!node.is_object()) {
            refuse(path.substr(0, path.size() - 1) + ": expected an object, found " + shown(node));
        }
        DeviceConfig device;
        device.description = bytes(node, path, "Description");
        device.serial = bytes(node, path, "SerialNumber");
        device.type = ULONG(integer(node, path, "Type", 0, kMaxDword));
        RecordedNode recorded;
        recorded.flags = ULONG(integer(node, path, "Flags", 0, kMaxDword));
        recorded.id = ULONG(integer(node, path, "ID", 0, kMaxDword));
        recorded.locId = DWORD(integer(node, path, "LocId", 0, kMaxDword));
        // Open in this process when listed: the bench adds the flag while it holds the device.
        if (integer(node, path, "ftHandle", -1, kMaxInt) > 0) {
            recorded.flags &= ~FT_FLAGS_OPENED;
        }
        device.recordedNode = recorded;
        devices.push_back(std::move(device));
    }
    if (!listed_) {
        devices_.resize(devices.size());
        listed_ = std::move(devices);
    }
}

std::shared_ptr<const RecordedEeprom> RecordingReader::eeprom(const Json& data) const {
    if (data.is_null()) {
        return nullptr;
    }
    if (!data.is_object()) {
        refuse("data: expected an object, found " + shown(data));
    }
    auto recorded = std::make_shared<RecordedEeprom>();
    FT_PROGRAM_DATA& fields = recorded->fields;
#define NEXIR_READ_FIELD(name) \
    fields.name =              \
        decltype(fields.name)(integer(data, "data.", #name, 0, std::numeric_limits<decltype(fields.name)>::max()));
    NEXIR_LEADING_FIELDS(NEXIR_READ_FIELD)
    NEXIR_TRAILING_FIELDS(NEXIR_READ_FIELD)
#undef NEXIR_READ_FIELD
    const char* const names[] = {"Manufacturer", "ManufacturerId", "Description", "SerialNumber"};
    for (std::size_t i = 0; i < recorded->strings.size(); ++i) {
        if (!member(data, "data.", names[i]).is_null()) {
            recorded->strings[i] = bytes(data, "data.", names[i]);
        }
    }
    return recorded;
}

// A card for each chip that the program opened a channel of: the devices whose serial
// numbers differ only in their last character, as the program pairs them.
Scenario RecordingReader::scenario() {
    Scenario scenario;
    if (!listed_) {
        for (std::int64_t i = 0; i < firstCount_; ++i) {
            scenario.devices.emplace_back();
        }
        scenario.faults = faults_;
        scenario.replayNotes = notes_;
        return scenario;
    }
    scenario.devices = *listed_;
    std::map<std::string, std::vector<int>> chips;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        const std::string& serial = scenario.devices[i].serial;
        if (devices_[i].opened) {
            chips[serial.empty() ? "device " + std::to_string(i) : chipSerial(serial)].push_back(int(i));
        }
    }
    for (const auto& [chip, members] : chips) {
        for (const int index : members) {
            DeviceConfig& device = scenario.devices[std::size_t(index)];
            device.card = chip;
            device.channel = devices_[std::size_t(index)].uart ? Channel::Uart : Channel::Fifo;
        }
        scenario.cards[chip] = card(members);
    }
    scenario.faults = faults_;
    scenario.replayNotes = notes_;
    return scenario;
}

// The card of one chip: its commands, the moments of its traffic in time order, each
// byte string read timed against the moment before it, its FIFO writes and its EEPROM.
CardConfig RecordingReader::card(const std::vector<int>& chip) {
    struct Moment {
        std::int64_t time;
        Milestone kind;
        const std::string* bytes;  // a UART write's
    };
    auto recorded = std::make_shared<RecordedCard>();
    CardConfig card;
    std::vector<Moment> moments;
    std::vector<std::pair<std::int64_t, const std::string*>> reads;
    for (const int index : chip) {
        const DeviceTraffic& traffic = devices_[std::size_t(index)];
        const std::string& serial = listed_->at(std::size_t(index)).serial;
        if (recorded->name.empty() || !traffic.uart) {
            recorded->name = serial.empty() ? "at index " + std::to_string(index) : serial;
        }
        for (const std::int64_t open : traffic.opens) {
            if (traffic.uart) {
                moments.push_back({open, Milestone::UartOpened, nullptr});
            }
        }
        for (const auto& [time, bytes] : traffic.writes) {
            moments.push_back({time, Milestone::Command, &bytes});
        }
        for (const FifoWriteAt& write : traffic.fifoWrites) {
            moments.push_back({write.start, Milestone::FifoWriteStart, nullptr});
            moments.push_back({write.end, Milestone::FifoWriteEnd, nullptr});
            recorded->fifoWrites.push_back(write.write);
        }
        for (const auto& [time, bytes] : traffic.reads) {
            reads.emplace_back(time, &bytes);
        }
        if (traffic.eeprom && !card.eeprom.recorded) {
            card.eeprom.recorded = traffic.eeprom;
            card.eeprom.fifoFlag = traffic.eeprom->fields.IFAIsFifo7;
        }
    }
    std::stable_sort(moments.begin(), moments.end(), [](const Moment& a, const Moment& b) { return a.time < b.time; });
    // Each moment with its kind's ordinal; a write makes one moment per line it completes.
    std::vector<std::pair<std::int64_t, std::pair<Milestone, std::size_t>>> anchors;
    std::array<std::size_t, kMilestoneKinds> ordinals{};
    std::string pending;
    for (const Moment& moment : moments) {
        if (moment.kind != Milestone::Command) {
            anchors.push_back({moment.time, {moment.kind, ordinals[std::size_t(moment.kind)]++}});
            continue;
        }
        pending += *moment.bytes;
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            recorded->commands.push_back(pending.substr(0, end));
            pending.erase(0, end + 1);
            anchors.push_back({moment.time, {Milestone::Command, ordinals[std::size_t(Milestone::Command)]++}});
        }
    }
    // A recorded time as a moment after the last milestone at or before it; none before the first.
    const auto place = [&anchors](std::int64_t time) -> std::optional<RecordedMoment> {
        const auto after = std::upper_bound(anchors.begin(), anchors.end(), time,
                                            [](std::int64_t t, const auto& anchor) { return t < anchor.first; });
        if (after == anchors.begin()) {
            return std::nullopt;
        }
        const auto& anchor = *std::prev(after);
        return RecordedMoment{anchor.second.first, anchor.second.second,
                              std::chrono::microseconds(time - anchor.first)};
    };
    for (const auto& [seen, bytes] : reads) {
        recorded->arrivals.push_back({place(seen).value_or(RecordedMoment{}), *bytes});
    }
    failuresAndUnplug(chip, *recorded, place);
    if (recorded->unplugged) {
        card.unplug = UnplugConfig{};
        card.unplug->asRecorded = true;
    }
    card.replay = std::move(recorded);
    return card;
}

// The chip's failed calls. The card went away at the first call that failed with
// FT_IO_ERROR, as every call on a gone chip does, after which no call on the chip did
// otherwise (its closes aside, which succeed, and its resets, which never do on Linux);
// the failures before that are played where they happened.
void RecordingReader::failuresAndUnplug(const std::vector<int>& chip, RecordedCard& recorded,
                                        const std::function<std::optional<RecordedMoment>(std::int64_t)>& place) {
    std::vector<std::pair<const HandleCall*, Channel>> calls;
    for (const int index : chip) {
        const DeviceTraffic& traffic = devices_[std::size_t(index)];
        for (const HandleCall& call : traffic.calls) {
            calls.emplace_back(&call, traffic.uart ? Channel::Uart : Channel::Fifo);
        }
    }
    std::sort(calls.begin(), calls.end(), [](const auto& a, const auto& b) { return a.first->line < b.first->line; });
    std::size_t gone = calls.size();
    std::optional<std::int64_t> goneAt;
    for (std::size_t i = calls.size(); i-- > 0;) {
        const HandleCall& call = *calls[i].first;
        if (call.function == "FT_Close" || call.function == "FT_ResetPort") {
            continue;
        }
        if (call.status != FT_IO_ERROR) {
            break;
        }
        gone = i;
        goneAt = std::min(goneAt.value_or(call.moment), call.moment);
    }
    const auto unplaced = [&](const HandleCall& call, const std::string& what) {
        notes_.push_back("line " + std::to_string(call.line) + ": " + what + " on the card " + recorded.name +
                         " before any of its traffic, which the replay cannot place");
    };
    if (goneAt) {
        recorded.unplugged = place(*goneAt);
        if (!recorded.unplugged) {
            unplaced(*calls[gone].first, "the unplug");
        }
    }
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const HandleCall& call = *calls[i].first;
        // A command write in progress as the card went fails itself, and is played so.
        const bool wentDuring = call.function == "FT_Write" && goneAt && call.moment == *goneAt;
        if (call.status == FT_OK || !failurePlayedInPlace(call) || (i >= gone && !wentDuring)) {
            continue;
        }
        const auto at = place(call.moment);
        if (!at) {
            unplaced(call, call.function + " answering " + std::to_string(call.status));
            continue;
        }
        recorded.failures.push_back(
            {*at, call.function, calls[i].second, call.status, std::uint64_t(call.calls), std::uint64_t(call.written)});
    }
}

}  // namespace

bool isRecording(const std::string& source, const std::string& text) {
    const std::string suffix = ".jsonl";
    if (source.size() >= suffix.size() && source.compare(source.size() - suffix.size(), suffix.size(), suffix) == 0) {
        return true;
    }
    const Json first = Json::parse(text.substr(0, text.find('\n')), nullptr, false);
    return first.is_object() && first.contains("format");
}

Scenario scenarioFromRecording(const std::string& text) {
    RecordingReader reader;
    return reader.read(text);
}

}  // namespace cardbench
