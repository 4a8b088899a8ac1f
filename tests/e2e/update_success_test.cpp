// Whole updates that succeed: what the user sees, what the card is told, and the exact
// bytes that reach the card's FIFO channel.
#include "update_fixture.h"

using namespace update_e2e;

TEST(UpdateSuccess, WholeUpdateShowsProgressAndDeliversTheImage) {
    const std::string file = patternBytes(1001);
    const std::string image = expectedUploadImage(file, "FPGA");
    ASSERT_EQ(image.size(), 1036u);
    const FifoDump dump;

    const ProgramRun run = runUpdater(updateArgs("FPGA", "STD", imageFile(file)),
                                      onBench(oneCardScenario(kQuickCard), {dump.env()}));

    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(maskTimes(run.out),
              preamble("SET FW_UPGRADE FPGA 1036 STD\n") + quickCardBars(4) + successLines() + durationTable(4));
    // Thirteen 100 ms ticks from the request to DONE.
    EXPECT_NE(run.out.find("\nUpdate Successful - Elapsed Time 0mins 1secs\n\n---"), std::string::npos);
    // A stage shown once lasts 0; the others about as long as the card took for them.
    const auto durations = stageDurations(run.out);
    ASSERT_EQ(durations.size(), 4u);
    EXPECT_EQ(durations[0], "0");
    for (std::size_t stage = 1; stage < 4; ++stage) {
        EXPECT_GE(std::stod(durations[stage]), 0.15) << stage + 1;
        EXPECT_LT(std::stod(durations[stage]), 2.0) << stage + 1;
    }

    EXPECT_EQ(dump.received(), image);
    const auto writes = callsOn(run.callLog, "FT_Write", kFifoDevice);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].value("requested", 0), 1036);
    EXPECT_EQ(uartCommands(run.callLog),
              (std::vector<std::string>{"GET HW_SLOT_ID\n", "SET EVT_ENA FW_UPGRADE_STATUS ON\n",
                                        "SET FW_UPGRADE FPGA 1036 STD\n"}));
    expectEveryHandleClosedOnce(run);
}

// The request's options, the number of stages shown and the reboot notice follow the
// two flags, whichever way they are given.
TEST(UpdateSuccess, FlagsShapeTheRequestTheStagesAndTheRebootNotice) {
    struct Case {
        std::vector<std::string> flags;
        bool skipVerify;
        bool reconfigure;
    };
    const std::string file = patternBytes(1000, 7);
    const std::string path = imageFile(file);
    for (const Case& c : std::vector<Case>{{{}, false, false},
                                           {{"-v"}, true, false},
                                           {{"--reconfigure"}, false, true},
                                           {{"-r", "--skip_verify"}, true, true}}) {
        SCOPED_TRACE(testing::PrintToString(c.flags));
        const FifoDump dump;
        const ProgramRun run = runUpdater(updateArgs("FPGA", "GOLD", path, "1", c.flags),
                                          onBench(oneCardScenario(kQuickCard), {dump.env()}));
        const int stages = c.skipVerify ? 3 : 4;
        const std::string request = upgradeRequest("FPGA", 1032, "GOLD", c.skipVerify, c.reconfigure);

        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(maskTimes(run.out),
                  preamble(request) + quickCardBars(stages) + successLines(c.reconfigure) + durationTable(stages));
        EXPECT_EQ(uartCommands(run.callLog).back(), request);
        EXPECT_EQ(dump.received(), expectedUploadImage(file, "FPGA"));
        expectEveryHandleClosedOnce(run);
    }
}

// The announced size is the whole upload image: header and padding included.
TEST(UpdateSuccess, OneByteFileIsAnnouncedAsThirtySixBytes) {
    const FifoDump dump;
    const ProgramRun run = runUpdater(updateArgs("SW", "GOLD", imageFile("\x5A"), "1", {"-v"}),
                                      onBench(oneCardScenario(kQuickCard), {dump.env()}));

    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(uartCommands(run.callLog).back(), "SET FW_UPGRADE SW 36 GOLD SKIP_VERIFY\n");
    const std::string expected = std::string("NEXIR-SW    ") + littleEndian32(4) +
                                 littleEndian32(referenceCrc32("\x5A\xFF\xFF\xFF")) + std::string(12, '\0') +
                                 "\x5A\xFF\xFF\xFF";
    EXPECT_EQ(dump.received(), expected);
    expectEveryHandleClosedOnce(run);
}

TEST(UpdateSuccess, EmptyFileIsAHeaderAloneWrittenInOneCall) {
    const FifoDump dump;
    const ProgramRun run = runUpdater(updateArgs("SW", "STD", imageFile("")),
                                      onBench(oneCardScenario(kQuickCard), {dump.env()}));

    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(maskTimes(run.out),
              preamble("SET FW_UPGRADE SW 32 STD\n") + quickCardBars(4) + successLines() + durationTable(4));
    // Payload length 0, and the CRC of nothing is 0.
    EXPECT_EQ(dump.received(), std::string("NEXIR-SW    ") + std::string(20, '\0'));
    const auto writes = callsOn(run.callLog, "FT_Write", kFifoDevice);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].value("requested", 0), 32);
    EXPECT_EQ(writes[0].value("written", 0), 32);
    expectEveryHandleClosedOnce(run);
}

// A write that reports success for fewer bytes than it was given is not the end of the
// transfer: the rest follows, and the card gets the image whole.
TEST(UpdateSuccess, ShortWriteIsFollowedByTheRest) {
    const std::string file = patternBytes(5000, 3);
    const std::string image = expectedUploadImage(file, "SW");
    const FifoDump dump;
    const char card[] = R"({"event_interval_ms": 100, "stage_ms": [200, 400, 200], "short_write": 1000})";
    const ProgramRun run =
        runUpdater(updateArgs("SW", "STD", imageFile(file)), onBench(oneCardScenario(card), {dump.env()}));

    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(maskTimes(run.out),
              preamble("SET FW_UPGRADE SW 5032 STD\n") + quickCardBars(4) + successLines() + durationTable(4));
    EXPECT_EQ(dump.received(), image);
    const auto writes = callsOn(run.callLog, "FT_Write", kFifoDevice);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].value("requested", 0), 5032);
    EXPECT_EQ(writes[0].value("written", 0), 4032);
    EXPECT_EQ(writes[1].value("requested", 0), 1000);
    EXPECT_EQ(writes[1].value("written", 0), 1000);
    expectEveryHandleClosedOnce(run);
}

// A card that takes a large image at a finite rate, in pieces, with progress in the
// upload stage; the bundled demo image is what a user would try first.
TEST(UpdateSuccess, LargeImageAtAFiniteRateArrivesWhole) {
    const std::string path = benchAssetPath("images/nexir-fpga-demo.bin");
    const std::string file = readFile(path);
    ASSERT_FALSE(file.empty());
    const std::string image = expectedUploadImage(file, "FPGA");
    const FifoDump dump;
    // 786 464 bytes at 2 MB/s: about 0.4 s of upload.
    const char card[] = R"({"rate_bytes_per_s": 2000000, "event_interval_ms": 100, "stage_ms": [200, 400, 200]})";
    const ProgramRun run =
        runUpdater(updateArgs("FPGA", "STD", path, "1", {"-r"}), onBench(oneCardScenario(card), {dump.env()}));

    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    int uploadBars = 0;
    const std::string rest = withoutUploadBars(maskTimes(run.out), 4, &uploadBars);
    EXPECT_GE(uploadBars, 3) << "the upload stage shows progress while the image goes out";
    const std::string afterUpload = quickCardBars(4).substr(bar(1, 100, 4).size());
    EXPECT_EQ(rest, preamble(upgradeRequest("FPGA", image.size(), "STD", false, true)) + afterUpload +
                        successLines(true) + durationTable(4));
    // The upload stage ends at 100 %, drawn with every cell done.
    EXPECT_NE(run.out.find(bar(1, 100, 4) + bar(2, 0, 4)), std::string::npos);

    EXPECT_EQ(dump.received(), image);
    long written = 0;
    for (const auto& write : callsOn(run.callLog, "FT_Write", kFifoDevice)) {
        EXPECT_EQ(write.value("status", -1), 0);
        written += write.value("written", 0L);
    }
    EXPECT_EQ(written, static_cast<long>(image.size()));
    expectEveryHandleClosedOnce(run);
}
