// The card's upgrade protocol as text: the request line, and what each line the card
// sends during an upgrade means.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nexir {

std::string upgradeRequest(const std::string& updateType, std::uint64_t imageSize, const std::string& imageChoice,
                           bool skipVerify, bool reconfigure);

enum class EventKind {
    Timeout,    // no line came within the poll limit
    FourWords,  // a status event when its second word is FW_UPGRADE_STATUS
    Fail,       // contains "EVT FW_UPGRADE_STATUS FAIL"
    Done,       // contains "EVT FW_UPGRADE_STATUS DONE"
    Malformed,  // anything else
};

struct EventLine {
    EventKind kind = EventKind::Malformed;
    std::vector<std::string> words;  // split at white space
};

EventLine classifyEventLine(const std::string& line);

// Stage and percentage of a status event (four or more words, the second being
// FW_UPGRADE_STATUS), each number converted by std::stoi.
struct StatusEvent {
    bool isStatus = false;  // false: not a status event at all
    std::string error;      // non-empty: a number did not convert ("Out of range: ..." or
                            // "Invalid argument: ..."); the event is to be dropped
    int stage = 0;
    int percent = 0;
};

StatusEvent parseStatusEvent(const std::vector<std::string>& words);

// std::stoi, its exceptions turned into the error texts the program prints.
// Returns false and sets `error` when the word does not convert.
bool convertEventNumber(const std::string& word, int& value, std::string& error);

}  // namespace nexir
