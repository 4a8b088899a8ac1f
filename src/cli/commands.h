// The bodies of the three subcommands. Each yields 0 on success and -1 on failure.
#pragma once

#include <cstdint>
#include <string>

#include "link/card_discovery.h"
#include "platform/machine_lock.h"

namespace nexir {

std::int32_t statusCommand(std::uint32_t baudRate);
std::int32_t bootCommand(std::uint32_t baudRate, const std::string& image, bool now);
std::int32_t updateCommand(std::uint32_t baudRate, const std::string& slot, const std::string& type,
                           const std::string& which, const std::string& file, bool skipVerify, bool reconfigure);

// How every command starts: takes `lock`, under which one nexir-updater of the machine
// at a time looks for cards (waiting up to 30 s for another one), and finds the ready
// cards. When there are none, it has said why, and the command ends.
CardList findReadyCards(std::uint32_t baudRate, MachineLock& lock);

// The version a card reports is the last blank-separated word of its answer, without
// the answer's final line feed ("TIMEOUT" stays "TIMEOUT").
std::string versionToken(const std::string& answer);

}  // namespace nexir
