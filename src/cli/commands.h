// The bodies of the three subcommands. Each yields 0 on success and -1 on failure.
#pragma once

#include <cstdint>
#include <string>

namespace nexir {

std::int32_t statusCommand(std::uint32_t baudRate);
std::int32_t bootCommand(std::uint32_t baudRate, const std::string& image, bool now);
std::int32_t updateCommand(std::uint32_t baudRate, const std::string& slot, const std::string& type,
                           const std::string& which, const std::string& file, bool skipVerify, bool reconfigure);

// Printed by every command whose discovery found no card.
void reportNoReadyCards();

// The version a card reports is the last blank-separated word of its answer, without
// the answer's final line feed ("TIMEOUT" stays "TIMEOUT").
std::string versionToken(const std::string& answer);

}  // namespace nexir
