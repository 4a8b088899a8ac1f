#include "scenario.h"

#include <filesystem>
#include <stdexcept>

#include "scenario_json.h"

// Each parser below reads the keys of one kind of object; a key that none of them reads
// is rejected as unknown once the whole document has been read (see scenario_json.h).
namespace cardbench {
namespace {

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

std::vector<ExtraLine> parseExtraLines(const JsonView& lines) {
    std::vector<ExtraLine> parsed;
    for (const auto& line : lines.elements()) {
        parsed.push_back({line["stage"].as<int>(), line["data"].as<std::string>(), line.valueOr("at_ms", -1)});
    }
    return parsed;
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
    config.extraLines = parseExtraLines(j["extra_lines"]);
    config.intakeTimeoutMs = j.valueOr("intake_timeout_ms", config.intakeTimeoutMs);
    if (config.eventIntervalMs <= 0) {
        j["event_interval_ms"].fail("must be positive");
    }
    return config;
}

EepromConfig parseEeprom(const JsonView& j) {
    EepromConfig config;
    config.fifoFlag = j.valueOr<std::uint8_t>("fifo_flag", config.fifoFlag);
    config.readStatus = j.valueOr<FT_STATUS>("read_status", FT_OK);
    config.modeAfterReplug = j.valueOr("mode_after_replug", false);
    return config;
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
    card.eeprom = parseEeprom(j["eeprom"]);
    card.upgrade = parseUpgrade(j["upgrade"]);
    return card;
}

Channel parseChannel(const JsonView& channel) {
    const std::string name = channel.valueOr<std::string>("channel", "");
    if (name == "fifo") {
        return Channel::Fifo;
    }
    if (name == "uart") {
        return Channel::Uart;
    }
    channel["channel"].fail("unknown channel '" + name + "' (expected fifo or uart)");
}

DeviceConfig parseDevice(const JsonView& j, const std::map<std::string, CardConfig>& cards) {
    DeviceConfig device;
    device.description = j.valueOr<std::string>("description", "");
    device.serial = j.valueOr<std::string>("serial", "");
    device.card = j.valueOr<std::string>("card", "");
    if (!device.card.empty()) {
        if (cards.count(device.card) == 0) {
            j["card"].fail("unknown card '" + device.card + "'");
        }
        device.channel = parseChannel(j);
        device.type = kTypeFt2232H;
    }
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
            for (auto n = plain.as<std::size_t>(); n > 0; --n) {
                scenario.devices.push_back(fillerDevice(scenario.devices.size()));
            }
        } else {
            scenario.devices.push_back(parseDevice(device, scenario.cards));
        }
    }
    checkChannelsUnique(scenario.devices);
    const std::size_t count = j.valueOr("device_count", scenario.devices.size());
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

Scenario parseScenario(const std::string& jsonText, const std::string& baseDir) {
    const ScenarioDocument document = parseScenarioDocument(jsonText);
    std::set<const ScenarioDocument*> readValues;
    Scenario scenario = parseRoot(JsonView(document, readValues), baseDir);
    rejectUnreadKeys(document, readValues);
    return scenario;
}

}  // namespace cardbench
