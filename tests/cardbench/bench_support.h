// Helpers shared by the bench's own tests: they drive the bench through the same D2XX
// entry points the program uses, plus its query interface.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cardbench.h"
#include "d2xx_exports.h"

namespace benchtest {

using Clock = std::chrono::steady_clock;

class BenchTest : public ::testing::Test {
protected:
    void TearDown() override { cardbench_reset(); }

    void load(const std::string& json, const std::string& baseDir = "");
    FT_HANDLE open(int index);
    std::vector<nlohmann::json> logLines();
    std::vector<nlohmann::json> logLinesOf(const std::string& function);
};

// One card "c": channel A (FIFO) is device 0, channel B (UART) device 1. `cardExtra`
// is spliced into the card object, `topExtra` into the scenario object.
std::string oneCardScenario(const std::string& cardExtra = "", const std::string& topExtra = "");

void send(FT_HANDLE uart, const std::string& text);
// Everything that has arrived by now.
std::string drain(FT_HANDLE uart);
// Polls like the program does until a received line satisfies `stop` or time runs out;
// returns every line received, in order.
std::vector<std::string> collectLines(FT_HANDLE uart, const std::function<bool(const std::string&)>& stop,
                                      std::chrono::milliseconds limit);

// An upload image as the program builds it: header (tag, payload length, CRC-32), payload.
std::vector<std::uint8_t> uploadImage(const std::string& type, std::size_t payloadBytes);
std::uint32_t referenceCrc32(const std::uint8_t* data, std::size_t length);

}  // namespace benchtest
