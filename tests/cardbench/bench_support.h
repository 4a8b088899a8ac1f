// Helpers shared by the bench's own tests: they drive the bench through the same D2XX
// entry points the program uses, plus its query interface.
#pragma once

#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cardbench.h"
#include "d2xx_exports.h"

namespace benchtest {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class BenchTest : public ::testing::Test {
protected:
    void TearDown() override { cardbench_reset(); }

    void load(const std::string& json) {
        if (cardbench_load_scenario(json.c_str(), "") != 0) {
            std::string error(cardbench_last_error(nullptr, 0) + 1, '\0');
            cardbench_last_error(error.data(), error.size());
            FAIL() << "scenario refused: " << error;
        }
    }

    FT_HANDLE open(int index) {
        FT_HANDLE handle = nullptr;
        EXPECT_EQ(FT_Open(index, &handle), FT_OK) << "device " << index;
        return handle;
    }

    // The call log's lines, all of them or those of one function.
    std::vector<nlohmann::json> logLines(const std::string& function = "") {
        std::string text(cardbench_call_log(nullptr, 0) + 1, '\0');
        cardbench_call_log(text.data(), text.size());
        std::vector<nlohmann::json> lines;
        std::istringstream stream(text.c_str());
        for (std::string line; std::getline(stream, line);) {
            auto call = nlohmann::json::parse(line);
            if (function.empty() || call["fn"] == function) lines.push_back(call);
        }
        return lines;
    }
};

// One card "c": channel A (FIFO) is device 0, channel B (UART) device 1. `cardExtra` is
// spliced into the card object, `topExtra` into the scenario.
inline std::string oneCardScenario(const std::string& cardExtra = "", const std::string& topExtra = "") {
    return R"({ "devices": [
        {"description": "KRO_NX|2.1 A", "serial": "NX0001A", "card": "c", "channel": "fifo"},
        {"description": "KRO_NX|2.1 B", "serial": "NX0001B", "card": "c", "channel": "uart"}],
      "cards": {"c": {"slot": 2, "latency_ms": 1)" +
           (cardExtra.empty() ? "" : ", " + cardExtra) + "}}" + (topExtra.empty() ? "" : ", " + topExtra) + "}";
}

inline void send(FT_HANDLE uart, std::string text) {
    DWORD written = 0;
    ASSERT_EQ(FT_Write(uart, text.data(), DWORD(text.size()), &written), FT_OK);
    ASSERT_EQ(written, text.size());
}

// Everything that has arrived by now.
inline std::string drain(FT_HANDLE uart) {
    DWORD waiting = 0, tx = 0, events = 0;
    if (FT_GetStatus(uart, &waiting, &tx, &events) != FT_OK || waiting == 0) return "";
    std::string bytes(waiting, '\0');
    DWORD got = 0;
    EXPECT_EQ(FT_Read(uart, bytes.data(), waiting, &got), FT_OK);
    bytes.resize(got);
    return bytes;
}

// Polls like the program does until a received line satisfies `stop` or time runs out;
// returns every line received, in order.
inline std::vector<std::string> collectLines(FT_HANDLE uart, const std::function<bool(const std::string&)>& stop,
                                             milliseconds limit) {
    std::vector<std::string> lines;
    std::string partial;
    for (const auto deadline = Clock::now() + limit; Clock::now() < deadline;) {
        partial += drain(uart);
        for (auto end = partial.find('\n'); end != std::string::npos; end = partial.find('\n')) {
            lines.push_back(partial.substr(0, end + 1));
            partial.erase(0, end + 1);
            if (stop(lines.back())) return lines;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    return lines;
}

}  // namespace benchtest
