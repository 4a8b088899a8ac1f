// The card's side of an upgrade: the status-event timeline from the request to DONE or
// FAIL, and the FIFO intake that the program's transfer thread writes into.
#include <algorithm>
#include <cstdio>

#include "../update/upload_reference.h"
#include "bench_support.h"

namespace benchtest {
namespace {

const std::string kDone = "EVT FW_UPGRADE_STATUS DONE\n";
const std::string kFail = "EVT FW_UPGRADE_STATUS FAIL\n";

bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string image(const std::string& type, std::size_t payloadBytes) {
    return reference::uploadImage(reference::patternBytes(payloadBytes), type);
}

class Upgrade : public BenchTest {
protected:
    FT_HANDLE uart_ = nullptr;
    FT_HANDLE fifo_ = nullptr;

    void openCard(const std::string& upgradeExtra) {
        load(oneCardScenario(R"("upgrade": {"event_interval_ms": 15, "stage_ms": [30, 30, 30])" +
                             (upgradeExtra.empty() ? "" : ", " + upgradeExtra) + "}"));
        uart_ = open(1);
        fifo_ = open(0);
        ASSERT_EQ(FT_SetTimeouts(uart_, 1000, 1000), FT_OK);
    }

    // The first line the card answers to `command`.
    std::string exchange(const std::string& command) {
        send(uart_, command);
        const auto lines = collectLines(uart_, [](const std::string&) { return true; }, milliseconds(500));
        return lines.empty() ? "" : lines[0];
    }

    // Subscribes, announces `image` as an SW image with `options`, then writes it from a
    // thread of its own, as the program does, while this thread collects the event
    // lines up to DONE or FAIL.
    std::vector<std::string> upgrade(const std::string& image, const std::string& options = "") {
        EXPECT_EQ(exchange("SET EVT_ENA FW_UPGRADE_STATUS ON\n"), "RSET EVT_ENA FW_UPGRADE_STATUS OK\n");
        EXPECT_EQ(exchange("SET FW_UPGRADE SW " + std::to_string(image.size()) + " STD" + options + "\n"),
                  "RSET FW_UPGRADE OK\n");
        FT_STATUS status = 99;
        std::thread writer([&] {
            std::string copy = image;
            DWORD written = 0;
            status = FT_Write(fifo_, copy.data(), DWORD(copy.size()), &written);
        });
        const auto lines = collectLines(
            uart_, [](const std::string& line) { return line == kDone || line == kFail; }, milliseconds(3000));
        writer.join();
        EXPECT_EQ(status, FT_OK);
        return lines;
    }
};

// Every line but the last is a status event, stages never go back, each stage that ran
// to its end reported 100 %, and the last one is `lastStage`.
void expectOrderlyTimeline(const std::vector<std::string>& lines, int lastStage) {
    ASSERT_FALSE(lines.empty());
    int stage = 1, percent = -1;
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

// Every stage to DONE; SKIP_VERIFY leaves out the verification.
TEST_F(Upgrade, ValidImageRunsThroughEveryStageToDone) {
    for (const auto& [options, lastStage] : {std::pair{"", 4}, std::pair{" SKIP_VERIFY RECONFIG", 3}}) {
        openCard(R"("rate_bytes_per_s": 200000)");
        const std::string sent = image("SW", 20000);
        const auto lines = upgrade(sent, options);
        ASSERT_EQ(lines.back(), kDone) << options;
        expectOrderlyTimeline(lines, lastStage);
        EXPECT_GE(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& l) { return l.rfind("EVT FW_UPGRADE_STATUS 1 ", 0) == 0; }),
                  4);
        std::string received(cardbench_fifo_received("c", nullptr, 0), '\0');
        cardbench_fifo_received("c", reinterpret_cast<unsigned char*>(received.data()), received.size());
        EXPECT_EQ(received, sent);
    }
}

// A bad CRC, a bad length or the wrong type: FAIL right after the upload.
TEST_F(Upgrade, DamagedImagesFailOnceUploaded) {
    std::string badCrc = image("SW", 100), badLength = badCrc;
    badCrc[40] ^= 1;
    badLength[12] += 4;
    for (const std::string& damaged : {badCrc, badLength, image("FPGA", 100)}) {
        openCard("");
        const auto lines = upgrade(damaged);
        ASSERT_EQ(lines.back(), kFail);
        EXPECT_TRUE(hasLine(lines, "EVT FW_UPGRADE_STATUS 1 100\n"));
        EXPECT_FALSE(hasLine(lines, "EVT FW_UPGRADE_STATUS 2 0\n"));
        cardbench_reset();
    }
}

TEST_F(Upgrade, FailAtStageEndsThatStageWithFail) {
    openCard(R"("fail_at_stage": 3)");
    const auto lines = upgrade(image("SW", 100));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.back(), kFail);
    EXPECT_EQ(lines[lines.size() - 2], "EVT FW_UPGRADE_STATUS 3 0\n");
}

// A refused write takes nothing; a short write reports what it took; a finite write
// time-out ends a stalled write with its partial count.
TEST_F(Upgrade, FifoWritesThatFailFallShortOrStall) {
    std::string bytes(1000, '\x5A');
    DWORD written = 7;
    openCard(R"("write_status": 4)");
    EXPECT_EQ(FT_Write(fifo_, bytes.data(), 100, &written), FT_IO_ERROR);
    EXPECT_EQ(written, 0u);

    openCard(R"("short_write": 30)");
    EXPECT_EQ(FT_Write(fifo_, bytes.data(), 100, &written), FT_OK);
    EXPECT_EQ(written, 70u);
    EXPECT_EQ(FT_Write(fifo_, bytes.data(), 100, &written), FT_OK);
    EXPECT_EQ(written, 100u);

    openCard(R"("stop_taking_after": 100)");
    ASSERT_EQ(FT_SetTimeouts(fifo_, 0, 50), FT_OK);
    const auto start = Clock::now();
    EXPECT_EQ(FT_Write(fifo_, bytes.data(), DWORD(bytes.size()), &written), FT_OK);
    EXPECT_GE(Clock::now() - start, milliseconds(50));
    EXPECT_EQ(written, 100u);
    EXPECT_EQ(FT_Write(fifo_, bytes.data(), DWORD(bytes.size()), &written), FT_OK);
    EXPECT_EQ(written, 0u);
}

}  // namespace
}  // namespace benchtest
