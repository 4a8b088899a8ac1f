// The scenarios shipped with the bench load and show what their names promise.
#include <filesystem>

#include "bench_support.h"

namespace benchtest {
namespace {

class BundledScenarios : public BenchTest {
protected:
    DWORD loadFile(const std::string& name) {
        const std::string path = std::string(CARDBENCH_SCENARIO_DIR) + "/" + name;
        EXPECT_EQ(cardbench_load_scenario_file(path.c_str()), 0) << path;
        DWORD count = 0;
        EXPECT_EQ(FT_CreateDeviceInfoList(&count), FT_OK);
        return count;
    }
};

TEST_F(BundledScenarios, EveryFileLoadsWithTheDevicesItsNameSays) {
    const std::pair<const char*, DWORD> expected[] = {
        {"rack.json", 5},           {"four_cards.json", 8},     {"no_devices.json", 0},
        {"devices_254.json", 254},  {"devices_255.json", 255},  {"channel_b_first.json", 2},
        {"lone_channel_a.json", 1}, {"silent_card.json", 2},    {"error_answer.json", 2},
        {"invalid_slot.json", 2},   {"eeprom_read_fails.json", 2}, {"uart_open_fails.json", 2},
        {"eeprom_flag_clear.json", 2},
    };
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(CARDBENCH_SCENARIO_DIR)) {
        files += entry.path().extension() == ".json";
    }
    EXPECT_EQ(files, std::size(expected)) << "a bundled scenario is not checked here";
    for (const auto& [name, devices] : expected) {
        EXPECT_EQ(loadFile(name), devices) << name;
    }
}

TEST_F(BundledScenarios, RackCardsReportTheirSlots) {
    loadFile("rack.json");
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(5);
    DWORD count = 0;
    ASSERT_EQ(FT_GetDeviceInfoList(nodes.data(), &count), FT_OK);
    EXPECT_STREQ(nodes[3].Description, "KRO_NX|2.1 A");
    const std::pair<int, std::string> uarts[] = {{1, "RGET HW_SLOT_ID 0\n"}, {4, "RGET HW_SLOT_ID 2\n"}};
    for (const auto& [device, answer] : uarts) {
        FT_HANDLE uart = open(device);
        send(uart, "GET HW_SLOT_ID\n");
        const auto lines = collectLines(uart, [](const std::string&) { return true; }, std::chrono::seconds(1));
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], answer);
    }
}

}  // namespace
}  // namespace benchtest
