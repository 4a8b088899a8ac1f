// Reading a D2XX recording (recorder/README.md: format "nexir-d2xx-recording", version 1)
// into a scenario that replays it (replay.h): the recorded device list, a card for each
// chip the program opened, carrying that card's commands, the bytes read from it and its
// FIFO writes, its failed calls and its unplug, the chip's EEPROM, and, as faults, every
// opening and set-up status that the bench would not give by itself. Every line is checked, and a recording that cannot
// be trusted is refused with the line and the reason, never guessed at.
#pragma once

#include <cstddef>
#include <string>

#include "scenario.h"

namespace cardbench {

// Why a recording is refused, and on which line (counted from 1).
struct RecordingRefusal {
    std::size_t line;
    std::string reason;
};

// Whether `text`, read from `source` (a file's path, or a name for text), is a recording
// rather than a scenario: a file named *.jsonl, or text whose first line is a JSON object
// with a "format".
bool isRecording(const std::string& source, const std::string& text);

// Throws RecordingRefusal.
Scenario scenarioFromRecording(const std::string& text);

}  // namespace cardbench
