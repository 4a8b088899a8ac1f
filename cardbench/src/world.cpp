#include "world.h"

namespace cardbench {
namespace {

// The two channels of a chip carry the chip's strings with a channel suffix: the
// description ends in " A" or " B", the serial number in the channel letter.
std::string chipDescription(const std::string& description) {
    const std::size_t n = description.size();
    if (n >= 2 && description[n - 2] == ' ' && (description[n - 1] == 'A' || description[n - 1] == 'B')) {
        return description.substr(0, n - 2);
    }
    return description;
}

std::string chipSerial(const std::string& serial) {
    return serial.empty() ? serial : serial.substr(0, serial.size() - 1);
}

std::map<std::string, std::shared_ptr<Card>> makeCards(const Scenario& scenario) {
    std::map<std::string, std::shared_ptr<Card>> cards;
    for (const auto& [name, config] : scenario.cards) {
        cards[name] = std::make_shared<Card>(config);
    }
    return cards;
}

std::vector<Device> makeDevices(const Scenario& scenario, const std::map<std::string, std::shared_ptr<Card>>& cards) {
    std::map<std::string, std::shared_ptr<Eeprom>> chips;
    std::vector<Device> devices;
    for (const auto& config : scenario.devices) {
        Device device{config, nullptr, nullptr};
        if (config.card.empty()) {
            device.eeprom =
                std::make_shared<Eeprom>(EepromConfig{0, FT_OK, false}, config.type, config.description, config.serial);
        } else {
            device.card = cards.at(config.card);
            auto& chip = chips[config.card];
            if (!chip) {
                chip = std::make_shared<Eeprom>(scenario.cards.at(config.card).eeprom, config.type,
                                                chipDescription(config.description), chipSerial(config.serial));
            }
            device.eeprom = chip;
        }
        devices.push_back(std::move(device));
    }
    return devices;
}

}  // namespace

World::World(const Scenario& scenario)
    : cards_(makeCards(scenario)),
      devices_(makeDevices(scenario, cards_)),
      faults_(scenario.faults),
      fifoDumpDir_(scenario.fifoDumpDir) {
    if (!scenario.callLogPath.empty() && !log_.openFile(scenario.callLogPath)) {
        setupProblem_ = "cannot write the call log " + scenario.callLogPath;
    }
}

}  // namespace cardbench
