// `log` and `boot` against virtual racks: discovery's pairing and messages, the card's
// channel set-up, slot identification, and the exact lines a script reads.
#include "fixture.h"

using namespace e2e;

namespace {

const std::string kNoReadyCards = "error: no available and ready NEXIR cards detected, exiting...\n";
const std::string kNoCardFound = "error: Failed to find any NEXIR cards that are ready to update\n";
const std::string kCannotRetrieve =
    "Error: Cannot retrieve the slot ID of the card. Close NEXIR updater and try again in a few minutes\n";
const std::string kIssue = "error: Issue found with card NX0001A update functions not available at this time\n";

}  // namespace

TEST(Log, PrintsOneExactLinePerCardInListOrder) {
    const ProgramRun run = runLog(bundled("rack.json"));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out,
              "1 serial: NX21A0417A fpga:1.7.3 sw:3.2.0\n"
              "3 serial: NX23C1102A fpga:2.1.0 sw:3.4.1\n");
    EXPECT_EQ(run.err, "");
    // Each card is asked its slot during discovery, then FPGA before software version.
    EXPECT_EQ(uartCommands(run.callLog),
              (std::vector<std::string>{"GET HW_SLOT_ID\n", "GET HW_SLOT_ID\n", "GET HW_FW_VER\n",
                                        "GET HW_SW_VER\n", "GET HW_FW_VER\n", "GET HW_SW_VER\n"}));
    expectEveryHandleClosedOnce(run);
}

TEST(Log, ConfiguresBothChannelsInOrderAndClosesFifoFirst) {
    const ProgramRun run = runLog(bundled("channel_b_first.json"));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "4 serial: NX0001A fpga:2.1.0 sw:1.4.2\n");
    // Channel B (index 0) stands first in the list but is still the UART channel.
    const std::vector<std::string> expected = {
        R"({"count":2,"dev":-1,"fn":"FT_CreateDeviceInfoList","status":0})",
        R"({"count":2,"dev":-1,"fn":"FT_GetDeviceInfoList","status":0})",
        R"({"dev":0,"fn":"FT_Open","status":0})",
        R"({"dev":0,"fn":"FT_ResetPort","status":17})",
        R"({"dev":0,"fn":"FT_SetLatencyTimer","ms":16,"status":0})",
        R"({"baud":115200,"dev":0,"fn":"FT_SetBaudRate","status":0})",
        R"({"dev":0,"flow":256,"fn":"FT_SetFlowControl","status":0,"xoff":0,"xon":0})",
        R"({"dev":0,"fn":"FT_SetDataCharacteristics","parity":0,"status":0,"stop":0,"word":8})",
        R"({"dev":0,"fn":"FT_Purge","mask":3,"status":0})",
        R"({"dev":0,"fn":"FT_SetTimeouts","read":10000,"status":0,"write":10000})",
        R"({"dev":1,"fn":"FT_Open","status":0})",
        R"({"dev":1,"fifo_flag":1,"fn":"FT_EE_Read","status":0,"version":5})",
        R"({"dev":1,"fn":"FT_ResetPort","status":17})",
        R"({"dev":1,"fn":"FT_SetLatencyTimer","ms":16,"status":0})",
        R"({"dev":1,"fn":"FT_Purge","mask":3,"status":0})",
    };
    std::vector<std::string> calls;
    for (const json& call : callsOf(run.callLog)) {
        const bool emptyPoll =
            call["fn"] == "FT_GetStatus" && call.value("rx", 0) == 0 && call.value("status", 0) == 0;
        if (!emptyPoll && calls.size() < expected.size()) calls.push_back(call.dump());
    }
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(dumps(callsOf(run.callLog, "FT_Close")),
              (std::vector<std::string>{R"({"dev":1,"fn":"FT_Close","status":0})",
                                        R"({"dev":0,"fn":"FT_Close","status":0})"}));
}

TEST(Log, FlowControlFollowsTheMajorNumber) {
    const ProgramRun run = runLog(bundled("four_cards.json"));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out,
              "1 serial: NX0001A fpga:2.1.0 sw:1.4.2\n2 serial: NX0002A fpga:2.1.0 sw:1.4.2\n"
              "3 serial: NX0003A fpga:1.0.9 sw:1.3.0\n4 serial: NX0004A fpga:1.0.9 sw:1.3.0\n");
    std::vector<std::pair<int, int>> flows;
    for (const json& call : callsOf(run.callLog, "FT_SetFlowControl")) {
        flows.emplace_back(call["dev"].get<int>(), call["flow"].get<int>());
    }
    EXPECT_EQ(flows, (std::vector<std::pair<int, int>>{{1, 256}, {3, 256}, {5, 0}, {7, 0}}));
}

TEST(Log, DevicesThatFormNoReadyCard) {
    struct Case {
        std::string scenario;
        std::string out;
        const char* neverCalled;
    };
    // Unknown channel letters ("NX" ends in X) and a channel A too short to carry its
    // numbers are named; serials that differ before their last character never pair;
    // a card that cannot tell its slot is dropped.
    const std::string noCard = R"({"devices": [
        {"description": "KRO_NX|2.1 C", "serial": "NX0001C"}, {"description": "NXA", "serial": "NX0002A"},
        {"description": "NX", "serial": "NX0002B"}, {"description": "KRO_NX|2.1 A", "serial": "NX0003A"},
        {"description": "KRO_NX|2.1 B", "serial": "NX0004B"}, {"description": "N", "serial": "NX0005A"},
        {"description": "", "serial": ""}]})";
    const std::string unrecognised = "error: NEXIR channel not recognised\n";
    for (const Case& c : std::vector<Case>{
             {bundled("no_devices.json"), "error: no FTDI devices detected\n" + kNoReadyCards, "FT_Open"},
             {bundled("devices_255.json"), "error: too many FTDI devices detected\n" + kNoReadyCards,
              "FT_GetDeviceInfoList"},
             {bundled("lone_channel_a.json"), kNoCardFound + kNoReadyCards, "FT_Open"},
             {noCard, unrecognised + unrecognised + unrecognised + kNoCardFound + kNoReadyCards, "FT_Open"},
             {bundled("error_answer.json"), kCannotRetrieve + kIssue + kNoCardFound + kNoReadyCards, nullptr},
             {bundled("invalid_slot.json"),
              "Error: Slot index invalid for card1\n" + kIssue + kNoCardFound + kNoReadyCards, nullptr},
         }) {
        SCOPED_TRACE(c.out);
        const ProgramRun run = runLog(c.scenario);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.exitCode, 1);
        if (c.neverCalled) {
            EXPECT_TRUE(callsOf(run.callLog, c.neverCalled).empty());
        }
        expectEveryHandleClosedOnce(run);
    }
}

TEST(Log, SilentCardCostsOneSecondPerQueryAndIsDropped) {
    const ProgramRun run = runLog(bundled("silent_card.json"));
    EXPECT_EQ(run.out, kCannotRetrieve + kIssue + kNoCardFound + kNoReadyCards);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_GE(run.seconds, 1.0);
    EXPECT_LT(run.seconds, 5.0);
}

TEST(Log, CardsFoundBehindManyDevicesOrOddAnswers) {
    ProgramRun run = runLog(bundled("devices_254.json"));
    EXPECT_EQ(run.out, "2 serial: NX0254A fpga:2.1.0 sw:1.4.2\n");
    EXPECT_EQ(run.exitCode, 0);

    // A second card behind a dropped one is still found.
    run = runLog(rack(cardDevices("bad") + ", " + cardDevices("good", "NX0002"), R"(
        "bad": {"answers": {"GET HW_SLOT_ID": ["RGET HW_SLOT_ID ", {"data": "9\n", "delay_ms": 20}]}},
        "good": {"slot": "1 extra", "fpga_version": "2.0.0", "sw_version": "1.0.0"})"));
    EXPECT_EQ(run.out, "Error: Slot index invalid for card1\n" + kIssue + "2 serial: NX0002A fpga:2.0.0 sw:1.0.0\n");
    EXPECT_EQ(run.exitCode, 0);

    // Version answers that time out or come in pieces.
    run = runLog(rack(cardDevices("card"), R"("card": {"slot": 1, "answers": {
        "GET HW_FW_VER": ["RGET HW_", {"data": "FW_VER 3.0", "delay_ms": 20}, {"data": "\r\n", "delay_ms": 20}],
        "GET HW_SW_VER": "RGET HW_SW_VER abc"}})"));
    EXPECT_EQ(run.out,
              "info: Partial response while reading uart message : 'RGET HW_SW_VER abc'\n"
              "2 serial: NX0001A fpga:3.0\r sw:TIMEOUT\n");
    EXPECT_EQ(run.exitCode, 0);
}

TEST(Log, EepromFlagIsProgrammedOnlyWhenClear) {
    ProgramRun run = runLog(bundled("eeprom_flag_clear.json"));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(dumps(callsOf(run.callLog, "FT_EE_Program")),
              (std::vector<std::string>{
                  R"({"dev":0,"fifo_flag":1,"fn":"FT_EE_Program","others_unchanged":true,"status":0})"}));

    run = runLog(bundled("rack.json"));
    EXPECT_TRUE(callsOf(run.callLog, "FT_EE_Program").empty());

    // A failed read is reported, nothing is written, and the FIFO set-up still happens.
    run = runLog(bundled("eeprom_read_fails.json"));
    EXPECT_EQ(run.out, "error: could not read EEPROM\n1 serial: NX0001A fpga:1.0.0 sw:1.0.0\n");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(callsOf(run.callLog, "FT_EE_Program").empty());
    EXPECT_EQ(callsOf(run.callLog, "FT_Purge").size(), 2u);
}

TEST(Log, UartChannelThatCannotBeOpenedOrSetUp) {
    ProgramRun run = runLog(bundled("uart_open_fails.json"));
    EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 1),
              "error: could not open UART channel for index <1> error <1>\n");
    EXPECT_EQ(run.exitCode, 1);
    // Only the FIFO channel was open, and only it is closed.
    EXPECT_EQ(dumps(callsOf(run.callLog, "FT_Close")),
              (std::vector<std::string>{R"({"dev":0,"fn":"FT_Close","status":0})"}));

    std::string scenario = bundled("rack.json");
    scenario.insert(scenario.rfind('}'),
                    R"(, "faults": [{"function": "FT_SetTimeouts", "device": 1, "status": 4, "times": "always"}])");
    run = runLog(scenario);
    EXPECT_EQ(run.out.substr(0, run.out.find('\n') + 1),
              "error: could not open UART channel for index <1> error <4>\n");
    EXPECT_NE(run.out.find("3 serial: NX23C1102A fpga:2.1.0 sw:3.4.1\n"), std::string::npos);
    expectEveryHandleClosedOnce(run);
}

TEST(Boot, ReleasesTheCardsAndSendsNothingOfItsOwn) {
    ProgramRun run = runOn(bundled("rack.json"), {"boot", "-b", "115200", "-i", "gold", "-n"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(uartCommands(run.callLog), (std::vector<std::string>{"GET HW_SLOT_ID\n", "GET HW_SLOT_ID\n"}));
    expectEveryHandleClosedOnce(run);

    run = runOn(bundled("no_devices.json"), {"boot", "-b", "115200", "-i", "std"});
    EXPECT_EQ(run.out, "error: no FTDI devices detected\n" + kNoReadyCards);
    EXPECT_EQ(run.exitCode, 1);

    // Each command uses its own baud rate.
    run = runOn(bundled("channel_b_first.json"), {"boot", "-b", "57600", "-i", "std"});
    EXPECT_EQ(dumps(callsOf(run.callLog, "FT_SetBaudRate")),
              (std::vector<std::string>{R"({"baud":57600,"dev":0,"fn":"FT_SetBaudRate","status":0})"}));
}
