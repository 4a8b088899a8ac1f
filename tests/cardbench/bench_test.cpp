// What the end-to-end tests take from the bench on trust and cannot show themselves: it
// refuses a damaged upload image, flags handles that are invalid or used after their
// close, loads every bundled scenario and README example, and refuses a mistaken
// scenario with the file, the key's path and, for bad syntax, the line and column.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "../reference.h"
#include "cardbench.h"
#include "d2xx_exports.h"

namespace {

const std::filesystem::path kBench = NEXIR_BENCH_SOURCE_DIR;

std::string lastError() {
    std::string error(cardbench_last_error(nullptr, 0) + 1, '\0');
    cardbench_last_error(error.data(), error.size());
    return error.c_str();
}

class Bench : public ::testing::Test {
protected:
    void TearDown() override { cardbench_reset(); }

    // One card: channel A (FIFO) is device 0, channel B (UART) device 1.
    void load(const std::string& cardExtra, const std::string& topExtra = "") {
        const std::string json = R"({"devices": [
            {"description": "KRO_NX|2.1 A", "serial": "NX0001A", "card": "c", "channel": "fifo"},
            {"description": "KRO_NX|2.1 B", "serial": "NX0001B", "card": "c", "channel": "uart"}],
          "cards": {"c": {"slot": 2, "latency_ms": 1)" +
                                 (cardExtra.empty() ? "" : ", " + cardExtra) + "}}" + topExtra + "}";
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
    for (const auto& [image, accepted] : {std::pair{sound, true}, std::pair{badCrc, false}, std::pair{badLength, false},
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

TEST_F(Bench, BundledScenariosAndReadmeExamplesLoad) {
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kBench / "scenarios")) {
        EXPECT_EQ(cardbench_load_scenario_file(entry.path().string().c_str()), 0) << lastError();
        ++files;
    }
    EXPECT_GE(files, 10);
    std::ostringstream readme;
    readme << std::ifstream(kBench / "README.md").rdbuf();
    static const std::regex example("```jsonc\n([^`]*)```");  // the README's scenario examples
    const std::string text = readme.str();
    int examples = 0;
    for (std::sregex_iterator block(text.begin(), text.end(), example), end; block != end; ++block, ++examples) {
        EXPECT_EQ(cardbench_load_scenario((*block)[1].str().c_str(), ::testing::TempDir().c_str()), 0)
            << lastError() << "\nin\n"
            << (*block)[1];
    }
    EXPECT_GE(examples, 2) << "no ```jsonc block in the README";
}

TEST_F(Bench, MistakenScenariosAreRefusedWithFileKeyPathAndPosition) {
    const std::string card = R"({"devices": [{"description": "KRO_NX|2.1 A", "card": "slot3", "channel": "fifo"}],
        "cards": {"slot3": {"upgrade": {"stage_ms": [1, 2, 3], )";
    const struct {
        std::string text, error;
    } cases[] = {
        {card + R"("fail_at_stag": 3}}}})", "cards.slot3.upgrade.fail_at_stag: unknown key"},
        {card + R"("extra_lines": [{"stage": 2, "data": "x", "at": 1}]}}}})",
         "cards.slot3.upgrade.extra_lines[0].at: unknown key"},
        {R"({"devices": [{"plain_devices": 2, "serial": "X"}]})", "devices[0].serial: unknown key"},
        {card + R"("fail_at_stage": "3"}}}})", R"(cards.slot3.upgrade.fail_at_stage: expected an integer, found "3")"},
        {card + R"("silent_after_transfer": 1}}}})",
         "cards.slot3.upgrade.silent_after_transfer: expected true or false, found 1"},
        {R"({"cards": {"c": {"eeprom": {"fifo_flag": 256}}}})",
         "cards.c.eeprom.fifo_flag: expected an integer from 0 to 255, found 256"},
        {R"({"devices": {}})", "devices: expected an array, found {}"},
        {"{\n  \"cards\": {\n    \"c\": {\"slot\": 1,}\n  }\n}", "line 3, column 21: syntax error"},
    };
    const std::string path = ::testing::TempDir() + "/mistake.json";
    for (const auto& mistake : cases) {
        SCOPED_TRACE(mistake.text);
        std::ofstream(path) << mistake.text;
        EXPECT_EQ(cardbench_load_scenario_file(path.c_str()), -1);
        EXPECT_EQ(lastError().rfind(path + ": " + mistake.error, 0), 0u) << lastError();
    }
}
