// The card's answers: how they are framed from the chunks the receive queue yields, and
// what the slot and version queries make of them.
#include <gtest/gtest.h>

#include "cli/commands.h"
#include "link/answer_framing.h"
#include "link/nexir.h"

using namespace nexir;

// An answer ends with a chunk that ends in a line feed, not with one inside a chunk;
// NUL and high bytes are kept, empty chunks change nothing.
TEST(AnswerFraming, AnswerEndsWithAChunkThatEndsInALineFeed) {
    AnswerFraming framing;
    const std::pair<std::string, bool> chunks[] = {
        {"RGET HW_", false},      {"", false},  {"FW_VER 1.0", false}, {std::string("\0\xff\n", 3), true},
        {"first\nsecond", false}, {"\n", true}, {"a\nb\n", true}};
    std::string answers;
    for (const auto& [chunk, complete] : chunks) {
        EXPECT_EQ(framing.append(chunk.data(), chunk.size()), complete) << chunk;
        if (complete) answers += framing.take() + "|";
    }
    EXPECT_EQ(answers, std::string("RGET HW_FW_VER 1.0\0\xff\n|first\nsecond\n|a\nb\n|", 41));
    EXPECT_TRUE(framing.empty());
}

// The slot counted from one; the lower digit wins when the answer holds two; other
// answers name no slot (0).
TEST(SlotAnswer, NamesTheSlotCountedFromOne) {
    const std::pair<const char*, int> cases[] = {
        {"RGET HW_SLOT_ID 0\n", 1},  {"GET HW_SLOT_ID 3", 4},
        {"xGET HW_SLOT_ID 12\n", 2}, {"GET HW_SLOT_ID 3 GET HW_SLOT_ID 0", 1},
        {"GET HW_SLOT_ID 4\n", 0},   {"GET HW_SLOT_ID\n", 0},
        {"get hw_slot_id 0\n", 0},   {"", 0},
    };
    for (const auto& [answer, slot] : cases) EXPECT_EQ(NEXIR::slotNumberIn(answer), slot) << answer;
}

// The last blank-separated word (tabs are no blanks), without one final line feed.
TEST(VersionToken, IsTheLastBlankSeparatedWordWithoutTheLineFeed) {
    const std::pair<const char*, const char*> cases[] = {
        {"RGET HW_FW_VER 2.1.0\n", "2.1.0"},
        {"TIMEOUT", "TIMEOUT"},
        {"", ""},
        {"RGET HW_FW_VER 2.1.0\r\n", "2.1.0\r"},
        {"RGET HW_FW_VER 2.1.0\n\n", "2.1.0\n"},
        {"RGET\tHW_FW_VER\t2.1.0\n", "RGET\tHW_FW_VER\t2.1.0"},
        {"RGET HW_FW_VER \n", ""},
    };
    for (const auto& [answer, token] : cases) EXPECT_EQ(versionToken(answer), token) << answer;
}
