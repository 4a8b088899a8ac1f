// What the end-to-end tests take from the bench on trust and cannot show themselves: it
// refuses a damaged upload image, answers for an unplugged card as FTDI's library does,
// flags handles that are invalid or used after their close, loads every bundled scenario
// and README example, and refuses a mistaken scenario with the file, the key's path and,
// for bad syntax, the line and column, and a damaged recording with the file and the line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "../reference.h"
#include "cardbench.h"
#include "d2xx/d2xx_exports.h"

namespace {

const std::filesystem::path kBench = NEXIR_BENCH_SOURCE_DIR;

// The text a buffer function of cardbench.h gives.
std::string text(size_t (*query)(char*, size_t)) {
    std::string buffer(query(nullptr, 0) + 1, '\0');
    query(buffer.data(), buffer.size());
    return buffer.c_str();
}

class Bench : public ::testing::Test {
protected:
    void TearDown() override { cardbench_reset(); }

    // One card: channel A (FIFO) is device 0, channel B (UART) device 1, read with a
    // time-out of 3 s.
    void load(const std::string& upgrade = "{}") {
        const std::string json = R"({"devices": [
            {"description": "KRO_NX|2.1 A", "serial": "NX0001A", "card": "c", "channel": "fifo"},
            {"description": "KRO_NX|2.1 B", "serial": "NX0001B", "card": "c", "channel": "uart"}],
          "cards": {"c": {"latency_ms": 1, "upgrade": )" +
                                 upgrade + "}}}";
        ASSERT_EQ(cardbench_load_scenario(json.c_str(), ""), 0) << json;
        ASSERT_EQ(FT_Open(1, &uart), FT_OK);
        ASSERT_EQ(FT_Open(0, &fifo), FT_OK);
        ASSERT_EQ(FT_SetTimeouts(uart, 3000, 0), FT_OK);
    }

    // Sends `command` and reads until what came ends in `until` or FAIL, or nothing more comes.
    std::string exchange(std::string command, const std::string& until) {
        DWORD count = 0;
        EXPECT_TRUE(command.empty() || FT_Write(uart, command.data(), DWORD(command.size()), &count) == FT_OK);
        std::string lines;
        for (char byte = 0; lines.find(until) == std::string::npos && lines.find("FAIL\n") == std::string::npos &&
                            FT_Read(uart, &byte, 1, &count) == FT_OK && count == 1;) {
            lines += byte;
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
        load(R"({"event_interval_ms": 15, "stage_ms": [30, 30, 30]})");
        exchange("SET EVT_ENA FW_UPGRADE_STATUS ON\n", "OK\n");
        exchange("SET FW_UPGRADE SW " + std::to_string(image.size()) + " STD\n", "OK\n");
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

// A card unplugged as it takes a command (a key ending in * matches as in "answers"): on
// both channels every call answers 4 at once (a read with 0 bytes, what had arrived
// lost), a close 0; its old index is not found, and a new list leaves it out.
TEST_F(Bench, UnpluggedCardAnswersFourAtOnceAndLeavesTheList) {
    load(R"({}, "unplug": {"at_command": "GO*"})");
    std::string lines = "GET HW_SLOT_ID\nGONE\n";
    DWORD count = 0;
    ASSERT_EQ(FT_Write(uart, lines.data(), DWORD(lines.size()), &count), FT_OK);
    EXPECT_EQ(FT_Read(uart, lines.data(), 5, &count), FT_IO_ERROR);
    EXPECT_EQ(count, 0u);
    for (FT_HANDLE handle : {uart, fifo}) {
        EXPECT_EQ(FT_GetStatus(handle, &count, &count, &count), FT_IO_ERROR);
        EXPECT_EQ(FT_Purge(handle, FT_PURGE_RX), FT_IO_ERROR);
        EXPECT_EQ(FT_SetLatencyTimer(handle, 16), FT_IO_ERROR);
        EXPECT_EQ(FT_Close(handle), FT_OK);
    }
    EXPECT_EQ(FT_Open(1, &uart), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(FT_CreateDeviceInfoList(&count), FT_OK);
    EXPECT_EQ(count, 0u);
}

TEST_F(Bench, NullStaleAndInventedHandlesAreInvalid) {
    load();
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
    EXPECT_NE(text(cardbench_call_log).find(R"("stale":true)"), std::string::npos) << text(cardbench_call_log);
    EXPECT_EQ(invented, 0);
}

// Each case is a file and the start of the reason it is refused with ("": it loads); a
// recording's reason starts with ":" and its line.
TEST_F(Bench, ScenariosAndRecordingsLoadOrAreRefusedWithFileAndPlace) {
    std::vector<std::pair<std::string, std::string>> cases;
    for (const auto& entry : std::filesystem::directory_iterator(kBench / "scenarios")) {
        cases.push_back({entry.path().string(), ""});
    }
    EXPECT_GE(cases.size(), 10u);
    auto write = [&cases](const std::string& scenario, const std::string& error) {
        const std::string path = ::testing::TempDir() + "/scenario" + std::to_string(cases.size()) + ".json";
        std::ofstream(path) << scenario;
        cases.push_back({path, error});
    };
    const std::string readme{std::istreambuf_iterator<char>(std::ifstream(kBench / "README.md").rdbuf()), {}};
    static const std::regex example("```jsonc\n([^`]*)```");  // the README's scenario examples
    const std::size_t bundled = cases.size();
    for (std::sregex_iterator block(readme.begin(), readme.end(), example), end; block != end; ++block) {
        write((*block)[1], "");
    }
    EXPECT_GE(cases.size() - bundled, 2u) << "no ```jsonc block in the README";
    const std::string card = R"({"devices": [{"description": "KRO_NX|2.1 A", "card": "slot3", "channel": "fifo"}],
        "cards": {"slot3": {"upgrade": {"stage_ms": [1, 2, 3], )";
    write(card + R"("fail_at_stag": 3}}}})", "cards.slot3.upgrade.fail_at_stag: unknown key");
    write(card + R"("extra_lines": [{"stage": 2, "data": "x", "at": 1}]}}}})",
          "cards.slot3.upgrade.extra_lines[0].at: unknown key");
    write(R"({"devices": [{"plain_devices": 2, "serial": "X"}]})", "devices[0].serial: unknown key");
    write(card + R"("fail_at_stage": "3"}}}})", R"(cards.slot3.upgrade.fail_at_stage: expected an integer, found "3")");
    write(card + R"("silent_after_transfer": 1}}}})",
          "cards.slot3.upgrade.silent_after_transfer: expected true or false, found 1");
    write(R"({"cards": {"c": {"eeprom": {"fifo_flag": 256}}}})",
          "cards.c.eeprom.fifo_flag: expected an integer from 0 to 255, found 256");
    write(R"({"devices": {}})", "devices: expected an array, found {}");
    write(R"({"cards": {"c": {"unplug": {"after_fifo_bytes": 1, "at_command": "GET HW_FW_VER"}}}})",
          "cards.c.unplug: expected exactly one of after_fifo_bytes, after_transfer_ms and at_command");
    write("{\n  \"cards\": {\n    \"c\": {\"slot\": 1,}\n  }\n}", "line 3, column 21: syntax error");
    write(R"({"cards": {"c": {"latency_ms": 1E400}}})", "number overflow parsing '1E400'");
    write(R"({"devices": [{"plain_devices": 1000}, {"plain_devices": 25}]})",
          "devices[1].plain_devices: a run that makes the list longer than the bench's 1024 devices");
    write(R"({"device_count": 1025})", "device_count: more than the bench's 1024 devices");
    write(R"({"cards": {"c": {"sl\not": 1}}})", "cards.c.sl\\x0Aot: unknown key");
    const auto lines = [](std::initializer_list<std::string> texts) {
        std::string text;
        for (const std::string& line : texts) text += line + "\n";
        return text;
    };
    const std::string header = R"({"format": "nexir-d2xx-recording", "version": 1})";
    const std::string list =
        R"({"t": [0, 5], "fn": "FT_GetDeviceInfoList", "status": 0, "nodes": [{"Flags": 2, )"
        R"("Type": 6, "ID": 1, "LocId": 1, "SerialNumber": "NX1A", "Description": "X A", "ftHandle": 0}]})";
    const std::string open = R"({"t": [6, 9], "fn": "FT_Open", "dev": 0, "status": 0, "h": 1})";
    const std::string close = R"({"t": [3000000, 3000001], "fn": "FT_Close", "h": 1, "dev": 0, "status": 0})";
    write(lines({header, list, open, close, R"({"end": 3000002, "calls": 3, "lines": 5})"}), "");
    write(lines({header, list, open}), ":3: no closing line");
    write(lines({header, list}).substr(0, 99), ":2: the line is cut off");
    write(lines({header, "{x"}), ":2: not JSON: column 2");
    write(lines({header, R"({"t": [0, 1e999]})"}), ":2: not JSON: number overflow parsing '1e999'");
    std::string nodes = R"({"t": [0, 5], "fn": "FT_GetDeviceInfoList", "status": 0, "nodes": [0)";
    for (int i = 0; i < 1024; ++i) nodes += ",0";
    write(lines({header, nodes + "]}"}), ":2: nodes: 1025 devices, more than the bench lists (1024)");
    write(lines({R"({"format": "nexir-d2xx-recording", "version": 2})"}), ":1: version 2: this bench reads version 1");
    write(lines({R"({"format": "other"})"}), R"(:1: format "other" is not "nexir-d2xx-recording")");
    write(lines({header, R"({"t": [0, 1], "fn": "FT_Frob", "status": 0})"}), R"(:2: fn: unknown function "FT_Frob")");
    write(lines({header, list, open, R"({"t": [7, 8], "fn": "FT_Close", "h": 1, "dev": 0, "status": "0"})"}),
          ":4: status: expected an integer");
    write(lines({header, list, open, R"({"t": [7, 8], "fn": "FT_Close", "h": 2, "dev": 0, "status": 0})"}),
          ":4: h: handle 2 was never opened");
    write(lines({header, list, open, close, R"({"t": [10, 11], "fn": "FT_Close", "h": 1, "dev": 0, "status": 0})"}),
          ":5: t: times go backwards");
    for (const auto& [path, error] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(cardbench_load_scenario_file(path.c_str()), error.empty() ? 0 : -1);
        const std::string expected = error.empty() ? "" : path + (error[0] == ':' ? error : ": " + error);
        EXPECT_EQ(text(cardbench_last_error).substr(0, error.empty() ? std::string::npos : expected.size()), expected);
    }
}
