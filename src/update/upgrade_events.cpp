#include "update/upgrade_events.h"

#include <sstream>
#include <stdexcept>

namespace nexir {

std::string upgradeRequest(const std::string& updateType, std::uint64_t imageSize, const std::string& imageChoice,
                           bool skipVerify, bool reconfigure) {
    std::string request = "SET FW_UPGRADE " + updateType + " " + std::to_string(imageSize) + " " + imageChoice;
    if (skipVerify) request += " SKIP_VERIFY";
    if (reconfigure) request += " RECONFIG";
    return request + "\n";
}

EventLine classifyEventLine(const std::string& line) {
    EventLine event;
    if (line == "TIMEOUT") {
        event.kind = EventKind::Timeout;
        return event;
    }
    std::istringstream stream(line);
    for (std::string word; stream >> word;) event.words.push_back(word);
    if (event.words.size() == 4) {
        event.kind = EventKind::FourWords;
    } else if (line.find("EVT FW_UPGRADE_STATUS FAIL") != std::string::npos) {
        event.kind = EventKind::Fail;
    } else if (line.find("EVT FW_UPGRADE_STATUS DONE") != std::string::npos) {
        event.kind = EventKind::Done;
    }
    return event;
}

bool convertEventNumber(const std::string& word, int& value, std::string& error) {
    try {
        value = std::stoi(word);
        return true;
    } catch (const std::invalid_argument&) {
        error = "Invalid argument: invalid stoi argument";
    } catch (const std::out_of_range&) {
        error = "Out of range: stoi argument out of range";
    }
    return false;
}

StatusEvent parseStatusEvent(const std::vector<std::string>& words) {
    StatusEvent event;
    if (words.size() < 4 || words[1] != "FW_UPGRADE_STATUS") return event;
    event.isStatus = true;
    // The percentage is converted before the stage.
    if (convertEventNumber(words[3], event.percent, event.error)) {
        convertEventNumber(words[2], event.stage, event.error);
    }
    return event;
}

}  // namespace nexir
