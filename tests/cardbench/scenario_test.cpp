// Scenarios as people write them: every bundled file and every example of the bench's
// README loads, and a mistake is refused with the file, the key's path and, for bad
// syntax, the line and column.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "cardbench.h"

namespace {

class Scenarios : public ::testing::Test {
protected:
    void TearDown() override { cardbench_reset(); }
};

const std::filesystem::path kBench = NEXIR_BENCH_SOURCE_DIR;

std::string lastError() {
    std::string error(cardbench_last_error(nullptr, 0) + 1, '\0');
    cardbench_last_error(error.data(), error.size());
    return error.c_str();
}

// The README's scenario examples are its ```jsonc blocks.
std::vector<std::string> readmeExamples() {
    std::ifstream readme(kBench / "README.md");
    std::vector<std::string> examples;
    bool inside = false;
    for (std::string line; std::getline(readme, line);) {
        if (inside && line != "```") examples.back() += line + "\n";
        else if ((inside = !inside && line == "```jsonc")) examples.emplace_back();
    }
    return examples;
}

}  // namespace

TEST_F(Scenarios, BundledOnesAndReadmeExamplesLoad) {
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(kBench / "scenarios")) {
        EXPECT_EQ(cardbench_load_scenario_file(entry.path().string().c_str()), 0) << lastError();
        ++files;
    }
    EXPECT_GE(files, 10);
    const auto examples = readmeExamples();
    EXPECT_GE(examples.size(), 2u) << "no ```jsonc block in the README";
    for (const std::string& example : examples) {
        EXPECT_EQ(cardbench_load_scenario(example.c_str(), ::testing::TempDir().c_str()), 0)
            << lastError() << "\nin\n" << example;
    }
}

TEST_F(Scenarios, MistakesAreRefusedWithFileKeyPathAndPosition) {
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
