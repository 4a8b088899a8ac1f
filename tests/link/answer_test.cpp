#include <gtest/gtest.h>

#include <cstring>

#include "link/answer_framing.h"
#include "link/slot_answer.h"

namespace {
bool feed(AnswerFraming& framing, const char* chunk) {
    return framing.append(chunk, std::strlen(chunk));
}
}  // namespace

TEST(AnswerFraming, AnswerEndsWithAChunkThatEndsInALineFeed) {
    AnswerFraming framing;
    EXPECT_FALSE(feed(framing, "RGET HW_"));
    EXPECT_FALSE(feed(framing, "FW_VER 1.0"));
    EXPECT_TRUE(feed(framing, ".2\n"));
    EXPECT_EQ(framing.take(), "RGET HW_FW_VER 1.0.2\n");
    EXPECT_TRUE(framing.empty());
}

TEST(AnswerFraming, LineFeedInsideAChunkDoesNotEndTheAnswer) {
    AnswerFraming framing;
    EXPECT_FALSE(feed(framing, "first\nsecond"));
    EXPECT_TRUE(feed(framing, "\n"));
    EXPECT_EQ(framing.take(), "first\nsecond\n");
    EXPECT_TRUE(feed(framing, "a\nb\n"));
    EXPECT_EQ(framing.take(), "a\nb\n");
}

TEST(AnswerFraming, KeepsNulAndHighBytesAndIgnoresEmptyChunks) {
    AnswerFraming framing;
    const char binary[] = {'v', '\0', '\xff', '\n'};
    EXPECT_FALSE(framing.append(binary, 0));
    EXPECT_TRUE(framing.append(binary, sizeof binary));
    EXPECT_EQ(framing.take(), std::string(binary, sizeof binary));
}

// The slot counted from one; the lower digit wins when the answer holds two; other
// answers name no slot (0).
TEST(SlotAnswer, NamesTheSlotCountedFromOne) {
    const std::pair<const char*, int> cases[] = {
        {"RGET HW_SLOT_ID 0\n", 1}, {"GET HW_SLOT_ID 3", 4},  {"xGET HW_SLOT_ID 12\n", 2},
        {"GET HW_SLOT_ID 3 GET HW_SLOT_ID 0", 1},             {"GET HW_SLOT_ID 4\n", 0},
        {"GET HW_SLOT_ID\n", 0},    {"get hw_slot_id 0\n", 0}, {"", 0},
    };
    for (const auto& [answer, slot] : cases) EXPECT_EQ(slotNumberIn(answer), slot) << answer;
}
