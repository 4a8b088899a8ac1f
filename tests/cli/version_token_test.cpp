#include "cli/version_token.h"

#include <gtest/gtest.h>

TEST(VersionToken, IsTheLastBlankSeparatedWordWithoutTheLineFeed) {
    EXPECT_EQ(versionToken("RGET HW_FW_VER 2.1.0\n"), "2.1.0");
    EXPECT_EQ(versionToken("2.1.0\n"), "2.1.0");
    EXPECT_EQ(versionToken("TIMEOUT"), "TIMEOUT");
    EXPECT_EQ(versionToken(""), "");
}

TEST(VersionToken, KeepsEverythingButOneFinalLineFeed) {
    EXPECT_EQ(versionToken("RGET HW_FW_VER 2.1.0\r\n"), "2.1.0\r");
    EXPECT_EQ(versionToken("RGET HW_FW_VER 2.1.0\n\n"), "2.1.0\n");
    EXPECT_EQ(versionToken("RGET\tHW_FW_VER\t2.1.0\n"), "RGET\tHW_FW_VER\t2.1.0");
}

TEST(VersionToken, AnswerEndingInABlankGivesAnEmptyVersion) {
    EXPECT_EQ(versionToken("RGET HW_FW_VER \n"), "");
    EXPECT_EQ(versionToken("RGET HW_FW_VER "), "");
}
