// The card's side of an upgrade: the status-event timeline from the request to DONE or
// FAIL, and the FIFO intake that the program's transfer thread writes into.
#include <algorithm>
#include <cstdio>
#include <thread>

#include "bench_support.h"

namespace benchtest {
namespace {

using std::chrono::milliseconds;

const std::string kDone = "EVT FW_UPGRADE_STATUS DONE\n";
const std::string kFail = "EVT FW_UPGRADE_STATUS FAIL\n";

bool isFinal(const std::string& line) {
    return line == kDone || line == kFail;
}

bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string requestFor(const std::vector<std::uint8_t>& image, const std::string& options = "") {
    return "SET FW_UPGRADE SW " + std::to_string(image.size()) + " STD" + options + "\n";
}

class Upgrade : public BenchTest {
protected:
    FT_HANDLE uart_ = nullptr;
    FT_HANDLE fifo_ = nullptr;

    void openCard(const std::string& upgradeExtra, const std::string& cardExtra = "") {
        std::string card = R"("upgrade": {"event_interval_ms": 15, "stage_ms": [30, 30, 30])" +
                           (upgradeExtra.empty() ? "" : ", " + upgradeExtra) + "}";
        load(oneCardScenario(cardExtra.empty() ? card : card + ", " + cardExtra));
        uart_ = open(1);
        fifo_ = open(0);
        ASSERT_EQ(FT_SetTimeouts(uart_, 1000, 1000), FT_OK);
    }

    std::string exchange(const std::string& command) {
        send(uart_, command);
        return collectLines(uart_, [](const std::string&) { return true; }, milliseconds(500)).at(0);
    }

    void announce(const std::string& request) {
        ASSERT_EQ(exchange("SET EVT_ENA FW_UPGRADE_STATUS ON\n"), "RSET EVT_ENA FW_UPGRADE_STATUS OK\n");
        ASSERT_EQ(exchange(request), "RSET FW_UPGRADE OK\n");
    }

    // Writes the image from a thread of its own, as the program does, while this
    // thread polls the UART for event lines.
    std::vector<std::string> upload(const std::vector<std::uint8_t>& image,
                                    const std::function<bool(const std::string&)>& stop = isFinal,
                                    milliseconds listen = milliseconds(3000)) {
        FT_STATUS status = 99;
        DWORD written = 0;
        std::thread writer([&] {
            std::vector<std::uint8_t> copy = image;
            status = FT_Write(fifo_, copy.data(), DWORD(copy.size()), &written);
        });
        auto lines = collectLines(uart_, stop, listen);
        writer.join();
        EXPECT_EQ(status, FT_OK);
        return lines;
    }

    std::vector<std::uint8_t> fifoReceived() {
        std::vector<std::uint8_t> bytes(cardbench_fifo_received("c", nullptr, 0));
        cardbench_fifo_received("c", bytes.data(), bytes.size());
        return bytes;
    }
};

// Every line is a status event or the final line, stages never go back, and each stage
// that ran to its end reported 100 %.
void expectOrderlyTimeline(const std::vector<std::string>& lines, int lastStage) {
    ASSERT_FALSE(lines.empty());
    int stage = 1;
    int percent = -1;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        int s = 0, p = 0;
        ASSERT_EQ(std::sscanf(lines[i].c_str(), "EVT FW_UPGRADE_STATUS %d %d\n", &s, &p), 2) << lines[i];
        if (s != stage) {
            EXPECT_EQ(s, stage + 1) << lines[i];
            EXPECT_EQ(percent, 100) << "stage " << stage << " ended early";
            stage = s;
        }
        percent = p;
    }
    EXPECT_EQ(stage, lastStage);
    EXPECT_EQ(percent, 100);
}

TEST_F(Upgrade, ValidImageRunsThroughEveryStageToDone) {
    openCard(R"("rate_bytes_per_s": 200000)");
    const auto image = uploadImage("SW", 20000);
    announce(requestFor(image));
    const auto lines = upload(image);
    ASSERT_EQ(lines.back(), kDone);
    expectOrderlyTimeline(lines, 4);
    EXPECT_GE(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("EVT FW_UPGRADE_STATUS 1 ", 0) == 0; }),
              4);
    EXPECT_EQ(fifoReceived(), image);
}

TEST_F(Upgrade, SkipVerifyLeavesOutTheVerifyStage) {
    openCard("");
    const auto image = uploadImage("SW", 64);
    announce(requestFor(image, " SKIP_VERIFY RECONFIG"));
    const auto lines = upload(image);
    ASSERT_EQ(lines.back(), kDone);
    expectOrderlyTimeline(lines, 3);
}

TEST_F(Upgrade, DamagedImagesFailOnceUploaded) {
    const auto good = uploadImage("SW", 100);
    auto badCrc = good;
    badCrc[40] ^= 1;
    auto badLength = good;
    badLength[12] += 4;
    const std::vector<std::vector<std::uint8_t>> cases = {badCrc, badLength, uploadImage("FPGA", 100)};
    for (const auto& image : cases) {
        openCard("");
        announce(requestFor(image));
        const auto lines = upload(image);
        ASSERT_EQ(lines.back(), kFail);
        EXPECT_TRUE(hasLine(lines, "EVT FW_UPGRADE_STATUS 1 100\n"));
        EXPECT_FALSE(hasLine(lines, "EVT FW_UPGRADE_STATUS 2 0\n"));
        cardbench_reset();
    }
}

TEST_F(Upgrade, FailAtStageEndsThatStageWithFail) {
    openCard(R"("fail_at_stage": 3)");
    const auto image = uploadImage("SW", 100);
    announce(requestFor(image));
    const auto lines = upload(image);
    ASSERT_EQ(lines.back(), kFail);
    EXPECT_EQ(lines[lines.size() - 2], "EVT FW_UPGRADE_STATUS 3 0\n");
}

TEST_F(Upgrade, StalledUploadFailsAfterTheIntakeTimeout) {
    openCard(R"("short_write": 10, "intake_timeout_ms": 60)");
    const auto image = uploadImage("SW", 100);
    announce(requestFor(image));
    const auto lines = upload(image);
    ASSERT_EQ(lines.back(), kFail);
    EXPECT_FALSE(hasLine(lines, "EVT FW_UPGRADE_STATUS 1 100\n"));
    EXPECT_EQ(fifoReceived().size(), image.size() - 10);
}

TEST_F(Upgrade, ScriptedLinesJoinTheTimeline) {
    openCard(R"("rate_bytes_per_s": 50000, "done_during_transfer": true,
                "extra_lines": [{"stage": 2, "data": "EVT FW_UPGRADE_STATUS x 10\n"}])");
    const auto image = uploadImage("SW", 4000);
    announce(requestFor(image));
    int doneLines = 0;
    const auto lines = upload(image, [&](const std::string& line) { return line == kDone && ++doneLines == 2; });
    const auto position = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) - lines.begin();
    };
    EXPECT_LT(position(kDone), position("EVT FW_UPGRADE_STATUS 1 100\n"));
    EXPECT_LT(position("EVT FW_UPGRADE_STATUS 2 0\n"), position("EVT FW_UPGRADE_STATUS x 10\n"));
    EXPECT_LT(position("EVT FW_UPGRADE_STATUS x 10\n"), position("EVT FW_UPGRADE_STATUS 2 50\n"));
    EXPECT_EQ(lines.back(), kDone);
}

TEST_F(Upgrade, SilenceDuringTransferHidesOnlyTheUploadStage) {
    openCard(R"("rate_bytes_per_s": 50000, "silent_during_transfer": true)");
    const auto image = uploadImage("SW", 4000);
    announce(requestFor(image));
    const auto lines = upload(image);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "EVT FW_UPGRADE_STATUS 2 0\n");
    EXPECT_EQ(lines.back(), kDone);
}

TEST_F(Upgrade, EventsNeedASubscriptionAndStopAtAbort) {
    openCard("");
    const auto image = uploadImage("SW", 100);
    ASSERT_EQ(exchange(requestFor(image)), "RSET FW_UPGRADE OK\n");
    EXPECT_TRUE(upload(image, isFinal, milliseconds(150)).empty()) << "no subscription, no events";

    ASSERT_EQ(exchange("SET EVT_ENA FW_UPGRADE_STATUS ON\n"), "RSET EVT_ENA FW_UPGRADE_STATUS OK\n");
    ASSERT_EQ(exchange(requestFor(image)), "RSET FW_UPGRADE OK\n");
    ASSERT_EQ(exchange("SET FW_ABORT_UPGRADE\n"), "RSET FW_ABORT_UPGRADE OK\n");
    EXPECT_TRUE(upload(image, isFinal, milliseconds(150)).empty()) << "aborted, no events";
}

TEST_F(Upgrade, FiniteWriteTimeoutEndsAStalledWriteWithAPartialCount) {
    openCard(R"("stop_taking_after": 100)");
    ASSERT_EQ(FT_SetTimeouts(fifo_, 0, 50), FT_OK);
    std::vector<std::uint8_t> bytes(1000, 0x5A);
    DWORD written = 0;
    const auto start = Clock::now();
    EXPECT_EQ(FT_Write(fifo_, bytes.data(), DWORD(bytes.size()), &written), FT_OK);
    EXPECT_GE(Clock::now() - start, milliseconds(50));
    EXPECT_EQ(written, 100u);
    EXPECT_EQ(FT_Write(fifo_, bytes.data(), DWORD(bytes.size()), &written), FT_OK);
    EXPECT_EQ(written, 0u);
}

TEST_F(Upgrade, IntakeRateLimitsHowMuchATimedWriteGetsThrough) {
    openCard(R"("rate_bytes_per_s": 20000)");
    ASSERT_EQ(FT_SetTimeouts(fifo_, 0, 50), FT_OK);
    std::vector<std::uint8_t> bytes(10000, 0x5A);
    DWORD written = 0;
    EXPECT_EQ(FT_Write(fifo_, bytes.data(), DWORD(bytes.size()), &written), FT_OK);
    EXPECT_GE(written, 500u);
    EXPECT_LE(written, 2000u);
}

TEST_F(Upgrade, ClosingTheHandleReleasesABlockedWrite) {
    openCard(R"("stop_taking_after": 0)");
    FT_STATUS status = 99;
    std::thread writer([&] {
        std::vector<std::uint8_t> bytes(100, 1);
        DWORD written = 0;
        status = FT_Write(fifo_, bytes.data(), DWORD(bytes.size()), &written);
    });
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(FT_Close(fifo_), FT_OK);
    writer.join();
    EXPECT_EQ(status, FT_IO_ERROR);
}

TEST_F(Upgrade, WriteFaultsOfTheCardsFifo) {
    openCard(R"("write_status": 4)");
    std::vector<std::uint8_t> bytes(100, 1);
    DWORD written = 7;
    EXPECT_EQ(FT_Write(fifo_, bytes.data(), 100, &written), FT_IO_ERROR);
    EXPECT_EQ(written, 0u);
    cardbench_reset();

    openCard(R"("short_write": 30)");
    EXPECT_EQ(FT_Write(fifo_, bytes.data(), 100, &written), FT_OK);
    EXPECT_EQ(written, 70u);
    EXPECT_EQ(FT_Write(fifo_, bytes.data(), 100, &written), FT_OK);
    EXPECT_EQ(written, 100u);
}

}  // namespace
}  // namespace benchtest
