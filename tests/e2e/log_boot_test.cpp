// `log` and `boot` against virtual racks: discovery's pairing and messages, the card's
// channel set-up, slot identification, hostile answers, and the lines a script reads.
#include "fixture.h"

using namespace e2e;
using namespace std::string_literals;

namespace {
const std::string kNoReadyCards = "error: no available and ready NEXIR cards detected, exiting...\n";
const std::string kNoCardFound = "error: Failed to find any NEXIR cards that are ready to update\n";
const std::string kCannotRetrieve =
    "Error: Cannot retrieve the slot ID of the card. Close NEXIR updater and try again in a few minutes\n";
const std::string kIssue = "error: Issue found with card NX0001A update functions not available at this time\n";
}  // namespace

// The golden transcript of a `log`: one line per card in list order, each asked its slot
// during discovery, then its FPGA and software versions. On the bus the list's order is
// the driver's.
TEST(Log, GoldenRun) {
    for (Face face : faces()) {
        SCOPED_TRACE(faceName(face));
        const ProgramRun run = runLog(bundled("rack.json"), face);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(inListOrder(face, run.out),
                  "1 serial: NX21A0417A fpga:1.7.3 sw:3.2.0\n3 serial: NX23C1102A fpga:2.1.0 sw:3.4.1\n");
        EXPECT_EQ(run.err, "");
        if (face == Face::Usb) continue;
        EXPECT_EQ(uartCommands(run.callLog),
                  (std::vector<std::string>{"GET HW_SLOT_ID\n", "GET HW_SLOT_ID\n", "GET HW_FW_VER\n",
                                            "GET HW_SW_VER\n", "GET HW_FW_VER\n", "GET HW_SW_VER\n"}));
        EXPECT_EQ(handleProblems(run.callLog), "");
    }
}

// Both channels set up in order, channel B (listed first) still the UART; the EEPROM's
// clear FIFO flag set, all else left as read; the FIFO closed first.
TEST(Log, ConfiguresBothChannelsInOrderAndClosesFifoFirst) {
    std::string scenario = bundled("channel_b_first.json");
    const ProgramRun run = runLog(scenario.insert(scenario.find(R"("upgrade")"), R"("eeprom": {"fifo_flag": 0}, )"));
    EXPECT_EQ(run.out, "4 serial: NX0001A fpga:2.1.0 sw:1.4.2\n");
    std::vector<std::string> calls;
    for (const json& call : callsOf(run.callLog)) {
        const std::string fn = call["fn"];
        if (fn != "FT_GetStatus" && fn != "FT_Read" && fn != "FT_Write") calls.push_back(call.dump());
    }
    EXPECT_EQ(
        calls,
        (std::vector<std::string>{
            R"({"count":2,"dev":-1,"fn":"FT_CreateDeviceInfoList","status":0})",
            R"({"count":2,"dev":-1,"fn":"FT_GetDeviceInfoList","status":0})", R"({"dev":0,"fn":"FT_Open","status":0})",
            R"({"dev":0,"fn":"FT_ResetPort","status":17})", R"({"dev":0,"fn":"FT_SetLatencyTimer","ms":16,"status":0})",
            R"({"baud":115200,"dev":0,"fn":"FT_SetBaudRate","status":0})",
            R"({"dev":0,"flow":256,"fn":"FT_SetFlowControl","status":0,"xoff":0,"xon":0})",
            R"({"dev":0,"fn":"FT_SetDataCharacteristics","parity":0,"status":0,"stop":0,"word":8})",
            R"({"dev":0,"fn":"FT_Purge","mask":3,"status":0})",
            R"({"dev":0,"fn":"FT_SetTimeouts","read":10000,"status":0,"write":10000})",
            R"({"dev":1,"fn":"FT_Open","status":0})",
            R"({"dev":1,"fifo_flag":0,"fn":"FT_EE_Read","status":0,"version":5})",
            R"({"dev":1,"fifo_flag":1,"fn":"FT_EE_Program","others_unchanged":true,"status":0})",
            R"({"dev":1,"fn":"FT_ResetPort","status":17})", R"({"dev":1,"fn":"FT_SetLatencyTimer","ms":16,"status":0})",
            R"({"dev":1,"fn":"FT_Purge","mask":3,"status":0})", R"({"dev":1,"fn":"FT_Close","status":0})",
            R"({"dev":0,"fn":"FT_Close","status":0})"}));
}

// Unknown channel letters ("NX" ends in X) and a channel A too short to carry its
// numbers are named; serials that differ before their last character never pair;
// a card that cannot tell its slot is dropped, a silent one after a second, its time-out
// no longer; so is one whose driver keeps claiming bytes it then fails to deliver (no spin
// either), or whose UART does not open (another program holds it); an answer of
// megabytes without a line feed is shown once. The cases that are cards on a bus run on
// both faces.
TEST(Log, DevicesThatFormNoReadyCard) {
    const std::string noCard = R"({"devices": [
        {"description": "KRO_NX|2.1 C", "serial": "NX0001C"}, {"description": "NXA", "serial": "NX0002A"},
        {"description": "NX", "serial": "NX0002B"}, {"description": "KRO_NX|2.1 A", "serial": "NX0003A"},
        {"description": "KRO_NX|2.1 B", "serial": "NX0004B"}, {"description": "N", "serial": "NX0005A"},
        {"description": "", "serial": ""}]})";
    const std::string unrecognised = "error: NEXIR channel not recognised\n";
    const std::string dropped = kIssue + kNoCardFound + kNoReadyCards;
    const std::string flood(4 << 20, 'x');
    const std::vector<std::tuple<std::string, std::string, double, bool>> cases = {
        {bundled("no_devices.json"), "error: no FTDI devices detected\n" + kNoReadyCards, 0, false},
        {bundled("devices_255.json"), "error: too many FTDI devices detected\n" + kNoReadyCards, 0, false},
        {bundled("lone_channel_a.json"), kNoCardFound + kNoReadyCards, 0, false},
        {noCard, unrecognised + unrecognised + unrecognised + kNoCardFound + kNoReadyCards, 0, false},
        {bundled("error_answer.json"), kCannotRetrieve + dropped, 0, true},
        {bundled("invalid_slot.json"), "Error: Slot index invalid for card1\n" + dropped, 0, true},
        {bundled("silent_card.json"), kCannotRetrieve + dropped, 1.0, true},
        {bundled("uart_open_fails.json"), kHeld + kNoCardFound + kNoReadyCards, 0, true},
        {oneCardScenario(kQuickCard, "", R"("faults": [{"function": "FT_Read", "device": 1, "status": 4,
                                                        "times": "always"}])"),
         kCannotRetrieve + dropped, 1.0, false},
        {oneCardScenario(kQuickCard, R"("answers": {"GET HW_SLOT_ID": ")" + flood + R"("})"),
         "info: Partial response while reading uart message : '" + flood + "'\n" + kCannotRetrieve + dropped, 0, false},
    };
    for (Face face : faces()) {
        for (const auto& [scenario, out, minSeconds, onBus] : cases) {
            if (face == Face::Usb && !onBus) continue;
            SCOPED_TRACE(faceName(face) + (": " + out.substr(0, 200)));
            const ProgramRun run = runLog(scenario, face);
            EXPECT_EQ(run.out, out);
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_GE(run.seconds, minSeconds);
            if (minSeconds > 0) {
                // A poll that waited on the bus would stretch the second to half a minute.
                EXPECT_LT(run.seconds, minSeconds + 10) << "a time-out took longer than its length";
            }
            if (face == Face::D2xx) {
                EXPECT_EQ(handleProblems(run.callLog), "");
            }
        }
    }
}

// Cards listed behind 253 other devices, beside a card dropped for its slot answer, a
// UART whose set-up failed or an EEPROM that cannot be read, and version answers that
// come in pieces, time out, or carry NUL and high bytes.
TEST(Log, CardsFoundBesideProblems) {
    std::string faultyTimeouts = bundled("rack.json");
    faultyTimeouts.insert(
        faultyTimeouts.rfind('}'),
        R"(, "faults": [{"function": "FT_SetTimeouts", "device": 1, "status": 4, "times": "always"}])");
    const std::pair<std::string, std::string> cases[] = {
        {bundled("devices_254.json"), "2 serial: NX0254A fpga:2.1.0 sw:1.4.2\n"},
        {rack(cardDevices("bad") + ", " + cardDevices("good", "NX0002"), R"(
            "bad": {"answers": {"GET HW_SLOT_ID": ["RGET HW_SLOT_ID ", {"data": "9\n", "delay_ms": 20}]}},
            "good": {"slot": "1 extra", "fpga_version": "2.0.0", "sw_version": "1.0.0"})"),
         "Error: Slot index invalid for card1\n" + kIssue + "2 serial: NX0002A fpga:2.0.0 sw:1.0.0\n"},
        {faultyTimeouts, "error: could not open UART channel for index <1> error <4>\n" + kCannotRetrieve +
                             "error: Issue found with card NX21A0417A update functions not available at this time\n"
                             "3 serial: NX23C1102A fpga:2.1.0 sw:3.4.1\n"},
        {bundled("eeprom_read_fails.json"), "error: could not read EEPROM\n1 serial: NX0001A fpga:1.0.0 sw:1.0.0\n"},
        {rack(cardDevices("card"), R"("card": {"slot": 1, "answers": {
            "GET HW_FW_VER": ["RGET HW_", {"data": "FW_VER 3.0\u0000\u00e9", "delay_ms": 20}, {"data": "\r\n", "delay_ms": 20}],
            "GET HW_SW_VER": "RGET HW_SW_VER abc"}})"),
         "info: Partial response while reading uart message : 'RGET HW_SW_VER abc'\n"
         "2 serial: NX0001A fpga:3.0\0\xc3\xa9\r sw:TIMEOUT\n"s},
    };
    for (const auto& [scenario, out] : cases) {
        const ProgramRun run = runLog(scenario);
        EXPECT_EQ(run.out, out);
        EXPECT_EQ(run.exitCode, 0) << out;
        EXPECT_EQ(handleProblems(run.callLog), "") << out;
    }
}

// A baud rate the driver refuses (the bench refuses 0) leaves every card's UART closed
// and unasked, each card named once; the FIFO channel is still opened and closed.
TEST(Log, ARefusedBaudRateLeavesTheCardsUnasked) {
    const ProgramRun run = runOn(bundled("rack.json"), {"log", "-b", "0"});
    std::string out;
    for (const char* serial : {"NX21A0417A", "NX23C1102A"}) {
        out += "error: card "s + serial + ": the D2XX driver refused the baud rate 0 (D2XX status 7)\n" +
               "error: Issue found with card " + serial + " update functions not available at this time\n";
    }
    EXPECT_EQ(run.out, out + kNoCardFound + kNoReadyCards);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(uartCommands(run.callLog), std::vector<std::string>{});
    EXPECT_EQ(callsOf(run.callLog, "FT_SetFlowControl").size(), 0u);
    EXPECT_EQ(handleProblems(run.callLog), "");
}

// `boot` only finds the cards and releases them, with its own baud rate. Standard error
// says that the choice went nowhere.
TEST(Boot, ReleasesTheCardsAndSendsNothingOfItsOwn) {
    ProgramRun run = runOn(bundled("rack.json"), {"boot", "-b", "57600", "-i", "gold", "-n"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "notice: the boot image choice (gold, now) was not sent: the cards offer no command for it, so nothing "
              "was changed\n");
    EXPECT_EQ(uartCommands(run.callLog), (std::vector<std::string>{"GET HW_SLOT_ID\n", "GET HW_SLOT_ID\n"}));
    for (const json& call : callsOf(run.callLog, "FT_SetBaudRate")) EXPECT_EQ(call["baud"], 57600);
    EXPECT_EQ(handleProblems(run.callLog), "");

    run = runOn(bundled("no_devices.json"), {"boot", "-b", "115200", "-i", "std"});
    EXPECT_EQ(run.out, "error: no FTDI devices detected\n" + kNoReadyCards);
    EXPECT_EQ(run.exitCode, 1);
}
