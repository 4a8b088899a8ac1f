// Event lines the card sends besides its regular progress: numbers that do not convert,
// lines that are not status events, and status events the display cannot show. None of
// them stops an update that otherwise succeeds.
#include "fixture.h"

using namespace e2e;

const char kMalformed[] = "Malformed response. Looking for 2 param response FW_UPGRADE_STATUS, got: '";

// While the image is still going out (a 1.5 s upload, events every 100 ms, the extra
// lines between two ticks).
TEST(UpdateEvents, OddLinesDuringTheTransferAreReportedAndTheUpdateGoesOn) {
    const std::string file = patternBytes(300 * 1000);
    const std::string image = expectedUploadImage(file, "FPGA");
    const std::string card = R"({
      "rate_bytes_per_s": 200000, "event_interval_ms": 100, "stage_ms": [0, 0, 0],
      "extra_lines": [
        {"stage": 1, "at_ms": 250, "data": "EVT FW_UPGRADE_STATUS DONE\n"},
        {"stage": 1, "at_ms": 350, "data": "EVT FW_UPGRADE_STATUS 1 abc\n"},
        {"stage": 1, "at_ms": 450, "data": "EVT FW_UPGRADE_STATUS x 10\n"},
        {"stage": 1, "at_ms": 550, "data": "EVT FW_UPGRADE_STATUS 1 99999999999\n"},
        {"stage": 1, "at_ms": 650, "data": "EVT FW_UPGRADE_STATUS 2147483648 10\n"},
        {"stage": 1, "at_ms": 750, "data": "EVT SOMETHING_ELSE 1 2\n"},
        {"stage": 1, "at_ms": 850, "data": "EVT FW_UPGRADE_STATUS 1 10\nEVT FW_UPGRADE_STATUS 1 20\n"}
      ]})";
    const FifoDump dump;
    const ProgramRun run = runOn(oneCardScenario(card), updateArgs("FPGA", "STD", imageFile(file)), {dump.env()});

    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err,
              "Error: Invalid argument: invalid stoi argument\n"
              "Error: Invalid argument: invalid stoi argument\n"
              "Error: Out of range: stoi argument out of range\n"
              "Error: Out of range: stoi argument out of range\n");
    // A DONE before the image is out is no success; two lines in one read are two events.
    EXPECT_EQ(withoutUploadBars(maskTimes(run.out), 4),
              preamble(upgradeRequest("FPGA", image.size(), "STD")) + "Error: " + kMalformed +
                  "EVT FW_UPGRADE_STATUS DONE\n'\n" + bar(2, 100, 4) + bar(3, 100, 4) +
                  bar(4, 100, 4) + successLines() + durationTable(4));
    // The lines really came while the transfer ran: the upload bars surround them.
    const auto firstOdd = run.out.find("Error: Malformed");
    EXPECT_NE(run.out.find("Uploading update", firstOdd), std::string::npos);
    EXPECT_EQ(dump.received(), image);
    expectEveryHandleClosedOnce(run);
}

// After the transfer (the card takes the image at once; 100 ms ticks, each stage 0 %,
// 50 %, 100 %; the extra lines 50 ms after a tick).
TEST(UpdateEvents, NumbersThatDoNotConvertAfterTheTransferAreDropped) {
    const std::string card = R"({
      "event_interval_ms": 100, "stage_ms": [200, 200, 200],
      "extra_lines": [
        {"stage": 2, "at_ms": 150, "data": "EVT FW_UPGRADE_STATUS 2 abc\n"},
        {"stage": 2, "at_ms": 250, "data": "EVT FW_UPGRADE_STATUS y 10\n"},
        {"stage": 3, "at_ms": 150, "data": "EVT FW_UPGRADE_STATUS 3 99999999999\n"},
        {"stage": 3, "at_ms": 250, "data": "EVT FW_UPGRADE_STATUS 99999999999 abc\n"},
        {"stage": 4, "at_ms": 150, "data": "EVT FW_UPGRADE_STATUS 4 -2147483649\n"}
      ]})";
    const ProgramRun run = runOn(oneCardScenario(card), updateArgs("SW", "STD", imageFile(patternBytes(1000))));

    EXPECT_EQ(run.exitCode, 0);
    // The percentage is converted first: "99999999999 abc" fails on "abc".
    EXPECT_EQ(run.err,
              "Error1: Invalid argument: invalid stoi argument\n"
              "Error1: Invalid argument: invalid stoi argument\n"
              "Error1: Out of range: stoi argument out of range\n"
              "Error1: Invalid argument: invalid stoi argument\n"
              "Error1: Out of range: stoi argument out of range\n");
    std::string bars = bar(1, 100, 4);
    for (int stage = 2; stage <= 4; ++stage) {
        for (int percent : {0, 50, 100}) bars += bar(stage, percent, 4);
    }
    EXPECT_EQ(maskTimes(run.out), preamble("SET FW_UPGRADE SW 1032 STD\n") + bars + successLines() + durationTable(4));
    expectEveryHandleClosedOnce(run);
}

// Status events outside what the display shows, with verification skipped (three
// stages). 100 ms ticks; stages 2 and 3 report 0, 33, 66 and 100 %.
TEST(UpdateEvents, DisplayCopesWithStagesAndPercentagesOutsideItsRange) {
    const std::string card = R"({
      "event_interval_ms": 100, "stage_ms": [300, 300, 300],
      "extra_lines": [
        {"stage": 2, "at_ms": 50,  "data": "EVT OTHER_EVENT 1 2\n"},
        {"stage": 2, "at_ms": 150, "data": "EVT FW_UPGRADE_STATUS 2 -5\n"},
        {"stage": 2, "at_ms": 250, "data": "EVT FW_UPGRADE_STATUS 4 50\n"},
        {"stage": 2, "at_ms": 350, "data": "EVT FW_UPGRADE_STATUS 2 10\nEVT FW_UPGRADE_STATUS 2 20\n"},
        {"stage": 3, "at_ms": 50,  "data": "hello\n"},
        {"stage": 3, "at_ms": 150, "data": "EVT FW_UPGRADE_STATUS 2 101\n"},
        {"stage": 3, "at_ms": 250, "data": "EVT FW_UPGRADE_STATUS 3 45%\n"},
        {"stage": 3, "at_ms": 350, "data": "EVT FW_UPGRADE_STATUS 0 10\n"}
      ]})";
    const ProgramRun run =
        runOn(oneCardScenario(card), updateArgs("FPGA", "GOLD", imageFile(patternBytes(1000)), "1", {"-v"}));

    EXPECT_EQ(run.exitCode, 0);
    // Stage 0 has no name: reported, and the line is drawn without one.
    EXPECT_EQ(run.err, "Error2: Out of range: invalid vector subscript\n");
    const std::string expected =
        preamble("SET FW_UPGRADE FPGA 1032 GOLD SKIP_VERIFY\n") + bar(1, 100, 3) +
        // (a four-word line that is no status event passes in silence)
        bar(2, 0, 3) +
        bar(2, 0, 3) +  // a negative percentage is drawn as 0
        bar(2, 33, 3) + "Unknown Stage = 4\n" + bar(2, 66, 3) + bar(2, 10, 3) + bar(2, 20, 3) + bar(2, 100, 3) +
        "Error2: " + kMalformed +
        "hello\n'\n" + bar(3, 0, 3) +
        // (above 100 % nothing is drawn)
        bar(3, 33, 3) + bar(3, 45, 3) + bar(3, 66, 3) + "\r[######" + std::string(44, ' ') + "] 10% step 0 of 3: " +
        bar(3, 100, 3) + successLines() + durationTable(3);
    EXPECT_EQ(maskTimes(run.out), expected);
    expectEveryHandleClosedOnce(run);
}
