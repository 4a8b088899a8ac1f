// What the end-to-end tests take from the bench on trust and cannot show themselves:
// it refuses a damaged upload image, and it flags handles that are invalid or used
// after their close.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "../reference.h"
#include "cardbench.h"
#include "d2xx_exports.h"

namespace {

class Bench : public ::testing::Test {
protected:
    void TearDown() override { cardbench_reset(); }

    // One card: channel A (FIFO) is device 0, channel B (UART) device 1.
    void load(const std::string& cardExtra, const std::string& topExtra = "") {
        const std::string json = R"({"devices": [
            {"description": "KRO_NX|2.1 A", "serial": "NX0001A", "card": "c", "channel": "fifo"},
            {"description": "KRO_NX|2.1 B", "serial": "NX0001B", "card": "c", "channel": "uart"}],
          "cards": {"c": {"slot": 2, "latency_ms": 1)" + (cardExtra.empty() ? "" : ", " + cardExtra) + "}}" +
                                 topExtra + "}";
        ASSERT_EQ(cardbench_load_scenario(json.c_str(), ""), 0) << json;
        ASSERT_EQ(FT_Open(1, &uart), FT_OK);
        ASSERT_EQ(FT_Open(0, &fifo), FT_OK);
    }

    // Sends `command` and collects what comes until it holds `until` or FAIL, for at most 3 s.
    std::string exchange(std::string command, const std::string& until) {
        DWORD count = 0;
        EXPECT_TRUE(command.empty() || FT_Write(uart, command.data(), DWORD(command.size()), &count) == FT_OK);
        std::string lines;
        for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
             std::chrono::steady_clock::now() < deadline && lines.find(until) == std::string::npos &&
             lines.find("FAIL\n") == std::string::npos;) {
            DWORD waiting = 0, tx = 0, events = 0;
            FT_GetStatus(uart, &waiting, &tx, &events);
            std::string chunk(waiting, '\0');
            if (waiting > 0) FT_Read(uart, chunk.data(), waiting, &count), lines += chunk;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return lines;
    }

    FT_HANDLE uart = nullptr;
    FT_HANDLE fifo = nullptr;
};

}  // namespace

// A bad CRC, a bad length or the wrong type: FAIL right after the upload; the sound
// image runs to DONE.
TEST_F(Bench, UpgradeRefusesADamagedImage) {
    const std::string sound = reference::uploadImage(reference::patternBytes(100), "SW");
    std::string badCrc = sound, badLength = sound;
    badCrc[40] ^= 1;
    badLength[12] += 4;
    for (const auto& [image, accepted] :
         {std::pair{sound, true}, std::pair{badCrc, false}, std::pair{badLength, false},
          std::pair{reference::uploadImage("abcd", "FPGA"), false}}) {
        load(R"("upgrade": {"event_interval_ms": 15, "stage_ms": [30, 30, 30]})");
        exchange("SET EVT_ENA FW_UPGRADE_STATUS ON\n", "RSET");
        exchange("SET FW_UPGRADE SW " + std::to_string(image.size()) + " STD\n", "RSET");
        std::string copy = image;
        DWORD written = 0;
        ASSERT_EQ(FT_Write(fifo, copy.data(), DWORD(copy.size()), &written), FT_OK);
        const std::string lines = exchange("", "DONE\n");
        EXPECT_NE(lines.find("EVT FW_UPGRADE_STATUS 1 100\n"), std::string::npos) << lines;
        EXPECT_EQ(lines.find("EVT FW_UPGRADE_STATUS 2 0\n") != std::string::npos, accepted) << lines;
        EXPECT_EQ(lines.substr(lines.size() - 5), accepted ? "DONE\n" : "FAIL\n");
        cardbench_reset();
    }
}

TEST_F(Bench, NullStaleAndInventedHandlesAreInvalid) {
    load("");
    ASSERT_EQ(FT_Close(uart), FT_OK);
    int invented = 0;
    char buffer[4] = {};
    DWORD count = 0;
    for (FT_HANDLE bad : {FT_HANDLE(nullptr), uart, FT_HANDLE(&invented)}) {
        EXPECT_EQ(FT_Write(bad, buffer, 4, &count), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_GetStatus(bad, &count, &count, &count), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_Close(bad), FT_INVALID_HANDLE);
    }
    EXPECT_EQ(cardbench_double_close_count(1), 1);
    std::string log(cardbench_call_log(nullptr, 0) + 1, '\0');
    cardbench_call_log(log.data(), log.size());
    EXPECT_NE(log.find(R"("stale":true)"), std::string::npos) << log;
    EXPECT_EQ(invented, 0);
}
