#include "scenario.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include <nlohmann/json.hpp>

namespace cardbench {
namespace {

using Document = nlohmann::ordered_json;

// nlohmann reports the byte offset of a syntax error; people look for line and column.
std::string syntaxError(const std::string& text, const nlohmann::json::parse_error& error) {
    std::size_t line = 1, column = 1;
    const std::size_t end = error.byte == 0 ? 0 : std::min<std::size_t>(error.byte - 1, text.size());
    for (std::size_t i = 0; i < end; ++i) {
        column = text[i] == '\n' ? 1 : column + 1;
        line += text[i] == '\n';
    }
    // The library's text repeats the position after its own prefix; keep only the reason.
    std::string reason = error.what();
    if (const auto colon = reason.find(": ", reason.find(']')); colon != std::string::npos) {
        reason = reason.substr(colon + 2);
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + reason;
}

std::string memberPath(const std::string& parent, const std::string& key) {
    return parent.empty() ? key : parent + "." + key;
}

// Every value is reached through a view that knows its key path
// ("cards.slot3.upgrade.stage_ms[1]"), checks the value's type when it is converted, and
// marks it as read. Once the whole scenario has been read, any key that no parser asked
// for is reported as unknown, so a misspelled key fails loudly instead of silently leaving
// a default in place. Declaring a new key is its one read.
class JsonView {
public:
    JsonView(const Document& document, std::set<const Document*>& readValues) : JsonView(&document, "", readValues) {
        expect(document.is_object(), "an object");
    }

    // Missing keys and JSON null read as null.
    bool isNull() const { return value_ == nullptr || value_->is_null(); }
    bool isString() const { return !isNull() && value_->is_string(); }
    bool isNumber() const { return !isNull() && value_->is_number(); }
    bool isArray() const { return !isNull() && value_->is_array(); }

    // The member `key` of this object (a null view when missing). Marks it as read.
    JsonView operator[](const char* key) const {
        expect(isNull() || value_->is_object(), "an object");
        const Document* member = nullptr;
        if (!isNull()) {
            if (auto found = value_->find(key); found != value_->end()) member = &*found;
        }
        return JsonView(member, memberPath(path_, key), *readValues_);
    }

    // Array elements; object members with their keys. Null gives none.
    std::vector<JsonView> elements() const {
        expect(isNull() || value_->is_array(), "an array");
        std::vector<JsonView> views;
        for (std::size_t i = 0; !isNull() && i < value_->size(); ++i) {
            views.push_back(JsonView(&(*value_)[i], path_ + "[" + std::to_string(i) + "]", *readValues_));
        }
        return views;
    }

    std::vector<std::pair<std::string, JsonView>> members() const {
        expect(isNull() || value_->is_object(), "an object");
        std::vector<std::pair<std::string, JsonView>> views;
        if (!isNull()) {
            for (const auto& [key, member] : value_->items()) {
                views.emplace_back(key, JsonView(&member, memberPath(path_, key), *readValues_));
            }
        }
        return views;
    }

    // Converts with a type (and range) check; throws naming the path on a mismatch.
    template <typename T>
    T as() const {
        if constexpr (std::is_same_v<T, bool>) {
            expect(!isNull() && value_->is_boolean(), "true or false");
        } else if constexpr (std::is_same_v<T, std::string>) {
            expect(isString(), "a string");
        } else if constexpr (std::is_floating_point_v<T>) {
            expect(isNumber(), "a number");
        } else {
            static_assert(std::is_integral_v<T>, "scenario values are booleans, strings or numbers");
            using Limits = std::numeric_limits<T>;
            expect(!isNull() && value_->is_number_integer(), "an integer");
            const bool inRange =
                value_->is_number_unsigned()
                    ? value_->template get<std::uint64_t>() <= static_cast<std::uint64_t>(Limits::max())
                    : value_->template get<std::int64_t>() >= static_cast<std::int64_t>(Limits::min());
            expect(inRange,
                   "an integer from " + std::to_string(Limits::min()) + " to " + std::to_string(Limits::max()));
        }
        return value_->template get<T>();
    }

    template <typename T>
    T valueOr(const char* key, T fallback) const {
        const JsonView member = (*this)[key];
        return member.isNull() ? fallback : member.template as<T>();
    }

    // The value as JSON text, for messages and for values that may be of several types.
    std::string text() const { return isNull() ? "null" : value_->dump(); }

    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error((path_.empty() ? "top level" : path_) + ": " + what);
    }

private:
    JsonView(const Document* value, std::string path, std::set<const Document*>& readValues)
        : value_(value), path_(std::move(path)), readValues_(&readValues) {
        if (value_ != nullptr) readValues_->insert(value_);
    }

    void expect(bool ok, const std::string& what) const {
        if (!ok) fail("expected " + what + ", found " + (value_ == nullptr ? "nothing" : text()));
    }

    const Document* value_;
    std::string path_;
    std::set<const Document*>* readValues_;
};

// Throws naming the path of the first key (in document order) that was never read.
void rejectUnread(const Document& value, const std::string& path, const std::set<const Document*>& readValues) {
    if (value.is_object()) {
        for (const auto& [key, member] : value.items()) {
            const std::string memberAt = memberPath(path, key);
            if (readValues.count(&member) == 0) throw std::runtime_error(memberAt + ": unknown key");
            rejectUnread(member, memberAt, readValues);
        }
    } else if (value.is_array()) {
        for (std::size_t i = 0; i < value.size(); ++i) {
            rejectUnread(value[i], path + "[" + std::to_string(i) + "]", readValues);
        }
    }
}

// Each parser below reads the keys of one kind of object.

std::string resolvePath(const std::string& path, const std::string& baseDir) {
    if (path.empty() || std::filesystem::path(path).is_absolute() || baseDir.empty()) {
        return path;
    }
    return (std::filesystem::path(baseDir) / path).string();
}

AnswerChunk parseChunk(const JsonView& chunk) {
    if (chunk.isString()) {
        return {chunk.as<std::string>(), 0};
    }
    return {chunk["data"].as<std::string>(), chunk.valueOr("delay_ms", 0)};
}

ScriptedAnswer parseAnswer(const JsonView& answer) {
    ScriptedAnswer scripted;
    if (answer.isArray()) {
        for (const auto& chunk : answer.elements()) {
            scripted.chunks.push_back(parseChunk(chunk));
        }
    } else if (!answer.isNull()) {
        scripted.chunks.push_back(parseChunk(answer));
    }
    return scripted;
}

UpgradeConfig parseUpgrade(const JsonView& j) {
    UpgradeConfig config;
    config.rateBytesPerS = j.valueOr("rate_bytes_per_s", config.rateBytesPerS);
    config.eventIntervalMs = j.valueOr("event_interval_ms", config.eventIntervalMs);
    if (const JsonView stages = j["stage_ms"]; !stages.isNull()) {
        config.stageMs.clear();
        for (const auto& stage : stages.elements()) {
            config.stageMs.push_back(stage.as<int>());
        }
    }
    config.stageMs.resize(3, 0);
    config.failAtStage = j.valueOr("fail_at_stage", 0);
    config.silentDuringTransfer = j.valueOr("silent_during_transfer", false);
    config.silentAfterTransfer = j.valueOr("silent_after_transfer", false);
    if (const JsonView stop = j["stop_taking_after"]; !stop.isNull()) {
        config.stopTakingAfter = stop.as<std::uint64_t>();
    }
    config.shortWrite = j.valueOr<std::uint32_t>("short_write", 0);
    config.doneAfterUploadMs = j.valueOr("done_after_upload_ms", config.doneAfterUploadMs);
    config.maxWriteBytes = j.valueOr<std::uint32_t>("max_write_bytes", 0);
    config.zeroWrites = j.valueOr<std::uint32_t>("zero_writes", 0);
    for (const auto& line : j["extra_lines"].elements()) {
        config.extraLines.push_back(
            {line["stage"].as<int>(), line["data"].as<std::string>(), line.valueOr("at_ms", -1)});
    }
    config.intakeTimeoutMs = j.valueOr("intake_timeout_ms", config.intakeTimeoutMs);
    if (config.eventIntervalMs <= 0) {
        j["event_interval_ms"].fail("must be positive");
    }
    return config;
}

UnplugConfig parseUnplug(const JsonView& j) {
    UnplugConfig unplug;
    if (const JsonView bytes = j["after_fifo_bytes"]; !bytes.isNull()) {
        unplug.afterFifoBytes = bytes.as<std::uint64_t>();
    }
    if (const JsonView ms = j["after_transfer_ms"]; !ms.isNull()) {
        unplug.afterTransferMs = ms.as<int>();
        if (*unplug.afterTransferMs < 0) {
            ms.fail("must not be negative");
        }
    }
    if (const JsonView command = j["at_command"]; !command.isNull()) {
        unplug.atCommand = command.as<std::string>();
    }
    if (int(bool(unplug.afterFifoBytes)) + int(bool(unplug.afterTransferMs)) + int(bool(unplug.atCommand)) != 1) {
        j.fail("expected exactly one of after_fifo_bytes, after_transfer_ms and at_command");
    }
    return unplug;
}

CardConfig parseCard(const JsonView& j) {
    CardConfig card;
    if (const JsonView slot = j["slot"]; slot.isString()) {
        card.slot = slot.as<std::string>();
    } else if (slot.isNumber()) {
        card.slot = slot.text();
    } else if (!slot.isNull()) {
        slot.fail("expected a number or a string, found " + slot.text());
    }
    card.fpgaVersion = j.valueOr("fpga_version", card.fpgaVersion);
    card.swVersion = j.valueOr("sw_version", card.swVersion);
    card.latencyMs = j.valueOr("latency_ms", card.latencyMs);
    card.silent = j.valueOr("silent", false);
    for (const auto& [command, answer] : j["answers"].members()) {
        card.answers[command] = parseAnswer(answer);
    }
    if (const JsonView answer = j["subscription_answer"]; !answer.isNull()) {
        card.subscriptionAnswer = answer.as<std::string>();
    }
    const JsonView eeprom = j["eeprom"];
    card.eeprom.fifoFlag = eeprom.valueOr<std::uint8_t>("fifo_flag", card.eeprom.fifoFlag);
    card.eeprom.readStatus = eeprom.valueOr<FT_STATUS>("read_status", FT_OK);
    card.eeprom.modeAfterReplug = eeprom.valueOr("mode_after_replug", false);
    card.upgrade = parseUpgrade(j["upgrade"]);
    if (const JsonView unplug = j["unplug"]; !unplug.isNull()) {
        card.unplug = parseUnplug(unplug);
    }
    return card;
}

DeviceConfig parseDevice(const JsonView& j, const std::map<std::string, CardConfig>& cards) {
    DeviceConfig device;
    device.description = j.valueOr<std::string>("description", "");
    device.serial = j.valueOr<std::string>("serial", "");
    device.card = j.valueOr<std::string>("card", "");
    if (device.card.empty()) {
        return device;
    }
    if (cards.count(device.card) == 0) {
        j["card"].fail("unknown card '" + device.card + "'");
    }
    const std::string channel = j.valueOr<std::string>("channel", "");
    if (channel != "fifo" && channel != "uart") {
        j["channel"].fail("unknown channel '" + channel + "' (expected fifo or uart)");
    }
    device.channel = channel == "fifo" ? Channel::Fifo : Channel::Uart;
    device.type = kTypeFt2232H;
    return device;
}

DeviceConfig fillerDevice(std::size_t index) {
    DeviceConfig device;
    device.description = "FT232R USB UART";
    device.serial = "FTX" + std::to_string(index);
    return device;
}

FaultConfig parseFault(const JsonView& j) {
    FaultConfig fault;
    fault.function = j["function"].as<std::string>();
    if (const JsonView device = j["device"]; !device.isNull()) {
        fault.device = device.as<int>();
    }
    fault.status = j.valueOr<FT_STATUS>("status", FT_IO_ERROR);
    if (const JsonView times = j["times"]; times.isNumber()) {
        fault.times = times.as<long>();
    } else if (const std::string word = j.valueOr<std::string>("times", "always"); word == "once") {
        fault.times = 1;
    } else if (word != "always") {
        times.fail("expected \"once\", \"always\" or a number, found " + times.text());
    }
    fault.skip = j.valueOr("skip", 0L);
    fault.perform = j.valueOr("perform", false);
    return fault;
}

void checkChannelsUnique(const std::vector<DeviceConfig>& devices) {
    std::map<std::pair<std::string, Channel>, int> seen;
    for (const auto& device : devices) {
        if (!device.card.empty() && ++seen[{device.card, device.channel}] > 1) {
            throw std::runtime_error("card '" + device.card + "' has two devices for the same channel");
        }
    }
}

Scenario parseRoot(const JsonView& j, const std::string& baseDir) {
    Scenario scenario;
    scenario.callLogPath = resolvePath(j.valueOr<std::string>("call_log", ""), baseDir);
    scenario.fifoDumpDir = resolvePath(j.valueOr<std::string>("fifo_dump_dir", ""), baseDir);
    for (const auto& [name, card] : j["cards"].members()) {
        scenario.cards[name] = parseCard(card);
    }
    for (const auto& device : j["devices"].elements()) {
        if (const JsonView plain = device["plain_devices"]; !plain.isNull()) {
            // A run of ordinary FTDI devices, for long lists.
            const auto n = plain.as<std::size_t>();
            if (n > kMostDevices - scenario.devices.size()) {
                plain.fail("a run that makes the list longer than the bench's " + std::to_string(kMostDevices) +
                           " devices");
            }
            for (std::size_t i = 0; i < n; ++i) {
                scenario.devices.push_back(fillerDevice(scenario.devices.size()));
            }
        } else {
            scenario.devices.push_back(parseDevice(device, scenario.cards));
        }
    }
    checkChannelsUnique(scenario.devices);
    const std::size_t count = j.valueOr("device_count", scenario.devices.size());
    if (count > kMostDevices) {
        j["device_count"].fail("more than the bench's " + std::to_string(kMostDevices) + " devices");
    }
    scenario.devices.resize(std::min(count, scenario.devices.size()));
    while (scenario.devices.size() < count) {
        scenario.devices.push_back(fillerDevice(scenario.devices.size()));
    }
    for (const auto& fault : j["faults"].elements()) {
        scenario.faults.push_back(parseFault(fault));
    }
    return scenario;
}

}  // namespace

std::string chipSerial(const std::string& serial) {
    return serial.empty() ? serial : serial.substr(0, serial.size() - 1);
}

bool commandMatches(const std::string& key, const std::string& line) {
    if (key == line) {
        return true;
    }
    return !key.empty() && key.back() == '*' && line.compare(0, key.size() - 1, key, 0, key.size() - 1) == 0;
}

namespace {

// Keys and names that a message quotes come from the file: its control characters are
// shown as \xNN, so that the message stays one line.
std::string withControlsEscaped(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            shown += {'\\', 'x', hex[byte >> 4], hex[byte & 15]};
        } else {
            shown += c;
        }
    }
    return shown;
}

Scenario parseDocument(const std::string& jsonText, const std::string& baseDir) {
    Document document;
    try {
        document = Document::parse(jsonText, nullptr, true, true);  // comments allowed
    } catch (const nlohmann::json::parse_error& error) {
        throw std::runtime_error(syntaxError(jsonText, error));
    } catch (const nlohmann::json::out_of_range& error) {
        // A number beyond a double's range: the library names it but gives no position.
        const std::string reason = error.what();
        throw std::runtime_error(reason.substr(reason.find(']') + 2));
    }
    std::set<const Document*> readValues;
    Scenario scenario = parseRoot(JsonView(document, readValues), baseDir);
    rejectUnread(document, "", readValues);
    return scenario;
}

}  // namespace

Scenario parseScenario(const std::string& jsonText, const std::string& baseDir) {
    try {
        return parseDocument(jsonText, baseDir);
    } catch (const std::runtime_error& refusal) {
        throw std::runtime_error(withControlsEscaped(refusal.what()));
    }
}

}  // namespace cardbench
