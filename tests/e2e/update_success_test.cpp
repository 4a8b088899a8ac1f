// Whole updates that succeed: what the user sees, what the card is told, and the exact
// bytes that reach the card's FIFO channel.
#include "fixture.h"

using namespace e2e;

namespace {

// A quick card's whole update: the request, every bar, success, the table. The card
// reports 0 % for the upload at each of its ticks before the first FIFO write, which
// a busy machine (or Wine) may make later than the first tick: such bars are left out.
void expectQuickSuccess(const ProgramRun& run, const std::string& request, int stages = 4, bool reconfigure = false) {
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    std::string out = maskTimes(run.out);
    const std::string early = bar(1, 0, stages);
    for (auto at = out.find(early); at != std::string::npos; at = out.find(early, at)) out.erase(at, early.size());
    EXPECT_EQ(out,
              preamble(request) + quickCardBars(stages) + successLines(reconfigure) + durationTable(stages));
    EXPECT_EQ(uartCommands(run.callLog).back(), request);
    expectEveryHandleClosedOnce(run);
}

// The FIFO writes' requested and written counts.
std::vector<std::pair<int, int>> fifoWrites(const ProgramRun& run) {
    std::vector<std::pair<int, int>> writes;
    for (const json& write : callsOf(run.callLog, "FT_Write", kFifoDevice)) {
        writes.emplace_back(write.value("requested", -1), write.value("written", -1));
    }
    return writes;
}

}  // namespace

TEST(UpdateSuccess, WholeUpdateShowsProgressAndDeliversTheImage) {
    const std::string file = patternBytes(1001);
    const FifoDump dump;
    const ProgramRun run = runOn(oneCardScenario(), updateArgs("FPGA", "STD", imageFile(file)), {dump.env()});

    expectQuickSuccess(run, "SET FW_UPGRADE FPGA 1036 STD\n");
    // Thirteen 100 ms ticks from the request to DONE.
    EXPECT_NE(run.out.find("\nUpdate Successful - Elapsed Time 0mins 1secs\n\n---"), std::string::npos);
    // A stage shown once lasts 0; the others about as long as the card took for them.
    const std::regex duration(" >> ([0-9.e+-]+) seconds\\.\n");
    std::vector<double> durations;
    for (std::sregex_iterator it(run.out.begin(), run.out.end(), duration), end; it != end; ++it) {
        durations.push_back(std::stod((*it)[1]));
    }
    ASSERT_EQ(durations.size(), 4u);
    EXPECT_EQ(durations[0], 0.0);
    for (std::size_t stage = 1; stage < 4; ++stage) {
        EXPECT_GE(durations[stage], 0.15) << stage + 1;
        EXPECT_LT(durations[stage], 2.0) << stage + 1;
    }
    EXPECT_EQ(dump.received(), expectedUploadImage(file, "FPGA"));
    EXPECT_EQ(fifoWrites(run), (std::vector<std::pair<int, int>>{{1036, 1036}}));
    EXPECT_EQ(uartCommands(run.callLog),
              (std::vector<std::string>{"GET HW_SLOT_ID\n", "SET EVT_ENA FW_UPGRADE_STATUS ON\n",
                                        "SET FW_UPGRADE FPGA 1036 STD\n"}));
}

// The request's options, the number of stages shown and the reboot notice follow the
// two flags, whichever way they are given. The image's path is not ASCII.
TEST(UpdateSuccess, FlagsShapeTheRequestTheStagesAndTheRebootNotice) {
    struct Case {
        std::vector<std::string> flags;
        bool skipVerify;
        bool reconfigure;
    };
    const std::string file = patternBytes(1000, 7);
    const std::string path = imageFile(file, "Größe/固件.bin");
    for (const Case& c : std::vector<Case>{{{"-v"}, true, false},
                                           {{"--reconfigure"}, false, true},
                                           {{"-r", "--skip_verify"}, true, true}}) {
        SCOPED_TRACE(testing::PrintToString(c.flags));
        const FifoDump dump;
        const ProgramRun run = runOn(oneCardScenario(), updateArgs("FPGA", "GOLD", path, "1", c.flags), {dump.env()});
        expectQuickSuccess(run, upgradeRequest("FPGA", 1032, "GOLD", c.skipVerify, c.reconfigure),
                           c.skipVerify ? 3 : 4, c.reconfigure);
        EXPECT_EQ(dump.received(), expectedUploadImage(file, "FPGA"));
    }
}

// The announced size is the whole upload image, header and padding included; an empty
// file is a header alone (payload length 0, and the CRC of nothing is 0).
TEST(UpdateSuccess, SmallFilesAreAHeaderAndPaddedBytes) {
    FifoDump dump;
    ProgramRun run = runOn(oneCardScenario(), updateArgs("SW", "GOLD", imageFile("\x5A"), "1", {"-v"}), {dump.env()});
    expectQuickSuccess(run, "SET FW_UPGRADE SW 36 GOLD SKIP_VERIFY\n", 3);
    const std::string payload = "\x5A\xFF\xFF\xFF";
    const std::string crc = reference::littleEndian32(reference::crc32(payload));
    EXPECT_EQ(dump.received(), std::string("NEXIR-SW    \x04\0\0\0", 16) + crc + std::string(12, '\0') + payload);

    dump = FifoDump();
    run = runOn(oneCardScenario(), updateArgs("SW", "STD", imageFile("")), {dump.env()});
    expectQuickSuccess(run, "SET FW_UPGRADE SW 32 STD\n");
    EXPECT_EQ(dump.received(), std::string("NEXIR-SW    ") + std::string(20, '\0'));
    EXPECT_EQ(fifoWrites(run), (std::vector<std::pair<int, int>>{{32, 32}}));
}

// A write that reports success for fewer bytes than it was given is not the end of the
// transfer: the rest follows, and the card gets the image whole.
TEST(UpdateSuccess, ShortWriteIsFollowedByTheRest) {
    const std::string file = patternBytes(5000, 3);
    const FifoDump dump;
    const ProgramRun run =
        runOn(oneCardScenario(R"({"event_interval_ms": 100, "stage_ms": [200, 400, 200], "short_write": 1000})"),
              updateArgs("SW", "STD", imageFile(file)), {dump.env()});
    expectQuickSuccess(run, "SET FW_UPGRADE SW 5032 STD\n");
    EXPECT_EQ(dump.received(), expectedUploadImage(file, "SW"));
    EXPECT_EQ(fifoWrites(run), (std::vector<std::pair<int, int>>{{5032, 4032}, {1000, 1000}}));
}

// A card that takes a large image at a finite rate, in pieces, with progress in the
// upload stage; the bundled demo image is what a user would try first.
TEST(UpdateSuccess, LargeImageAtAFiniteRateArrivesWhole) {
    const std::string path = benchAssetPath("images/nexir-fpga-demo.bin");
    const std::string image = expectedUploadImage(readFile(path), "FPGA");
    ASSERT_GT(image.size(), 32u);
    const FifoDump dump;
    // 786 464 bytes at 2 MB/s: about 0.4 s of upload.
    const char card[] = R"({"rate_bytes_per_s": 2000000, "event_interval_ms": 100, "stage_ms": [200, 400, 200]})";
    const ProgramRun run = runOn(oneCardScenario(card), updateArgs("FPGA", "STD", path, "1", {"-r"}), {dump.env()});

    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    int uploadBars = 0;
    const std::string rest = withoutUploadBars(maskTimes(run.out), 4, &uploadBars);
    EXPECT_GE(uploadBars, 3) << "the upload stage shows progress while the image goes out";
    EXPECT_EQ(rest, preamble(upgradeRequest("FPGA", image.size(), "STD", false, true)) +
                        quickCardBars(4).substr(bar(1, 100, 4).size()) + successLines(true) + durationTable(4));
    // The upload stage ends at 100 %, drawn with every cell done.
    EXPECT_NE(run.out.find(bar(1, 100, 4) + bar(2, 0, 4)), std::string::npos);

    EXPECT_EQ(dump.received(), image);
    for (const auto& write : callsOf(run.callLog, "FT_Write", kFifoDevice)) EXPECT_EQ(write.value("status", -1), 0);
    expectEveryHandleClosedOnce(run);
}
