// The configuration EEPROM of one FTDI chip, as FT_EE_Read and FT_EE_Program see it.
// Both channels of a card share their chip's EEPROM. Like the vendor library on Linux,
// a read fills only the blocks that belong to the chip's family (for an FT2232H bytes
// 12..125 and the four strings) and stores that block version in Version.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "link/ftd2xx_abi.h"
#include "scenario.h"

namespace cardbench {

struct EepromResult {
    FT_STATUS status = FT_OK;
    std::uint8_t fifoFlag = 0;
    bool othersUnchanged = false;  // for a program: every field but IFAIsFifo7 as last read
};

class Eeprom {
public:
    Eeprom(const EepromConfig& config, ULONG deviceType, std::string description, std::string serial);

    EepromResult read(FT_PROGRAM_DATA& data);
    EepromResult program(const FT_PROGRAM_DATA& data);
    // Whether interface A works as a FIFO now: with mode_after_replug, as the flag was
    // when the chip enumerated (the scenario's load), else as it is.
    bool fifoModeActive() const;

    static bool signaturesValid(const FT_PROGRAM_DATA& data);

private:
    struct Strings {
        std::string manufacturer, manufacturerId, description, serial;
        bool operator==(const Strings& other) const;
    };

    void fillFields(FT_PROGRAM_DATA& data) const;
    std::size_t blockEnd() const;
    std::vector<std::uint8_t> comparableBytes(const FT_PROGRAM_DATA& data) const;
    static Strings stringsOf(const FT_PROGRAM_DATA& data);

    EepromConfig config_;
    ULONG deviceType_;
    Strings strings_;
    mutable std::mutex mutex_;
    std::uint8_t fifoFlag_;
    std::optional<std::vector<std::uint8_t>> lastReadBytes_;
    std::optional<Strings> lastReadStrings_;
};

}  // namespace cardbench
