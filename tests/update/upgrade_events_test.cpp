#include "update/upgrade_events.h"

#include <gtest/gtest.h>

TEST(UpgradeRequest, CarriesTheTotalSizeAndTheFlagsInOrder) {
    EXPECT_EQ(upgradeRequest("FPGA", 1032, "GOLD", true, true),
              "SET FW_UPGRADE FPGA 1032 GOLD SKIP_VERIFY RECONFIG\n");
    EXPECT_EQ(upgradeRequest("SW", 36, "STD", false, false), "SET FW_UPGRADE SW 36 STD\n");
    EXPECT_EQ(upgradeRequest("SW", 36, "STD", false, true), "SET FW_UPGRADE SW 36 STD RECONFIG\n");
}

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
    int value = -1;
    std::string error;
    EXPECT_TRUE(convertEventNumber("45%", value, error));
    EXPECT_EQ(value, 45);
    EXPECT_TRUE(convertEventNumber("-7", value, error));
    EXPECT_EQ(value, -7);
    EXPECT_TRUE(convertEventNumber("+2147483647", value, error));
    EXPECT_EQ(value, 2147483647);
    EXPECT_TRUE(convertEventNumber("-2147483648", value, error));
    EXPECT_EQ(value, -2147483647 - 1);
    EXPECT_TRUE(error.empty());
}

TEST(StatusEvent, ReportsRangeAndMissingDigits) {
    int value = 0;
    std::string error;
    EXPECT_FALSE(convertEventNumber("2147483648", value, error));
    EXPECT_EQ(error, "Out of range: stoi argument out of range");
    EXPECT_FALSE(convertEventNumber("-99999999999999999999999", value, error));
    EXPECT_EQ(error, "Out of range: stoi argument out of range");
    for (const char* word : {"x", "", "-", "+x", "%45"}) {
        error.clear();
        EXPECT_FALSE(convertEventNumber(word, value, error)) << word;
        EXPECT_EQ(error, "Invalid argument: invalid stoi argument") << word;
    }
}

TEST(StatusEvent, NeedsTheStatusWordAndConvertsThePercentageFirst) {
    EXPECT_FALSE(parseStatusEvent({"EVT", "OTHER", "1", "2"}).isStatus);
    EXPECT_FALSE(parseStatusEvent({"EVT", "FW_UPGRADE_STATUS", "DONE"}).isStatus);

    const StatusEvent good = parseStatusEvent({"EVT", "FW_UPGRADE_STATUS", "3", "75"});
    EXPECT_TRUE(good.isStatus);
    EXPECT_EQ(good.stage, 3);
    EXPECT_EQ(good.percent, 75);
    EXPECT_TRUE(good.error.empty());

    const StatusEvent bothBad = parseStatusEvent({"EVT", "FW_UPGRADE_STATUS", "x", "99999999999"});
    EXPECT_EQ(bothBad.error, "Out of range: stoi argument out of range");
}
