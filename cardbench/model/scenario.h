// What a bench scenario describes: the FTDI devices the host sees, the cards behind
// them, and the faults to inject. Everything here is plain data, read once from JSON by
// parseScenario, which refuses rather than guesses: a misspelled key, a value of the
// wrong type and a syntax error are reported with the key's path or the position.
#pragma once

#include <chrono>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/ftd2xx_abi.h"

namespace cardbench {

using Clock = std::chrono::steady_clock;

// Replay (replay.h): what a recorded card and its chip did, carried by the scenario that
// a recording is read into.
struct RecordedCard;
struct RecordedEeprom;

struct AnswerChunk {
    std::string data;
    int delayMs = 0;  // after the previous chunk (the first: after the card's latency)
};

// A scripted answer to one command line. No chunks means the card stays quiet.
struct ScriptedAnswer {
    std::vector<AnswerChunk> chunks;
};

struct ExtraLine {
    int stage = 1;
    std::string data;
    int atMs = -1;  // offset into the stage; -1: between the stage's first and second event
};

struct UpgradeConfig {
    double rateBytesPerS = 0;  // 0: the FIFO takes any amount at once
    int eventIntervalMs = 250;
    std::vector<int> stageMs{1000, 1500, 1000};  // stages 2, 3 and 4
    int failAtStage = 0;
    bool silentDuringTransfer = false;
    bool silentAfterTransfer = false;
    std::optional<std::uint64_t> stopTakingAfter;
    std::uint32_t shortWrite = 0;
    int doneAfterUploadMs = -1;       // >= 0: DONE this long after the last byte, no stages
    std::uint32_t maxWriteBytes = 0;  // 0: a FIFO write takes any amount
    std::uint32_t zeroWrites = 0;     // the first N FIFO writes take nothing and return at once
    std::vector<ExtraLine> extraLines;
    int intakeTimeoutMs = 3000;  // an upload that stalls this long fails
};

struct EepromConfig {
    std::uint8_t fifoFlag = 1;
    FT_STATUS readStatus = FT_OK;
    bool modeAfterReplug = false;                    // the FIFO flag takes effect only when the chip re-enumerates
    std::shared_ptr<const RecordedEeprom> recorded;  // replay: the contents FT_EE_Read gave, flag included
};

// The moment a card goes away, as if unplugged: exactly one of the four is set.
struct UnplugConfig {
    std::optional<std::uint64_t> afterFifoBytes;  // once its FIFO has taken this many bytes
    std::optional<int> afterTransferMs;           // this long after the last byte of the announced image
    std::optional<std::string> atCommand;         // as it takes a command line it matches (commandMatches),
                                                  // which gets no answer
    bool asRecorded = false;                      // replay: when the recorded card went (replay.h)
};

struct CardConfig {
    std::shared_ptr<const RecordedCard> replay;  // replay: the recorded card, which answers instead of the keys below
    std::string slot = "0";
    std::string fpgaVersion = "1.0.0";
    std::string swVersion = "1.0.0";
    int latencyMs = 2;
    bool silent = false;
    std::map<std::string, ScriptedAnswer> answers;  // keys ending in '*' match by prefix
    std::optional<std::string> subscriptionAnswer;
    EepromConfig eeprom;
    UpgradeConfig upgrade;
    std::optional<UnplugConfig> unplug;  // none: the card stays
};

enum class Channel { None, Fifo, Uart };

constexpr ULONG kTypeFt232R = 5;
constexpr ULONG kTypeFt2232H = 6;

// Replay: a device-list node's fields as the recording has them.
struct RecordedNode {
    ULONG flags = 0;  // FT_FLAGS_OPENED only when another program held the device
    ULONG id = 0;
    DWORD locId = 0;
};

// The serial number of the chip behind a channel: the two channels of a chip carry the
// chip's serial number with the channel letter appended.
std::string chipSerial(const std::string& serial);

struct DeviceConfig {
    std::string description;
    std::string serial;
    std::string card;  // empty: not a card channel
    Channel channel = Channel::None;
    ULONG type = kTypeFt232R;  // a card's channels are FT2232H
    std::optional<RecordedNode> recordedNode;
};

constexpr long kAlways = std::numeric_limits<long>::max();
// The longest device list a scenario or a recording may make: far beyond the 254 devices
// the program takes, and small enough that no file can make the bench grow without bound.
constexpr std::size_t kMostDevices = 1024;

struct FaultConfig {
    std::string function;
    std::optional<int> device;  // none: any device
    FT_STATUS status = FT_IO_ERROR;
    long times = kAlways;
    long skip = 0;
    bool perform = false;  // run the call anyway and only replace its status
};

struct Scenario {
    std::string callLogPath;            // empty: no log file
    std::string fifoDumpDir;            // empty: no dumps
    std::vector<DeviceConfig> devices;  // the whole list, filler devices included
    std::map<std::string, CardConfig> cards;
    std::vector<FaultConfig> faults;
    std::vector<std::string> replayNotes;  // replay: what of the recording cannot be played, one line each
};

// Whether a command line (without its line feed) is the one a scenario key names: the
// same text, or, for a key ending in '*', any line that begins with the key's text
// before it. Answers and an unplug's command are matched alike.
bool commandMatches(const std::string& key, const std::string& line);

// Throws std::runtime_error naming what is wrong and where. Relative paths are resolved
// against baseDir.
Scenario parseScenario(const std::string& jsonText, const std::string& baseDir);

}  // namespace cardbench
