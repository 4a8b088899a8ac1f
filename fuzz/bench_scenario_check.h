// Shared by the fuzz targets of the bench's two readers: what every scenario they accept
// must be, and the bench brought to life from it.
#pragma once

#include <string>

#include "fuzz_support.h"
#include "model/device_table.h"
#include "model/scenario.h"

namespace fuzz {

// A scenario that was accepted is one the bench can run: a bounded device list whose card
// channels name cards that exist, from which a device table lists every device.
inline void checkScenarioRuns(const cardbench::Scenario& scenario, const std::string& input) {
    check(scenario.devices.size() <= cardbench::kMostDevices, "the device list stays bounded", input);
    for (const auto& device : scenario.devices) {
        check(device.card.empty() || scenario.cards.count(device.card) == 1, "a card channel names a card", input);
    }
    cardbench::DeviceTable table(scenario, "");
    check(table.makeList() == int(scenario.devices.size()), "every device is listed", input);
}

// A refusal is one line with a reason.
inline void checkRefusal(const std::string& reason, const std::string& input) {
    check(!reason.empty() && reason.find('\n') == std::string::npos, "a refusal is one line with a reason",
          reason + "\n" + input);
}

}  // namespace fuzz
