#include "update/upgrade_events.h"

#include <gtest/gtest.h>

using namespace nexir;

TEST(EventLine, FourWordsComeFirstThenFailThenDone) {
    const std::pair<const char*, EventKind> cases[] = {
        {"TIMEOUT", EventKind::Timeout},
        {"TIMEOUT\n", EventKind::Malformed},
        {"EVT\tFW_UPGRADE_STATUS\r1 40\r\n", EventKind::FourWords},
        {"EVT FW_UPGRADE_STATUS FAIL\n", EventKind::Fail},
        {"EVT FW_UPGRADE_STATUS DONE\n", EventKind::Done},
        {"EVT FW_UPGRADE_STATUS FAIL now\n", EventKind::FourWords},
        {"x EVT FW_UPGRADE_STATUS DONE EVT FW_UPGRADE_STATUS FAIL\n", EventKind::Fail},
        {"EVT FW_UPGRADE_STATUS 1 40\nEVT FW_UPGRADE_STATUS 1 50\n", EventKind::Malformed},
        {"", EventKind::Malformed},
    };
    for (const auto& [line, kind] : cases) EXPECT_EQ(classifyEventLine(line).kind, kind) << line;
}

// Numbers as std::stoi reads them; the percentage is converted before the stage.
TEST(StatusEvent, NumbersConvertLikeStoi) {
    const std::string outOfRange = "Out of range: stoi argument out of range";
    const std::string invalid = "Invalid argument: invalid stoi argument";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"EVT", "FW_UPGRADE_STATUS", "2", "45%"}, "2 45"},
        {{"EVT", "FW_UPGRADE_STATUS", "-2147483648", "+2147483647", "x"}, "-2147483648 2147483647"},
        {{"EVT", "FW_UPGRADE_STATUS", "x", "2147483648"}, outOfRange},
        {{"EVT", "FW_UPGRADE_STATUS", "99999999999", "%45"}, invalid},
        {{"EVT", "FW_UPGRADE_STATUS", "-", "1"}, invalid},
        {{"EVT", "OTHER", "1", "1"}, "no status"},
        {{"EVT", "FW_UPGRADE_STATUS", "1"}, "no status"},
    };
    for (const auto& [words, expected] : cases) {
        const StatusEvent event = parseStatusEvent(words);
        EXPECT_EQ(!event.isStatus        ? "no status"
                  : !event.error.empty() ? event.error
                                         : std::to_string(event.stage) + " " + std::to_string(event.percent),
                  expected)
            << words[2];
    }
}
