#include "cli/version_token.h"

#include <gtest/gtest.h>

// The last blank-separated word (tabs are no blanks), without one final line feed;
// an answer ending in a blank gives an empty version.
TEST(VersionToken, IsTheLastBlankSeparatedWordWithoutTheLineFeed) {
    const std::pair<const char*, const char*> cases[] = {
        {"RGET HW_FW_VER 2.1.0\n", "2.1.0"},      {"2.1.0\n", "2.1.0"},
        {"TIMEOUT", "TIMEOUT"},                   {"", ""},
        {"RGET HW_FW_VER 2.1.0\r\n", "2.1.0\r"}, {"RGET HW_FW_VER 2.1.0\n\n", "2.1.0\n"},
        {"RGET\tHW_FW_VER\t2.1.0\n", "RGET\tHW_FW_VER\t2.1.0"},
        {"RGET HW_FW_VER \n", ""},                {"RGET HW_FW_VER ", ""},
    };
    for (const auto& [answer, token] : cases) EXPECT_EQ(versionToken(answer), token) << answer;
}
