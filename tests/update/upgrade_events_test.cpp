#include "update/upgrade_events.h"

#include <gtest/gtest.h>

TEST(EventLine, FourWordsComeFirstThenFailThenDone) {
    EXPECT_EQ(classifyEventLine("TIMEOUT").kind, EventKind::Timeout);
    EXPECT_EQ(classifyEventLine("TIMEOUT\n").kind, EventKind::Malformed);
    EXPECT_EQ(classifyEventLine("EVT FW_UPGRADE_STATUS 1 40\n").kind, EventKind::FourWords);
    EXPECT_EQ(classifyEventLine("EVT\tFW_UPGRADE_STATUS\r1 40\r\n").kind, EventKind::FourWords);
    EXPECT_EQ(classifyEventLine("EVT FW_UPGRADE_STATUS FAIL\n").kind, EventKind::Fail);
    EXPECT_EQ(classifyEventLine("EVT FW_UPGRADE_STATUS DONE\n").kind, EventKind::Done);
    // Four words win even when they spell FAIL; FAIL wins over DONE.
    EXPECT_EQ(classifyEventLine("EVT FW_UPGRADE_STATUS FAIL now\n").kind, EventKind::FourWords);
    EXPECT_EQ(classifyEventLine("x EVT FW_UPGRADE_STATUS DONE EVT FW_UPGRADE_STATUS FAIL\n").kind,
              EventKind::Fail);
    // Two events read together are one malformed answer.
    EXPECT_EQ(classifyEventLine("EVT FW_UPGRADE_STATUS 1 40\nEVT FW_UPGRADE_STATUS 1 50\n").kind,
              EventKind::Malformed);
    EXPECT_EQ(classifyEventLine("").kind, EventKind::Malformed);
}

TEST(StatusEvent, ConvertsLikeStoi) {
    const std::string outOfRange = "Out of range: stoi argument out of range";
    const std::string invalid = "Invalid argument: invalid stoi argument";
    const std::pair<const char*, std::string> cases[] = {
        {"45%", "45"}, {"-7", "-7"}, {"+2147483647", "2147483647"}, {"-2147483648", "-2147483648"},
        {"2147483648", outOfRange}, {"-99999999999999999999999", outOfRange},
        {"x", invalid}, {"", invalid}, {"-", invalid}, {"+x", invalid}, {"%45", invalid}};
    for (const auto& [word, expected] : cases) {
        int value = 0;
        std::string error;
        const bool converted = convertEventNumber(word, value, error);
        EXPECT_EQ(converted ? std::to_string(value) : error, expected) << word;
        EXPECT_EQ(converted, error.empty()) << word;
    }
}
