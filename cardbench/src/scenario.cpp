#include "scenario.h"

#include <filesystem>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace cardbench {
namespace {

using nlohmann::json;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("scenario: " + what);
}

template <typename T>
T valueOr(const json& object, const char* key, T fallback) {
    auto it = object.find(key);
    return it == object.end() || it->is_null() ? fallback : it->get<T>();
}

std::string resolvePath(const std::string& path, const std::string& baseDir) {
    if (path.empty() || std::filesystem::path(path).is_absolute() || baseDir.empty()) {
        return path;
    }
    return (std::filesystem::path(baseDir) / path).string();
}

AnswerChunk parseChunk(const json& chunk) {
    if (chunk.is_string()) {
        return {chunk.get<std::string>(), 0};
    }
    return {chunk.at("data").get<std::string>(), valueOr(chunk, "delay_ms", 0)};
}

ScriptedAnswer parseAnswer(const json& answer) {
    ScriptedAnswer scripted;
    if (answer.is_array()) {
        for (const auto& chunk : answer) {
            scripted.chunks.push_back(parseChunk(chunk));
        }
    } else if (!answer.is_null()) {
        scripted.chunks.push_back(parseChunk(answer));
    }
    return scripted;
}

std::vector<ExtraLine> parseExtraLines(const json& lines) {
    std::vector<ExtraLine> parsed;
    for (const auto& line : lines) {
        parsed.push_back({line.at("stage").get<int>(), line.at("data").get<std::string>(),
                          valueOr(line, "at_ms", -1)});
    }
    return parsed;
}

UpgradeConfig parseUpgrade(const json& j) {
    UpgradeConfig config;
    config.rateBytesPerS = valueOr(j, "rate_bytes_per_s", config.rateBytesPerS);
    config.eventIntervalMs = valueOr(j, "event_interval_ms", config.eventIntervalMs);
    config.stageMs = valueOr(j, "stage_ms", config.stageMs);
    config.stageMs.resize(3, 0);
    config.failAtStage = valueOr(j, "fail_at_stage", 0);
    config.silentDuringTransfer = valueOr(j, "silent_during_transfer", false);
    config.silentAfterTransfer = valueOr(j, "silent_after_transfer", false);
    if (j.contains("stop_taking_after") && !j.at("stop_taking_after").is_null()) {
        config.stopTakingAfter = j.at("stop_taking_after").get<std::uint64_t>();
    }
    config.writeStatus = valueOr<FT_STATUS>(j, "write_status", FT_OK);
    config.shortWrite = valueOr<std::uint32_t>(j, "short_write", 0);
    config.doneDuringTransfer = valueOr(j, "done_during_transfer", false);
    config.doneAfterUploadMs = valueOr(j, "done_after_upload_ms", config.doneAfterUploadMs);
    config.maxWriteBytes = valueOr<std::uint32_t>(j, "max_write_bytes", 0);
    config.zeroWrites = valueOr<std::uint32_t>(j, "zero_writes", 0);
    config.extraLines = parseExtraLines(valueOr(j, "extra_lines", json::array()));
    config.intakeTimeoutMs = valueOr(j, "intake_timeout_ms", config.intakeTimeoutMs);
    if (config.eventIntervalMs <= 0) {
        fail("event_interval_ms must be positive");
    }
    return config;
}

EepromConfig parseEeprom(const json& j) {
    EepromConfig config;
    config.fifoFlag = valueOr<std::uint8_t>(j, "fifo_flag", config.fifoFlag);
    config.readStatus = valueOr<FT_STATUS>(j, "read_status", FT_OK);
    config.programStatus = valueOr<FT_STATUS>(j, "program_status", FT_OK);
    config.modeAfterReplug = valueOr(j, "mode_after_replug", false);
    return config;
}

std::string slotText(const json& slot) {
    return slot.is_string() ? slot.get<std::string>() : slot.dump();
}

CardConfig parseCard(const std::string& name, const json& j) {
    CardConfig card;
    card.name = name;
    if (j.contains("slot")) {
        card.slot = slotText(j.at("slot"));
    }
    card.fpgaVersion = valueOr(j, "fpga_version", card.fpgaVersion);
    card.swVersion = valueOr(j, "sw_version", card.swVersion);
    card.latencyMs = valueOr(j, "latency_ms", card.latencyMs);
    card.silent = valueOr(j, "silent", false);
    const json answers = valueOr(j, "answers", json::object());
    for (const auto& [command, answer] : answers.items()) {
        card.answers[command] = parseAnswer(answer);
    }
    if (j.contains("subscription_answer")) {
        card.subscriptionAnswer = j.at("subscription_answer").get<std::string>();
    }
    for (const auto& line : valueOr(j, "unsolicited", json::array())) {
        card.unsolicited.push_back({line.at("data").get<std::string>(), valueOr(line, "at_ms", 0)});
    }
    card.eeprom = parseEeprom(valueOr(j, "eeprom", json::object()));
    card.upgrade = parseUpgrade(valueOr(j, "upgrade", json::object()));
    return card;
}

Channel parseChannel(const std::string& name) {
    if (name == "fifo") {
        return Channel::Fifo;
    }
    if (name == "uart") {
        return Channel::Uart;
    }
    fail("unknown channel '" + name + "' (expected fifo or uart)");
}

DeviceConfig parseDevice(const json& j, const std::map<std::string, CardConfig>& cards) {
    DeviceConfig device;
    device.description = valueOr<std::string>(j, "description", "");
    device.serial = valueOr<std::string>(j, "serial", "");
    device.card = valueOr<std::string>(j, "card", "");
    if (!device.card.empty()) {
        if (cards.count(device.card) == 0) {
            fail("device '" + device.serial + "' names unknown card '" + device.card + "'");
        }
        device.channel = parseChannel(valueOr<std::string>(j, "channel", ""));
        device.type = kTypeFt2232H;
        device.id = 0x04036010;
    }
    device.type = valueOr(j, "type", device.type);
    device.id = valueOr(j, "id", device.id);
    return device;
}

DeviceConfig fillerDevice(std::size_t index) {
    DeviceConfig device;
    device.description = "FT232R USB UART";
    device.serial = "FTX" + std::to_string(index);
    return device;
}

FaultConfig parseFault(const json& j) {
    FaultConfig fault;
    fault.function = j.at("function").get<std::string>();
    if (j.contains("device") && !j.at("device").is_null()) {
        fault.device = j.at("device").get<int>();
    }
    fault.status = valueOr<FT_STATUS>(j, "status", FT_IO_ERROR);
    const json times = valueOr(j, "times", json("always"));
    if (times.is_number()) {
        fault.times = times.get<long>();
    } else if (times == "once") {
        fault.times = 1;
    } else if (times != "always") {
        fail("fault times must be \"once\", \"always\" or a number");
    }
    fault.skip = valueOr(j, "skip", 0L);
    fault.perform = valueOr(j, "perform", false);
    return fault;
}

void checkChannelsUnique(const std::vector<DeviceConfig>& devices) {
    std::map<std::pair<std::string, Channel>, int> seen;
    for (const auto& device : devices) {
        if (!device.card.empty() && ++seen[{device.card, device.channel}] > 1) {
            fail("card '" + device.card + "' has two devices for the same channel");
        }
    }
}

Scenario parseJson(const json& j, const std::string& baseDir) {
    Scenario scenario;
    scenario.callLogPath = resolvePath(valueOr<std::string>(j, "call_log", ""), baseDir);
    scenario.fifoDumpDir = resolvePath(valueOr<std::string>(j, "fifo_dump_dir", ""), baseDir);
    const json cards = valueOr(j, "cards", json::object());
    for (const auto& [name, card] : cards.items()) {
        scenario.cards[name] = parseCard(name, card);
    }
    for (const auto& device : valueOr(j, "devices", json::array())) {
        if (device.contains("plain_devices")) {
            // A run of ordinary FTDI devices, for long lists.
            for (auto n = device.at("plain_devices").get<std::size_t>(); n > 0; --n) {
                scenario.devices.push_back(fillerDevice(scenario.devices.size()));
            }
        } else {
            scenario.devices.push_back(parseDevice(device, scenario.cards));
        }
    }
    checkChannelsUnique(scenario.devices);
    const std::size_t count = valueOr(j, "device_count", scenario.devices.size());
    scenario.devices.resize(std::min(count, scenario.devices.size()));
    while (scenario.devices.size() < count) {
        scenario.devices.push_back(fillerDevice(scenario.devices.size()));
    }
    for (const auto& fault : valueOr(j, "faults", json::array())) {
        scenario.faults.push_back(parseFault(fault));
    }
    return scenario;
}

}  // namespace

Scenario parseScenario(const std::string& jsonText, const std::string& baseDir) {
    try {
        return parseJson(json::parse(jsonText, nullptr, true, true), baseDir);
    } catch (const json::exception& error) {
        fail(error.what());
    }
}

}  // namespace cardbench
