// Which card `update` works on: the first card whose slot text equals --slot exactly;
// every other card is closed before the chosen one is told anything.
#include <tuple>

#include "fixture.h"

using namespace e2e;

namespace {

// Two cards: "left" on devices 0 (FIFO) and 1 (UART), "right" on devices 2 and 3, with
// a plain serial adapter after them. They report slot digits `left` and `right`.
std::string twoCards(int left, int right) {
    return rack(cardDevices("left", "NX0417", "KRO_NX|1.3 ") + ", " + cardDevices("right", "NX1102") +
                    R"(, {"description": "FT232R USB UART", "serial": "A50285BI"})",
                R"("left": {"slot": )" + std::to_string(left) + R"(, "upgrade": )" + kQuickCard + R"(},
                   "right": {"slot": )" + std::to_string(right) + R"(, "upgrade": )" + kQuickCard + "}");
}

struct CardOnBench {
    std::string name;
    int fifo;
    int uart;
};
const CardOnBench kLeft{"left", 0, 1};
const CardOnBench kRight{"right", 2, 3};

// Position in the whole log of the first call of `function` on `device` (with `text`,
// if given); -1 when none.
long positionOf(const std::string& log, const std::string& function, int device, const std::string& text = "") {
    const auto calls = callsOf(log);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const json& call = calls[i];
        if (call["fn"] == function && call["dev"] == device && (text.empty() || call.value("text", "") == text)) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

// The update went to `chosen` alone: `other` was closed before the subscription reached
// the chosen card, and was sent nothing but its slot query.
void expectUpdatedAlone(const ProgramRun& run, const FifoDump& dump, const std::string& image,
                        const CardOnBench& chosen, const CardOnBench& other) {
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    const std::string out = maskTimes(run.out);
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), durationTable(4).size())), durationTable(4));
    EXPECT_EQ(dump.received(chosen.name), image);
    EXPECT_FALSE(callsOf(run.callLog, "FT_Write", chosen.fifo).empty());
    EXPECT_EQ(dump.received(other.name), "");
    EXPECT_TRUE(callsOf(run.callLog, "FT_Write", other.fifo).empty());
    const auto otherWrites = callsOf(run.callLog, "FT_Write", other.uart);
    ASSERT_EQ(otherWrites.size(), 1u);
    EXPECT_EQ(otherWrites[0]["text"], "GET HW_SLOT_ID\n");

    const long subscription = positionOf(run.callLog, "FT_Write", chosen.uart, "SET EVT_ENA FW_UPGRADE_STATUS ON\n");
    ASSERT_GE(subscription, 0);
    for (int device : {other.fifo, other.uart}) {
        const long closed = positionOf(run.callLog, "FT_Close", device);
        EXPECT_GE(closed, 0) << device;
        EXPECT_LT(closed, subscription) << device;
    }
    expectEveryHandleClosedOnce(run);
}

}  // namespace

// Slot digits 0 and 2 are slots "1" and "3"; of two cards in slot "3", the first.
TEST(UpdateSlot, SlotThreeUpdatesTheFirstCardInSlotThree) {
    const std::string file = patternBytes(2000);
    for (const auto& [left, chosen, other] : {std::tuple{0, kRight, kLeft}, std::tuple{2, kLeft, kRight}}) {
        SCOPED_TRACE(chosen.name);
        const FifoDump dump;
        const ProgramRun run = runOn(twoCards(left, 2), updateArgs("FPGA", "STD", imageFile(file), "3"), {dump.env()});
        EXPECT_NE(run.out.find(preamble("SET FW_UPGRADE FPGA 2032 STD\n")), std::string::npos);
        expectUpdatedAlone(run, dump, expectedUploadImage(file, "FPGA"), chosen, other);
    }
}

// The slot is compared as text: only the exact digit matches. With no card at all, no
// slot is looked for.
TEST(UpdateSlot, SlotThatNoCardHoldsFailsAfterClosingEveryCard) {
    const std::string path = imageFile(patternBytes(100));
    for (const char* slot : {"2", "03", " 3", "3 ", "three", "4"}) {
        SCOPED_TRACE(std::string("'") + slot + "'");
        const ProgramRun run = runOn(twoCards(0, 2), updateArgs("FPGA", "STD", path, slot));
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out, "error: no cards found in specified slot\n");
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(uartCommands(run.callLog), (std::vector<std::string>{"GET HW_SLOT_ID\n", "GET HW_SLOT_ID\n"}));
        EXPECT_TRUE(callsOf(run.callLog, "FT_Write", 0).empty());
        EXPECT_TRUE(callsOf(run.callLog, "FT_Write", 2).empty());
        for (int device : {0, 1, 2, 3}) EXPECT_EQ(callsOf(run.callLog, "FT_Close", device).size(), 1u) << device;
        expectEveryHandleClosedOnce(run);
    }

    const ProgramRun run = runOn(R"({"devices": []})", updateArgs("FPGA", "STD", path));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out,
              "error: no FTDI devices detected\n"
              "error: no available and ready NEXIR cards detected, exiting...\n");
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(uartCommands(run.callLog).empty());
}
