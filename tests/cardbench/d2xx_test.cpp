// The D2XX behaviour the end-to-end tests rely on: when a card's answers arrive, how
// empty polls are logged, invalid handles, injected faults, and the EEPROM check.
#include "bench_support.h"

namespace benchtest {
namespace {

class Answers : public BenchTest {
protected:
    FT_HANDLE uart_ = nullptr;

    void openUart(const std::string& cardExtra, DWORD timeout = 1000) {
        load(oneCardScenario(cardExtra));
        uart_ = open(1);
        ASSERT_EQ(FT_SetTimeouts(uart_, timeout, timeout), FT_OK);
    }

    std::string readExactly(std::size_t count) {
        std::string bytes(count, '\0');
        DWORD got = 0;
        EXPECT_EQ(FT_Read(uart_, bytes.data(), DWORD(count), &got), FT_OK);
        bytes.resize(got);
        return bytes;
    }
};

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

TEST_F(Answers, SilenceEndsReadsAtTheirTimeoutWithWhatArrived) {
    openUart(R"("answers": {"GET HW_SLOT_ID": null, "GET HW_FW_VER": "abc"})", 80);
    send(uart_, "GET HW_SLOT_ID\n");
    send(uart_, "GET HW_FW_VER\n");
    const auto start = Clock::now();
    EXPECT_EQ(readExactly(10), "abc");
    EXPECT_GE(Clock::now() - start, milliseconds(80));
}

TEST_F(Answers, EmptyPollsFoldIntoOneLineEndedByTheNextCall) {
    openUart("");
    DWORD rx = 0, tx = 0, events = 0;
    for (int i = 0; i < 5; ++i) ASSERT_EQ(FT_GetStatus(uart_, &rx, &tx, &events), FT_OK);
    send(uart_, "GET HW_SLOT_ID\n");
    std::this_thread::sleep_for(milliseconds(10));
    ASSERT_EQ(FT_GetStatus(uart_, &rx, &tx, &events), FT_OK);
    ASSERT_EQ(rx, 18u);
    for (int i = 0; i < 3; ++i) FT_GetStatus(nullptr, &rx, &tx, &events);

    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2], nlohmann::json::parse(R"({"fn":"FT_GetStatus","dev":1,"rx":0,"polls":5,"status":0})"));
    EXPECT_EQ(lines[3]["fn"], "FT_Write");
    EXPECT_EQ(lines[4], nlohmann::json::parse(R"({"fn":"FT_GetStatus","dev":1,"rx":18,"status":0})"));
    EXPECT_EQ(lines[5], nlohmann::json::parse(R"({"fn":"FT_GetStatus","dev":-1,"rx":0,"polls":3,"status":1})"));
}

TEST_F(BenchTest, NullStaleAndInventedHandlesAreInvalid) {
    load(oneCardScenario());
    FT_HANDLE uart = open(1);
    ASSERT_EQ(FT_Close(uart), FT_OK);
    int invented = 0;
    char buffer[4] = {};
    DWORD count = 0;
    for (FT_HANDLE bad : {FT_HANDLE(nullptr), uart, FT_HANDLE(&invented)}) {
        EXPECT_EQ(FT_Write(bad, buffer, 4, &count), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_Read(bad, buffer, 4, &count), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_GetStatus(bad, &count, &count, &count), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_SetTimeouts(bad, 1, 1), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_Close(bad), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_ResetPort(bad), FT_NOT_SUPPORTED);
    }
    EXPECT_EQ(cardbench_close_count(1), 1);
    EXPECT_EQ(cardbench_double_close_count(1), 1);
    EXPECT_EQ(invented, 0);
}

// A fault fires once, always or a number of times, after skipped calls, on its device
// only; "perform" does the work and still answers the status.
TEST_F(BenchTest, FaultsFireOnceAlwaysOrAfterSkippedCalls) {
    const std::pair<const char*, std::vector<FT_STATUS>> cases[] = {
        {R"({"function": "FT_SetTimeouts", "device": 1, "status": 4, "times": "once"})", {4, 0, 0}},
        {R"({"function": "FT_SetTimeouts", "status": 4})", {4, 4, 4}},
        {R"({"function": "FT_SetTimeouts", "status": 7, "times": 1, "skip": 1})", {0, 7, 0}},
        {R"({"function": "FT_SetTimeouts", "device": 0, "status": 4})", {0, 0, 0}},
    };
    for (const auto& [fault, expected] : cases) {
        load(oneCardScenario("", R"("faults": [)" + std::string(fault) + "]"));
        FT_HANDLE uart = open(1);
        std::vector<FT_STATUS> statuses;
        for (int i = 0; i < 3; ++i) statuses.push_back(FT_SetTimeouts(uart, 10000, 10000));
        EXPECT_EQ(statuses, expected) << fault;
    }

    load(oneCardScenario("", R"("faults": [{"function": "FT_Open", "device": 1, "status": 3},
                                           {"function": "FT_Open", "device": 0, "status": 4, "perform": true}])"));
    FT_HANDLE uart = nullptr, fifo = nullptr;
    EXPECT_EQ(FT_Open(1, &uart), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(uart, nullptr);
    EXPECT_EQ(FT_Open(0, &fifo), FT_IO_ERROR);
    EXPECT_NE(fifo, nullptr);
    EXPECT_EQ(cardbench_open_count(1), 0);
    EXPECT_EQ(cardbench_open_count(0), 1);
    EXPECT_EQ(logLines("FT_Open").at(0)["fault"], true);
}

// The log's "others_unchanged", which the end-to-end tests check, tells whether a
// program call kept every field but the FIFO flag.
TEST_F(BenchTest, EepromProgramReportsWhetherTheRestWasKept) {
    load(oneCardScenario(R"("eeprom": {"fifo_flag": 0})"));
    FT_HANDLE fifo = open(0);
    char manufacturer[32] = {}, manufacturerId[16] = {}, description[64] = {}, serial[16] = {};
    FT_PROGRAM_DATA data{};
    data.Signature2 = 0xFFFFFFFF;
    data.Version = 5;
    data.Manufacturer = manufacturer;
    data.ManufacturerId = manufacturerId;
    data.Description = description;
    data.SerialNumber = serial;
    ASSERT_EQ(FT_EE_Read(fifo, &data), FT_OK);
    EXPECT_EQ(data.IFAIsFifo7, 0);
    EXPECT_STREQ(description, "KRO_NX|2.1");
    data.IFAIsFifo7 = 1;
    ASSERT_EQ(FT_EE_Program(fifo, &data), FT_OK);
    data.MaxPower = 500;
    ASSERT_EQ(FT_EE_Program(fifo, &data), FT_OK);
    ASSERT_EQ(FT_EE_Read(fifo, &data), FT_OK);

    const auto programs = logLines("FT_EE_Program");
    ASSERT_EQ(programs.size(), 2u);
    EXPECT_EQ(programs[0]["fifo_flag"], 1);
    EXPECT_EQ(programs[0]["others_unchanged"], true);
    EXPECT_EQ(programs[1]["others_unchanged"], false);
    EXPECT_EQ(logLines("FT_EE_Read").at(1)["fifo_flag"], 1);
}

}  // namespace
}  // namespace benchtest
