// How a card answers on its UART channel: what it says, and when the bytes show up.
#include <thread>

#include "bench_support.h"

namespace benchtest {
namespace {

using std::chrono::milliseconds;

class Answers : public BenchTest {
protected:
    FT_HANDLE uart_ = nullptr;

    void openUart(const std::string& cardExtra) {
        load(oneCardScenario(cardExtra));
        uart_ = open(1);
        ASSERT_EQ(FT_SetTimeouts(uart_, 1000, 1000), FT_OK);
    }

    std::string readExactly(std::size_t count) {
        std::string bytes(count, '\0');
        DWORD got = 0;
        EXPECT_EQ(FT_Read(uart_, bytes.data(), DWORD(count), &got), FT_OK);
        bytes.resize(got);
        return bytes;
    }
};

TEST_F(Answers, DefaultAnswersFollowTheCommandLine) {
    openUart("");
    const std::pair<std::string, std::string> exchanges[] = {
        {"GET HW_SLOT_ID\n", "RGET HW_SLOT_ID 2\n"},
        {"GET HW_FW_VER\n", "RGET HW_FW_VER 2.1.0\n"},
        {"GET HW_SW_VER\n", "RGET HW_SW_VER 1.4.2\n"},
        {"SET EVT_ENA FW_UPGRADE_STATUS ON\n", "RSET EVT_ENA FW_UPGRADE_STATUS OK\n"},
        {"SET FW_ABORT_UPGRADE\n", "RSET FW_ABORT_UPGRADE OK\n"},
        {"SET FW_UPGRADE SW 36 STD SKIP_VERIFY RECONFIG\n", "RSET FW_UPGRADE OK\n"},
        {"SET FW_UPGRADE sw 36 STD\n", "ERROR\n"},
        {"GET HW_SLOT_ID\r\n", "ERROR\n"},
        {"HELLO\n", "ERROR\n"},
    };
    for (const auto& [command, answer] : exchanges) {
        send(uart_, command);
        EXPECT_EQ(readExactly(answer.size()), answer) << command;
    }
}

TEST_F(Answers, AnswerArrivesOnlyAfterTheCardsLatency) {
    openUart(R"("latency_ms": 60)");
    const auto sent = Clock::now();
    send(uart_, "GET HW_SLOT_ID\n");
    EXPECT_EQ(drain(uart_), "");
    EXPECT_EQ(readExactly(18), "RGET HW_SLOT_ID 2\n");
    EXPECT_GE(Clock::now() - sent, milliseconds(60));
}

TEST_F(Answers, ChunkedAnswerArrivesPieceByPiece) {
    openUart(R"("answers": {"GET HW_SW_VER": ["RGET HW_SW", {"data": "_VER 9.9\n", "delay_ms": 80}]})");
    send(uart_, "GET HW_SW_VER\n");
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(drain(uart_), "RGET HW_SW");
    EXPECT_EQ(readExactly(9), "_VER 9.9\n");
}

TEST_F(Answers, CommandsAreTakenLineByLineAcrossWrites) {
    openUart(R"("answers": {"GET HW_FW_*": "prefix\n"})");
    send(uart_, "GET HW_SLOT_ID\nGET HW_F");
    send(uart_, "W_VER\n");
    EXPECT_EQ(readExactly(25), "RGET HW_SLOT_ID 2\nprefix\n");
}

TEST_F(Answers, SilenceEndsReadsAtTheirTimeoutWithWhatArrived) {
    openUart(R"("answers": {"GET HW_SLOT_ID": null, "GET HW_FW_VER": "abc"})");
    ASSERT_EQ(FT_SetTimeouts(uart_, 80, 80), FT_OK);
    send(uart_, "GET HW_SLOT_ID\n");
    send(uart_, "GET HW_FW_VER\n");
    const auto start = Clock::now();
    EXPECT_EQ(readExactly(10), "abc");
    EXPECT_GE(Clock::now() - start, milliseconds(80));
}

TEST_F(Answers, SilentCardAndPlainDeviceNeverAnswer) {
    load(oneCardScenario(R"("silent": true, "unsolicited": [{"data": "EVT X\n"}])"));
    for (int device : {1, 2}) {
        FT_HANDLE handle = open(device);
        ASSERT_EQ(FT_SetTimeouts(handle, 50, 50), FT_OK);
        send(handle, "GET HW_SLOT_ID\n");
        char buffer[8];
        DWORD got = 99;
        EXPECT_EQ(FT_Read(handle, buffer, sizeof buffer, &got), FT_OK);
        EXPECT_EQ(got, 0u) << "device " << device;
        EXPECT_EQ(FT_Close(handle), FT_OK);
    }
}

TEST_F(Answers, PurgeDropsWhatArrivedButNotWhatIsStillComing) {
    openUart(R"("unsolicited": [{"data": "EVT EARLY\n", "at_ms": 0}, {"data": "EVT LATE\n", "at_ms": 60}])");
    std::this_thread::sleep_for(milliseconds(10));
    ASSERT_EQ(FT_Purge(uart_, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
    EXPECT_EQ(drain(uart_), "");
    EXPECT_EQ(readExactly(9), "EVT LATE\n");
}

}  // namespace
}  // namespace benchtest
