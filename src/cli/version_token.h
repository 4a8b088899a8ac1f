#pragma once

#include <string>

// The version a card reports is the last blank-separated word of its answer, without
// the answer's final line feed ("TIMEOUT" stays "TIMEOUT").
std::string versionToken(const std::string& answer);
