// Whole updates against a virtual card: what the user sees, what the card is told and
// receives, and each way an update ends. Events and extra lines are scripted at least
// 250 ms apart, so that a busy machine never reads two of them as one answer.
#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>

#include "fixture.h"

using namespace e2e;

namespace {

const char kSubscribe[] = "SET EVT_ENA FW_UPGRADE_STATUS ON\n";
const std::string kSuccess = "\nUpdate Successful - Elapsed Time <m>mins <s>secs\n";

// Exit code, nothing on standard error, `out` once times are masked, the commands sent
// after the slot query, and every handle closed once.
void expectRun(const ProgramRun& run, int exitCode, const std::string& out, std::vector<std::string> sent) {
    EXPECT_EQ(run.exitCode, exitCode);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(maskTimes(run.out), out);
    sent.insert(sent.begin(), "GET HW_SLOT_ID\n");
    EXPECT_EQ(uartCommands(run.callLog), sent);
    EXPECT_EQ(handleProblems(run.callLog), "");
}

std::vector<std::pair<int, int>> fifoWrites(const ProgramRun& run) {
    std::vector<std::pair<int, int>> writes;
    for (const json& write : callsOf(run.callLog, "FT_Write", kFifoDevice)) {
        writes.emplace_back(write.value("requested", -1), write.value("written", -1));
    }
    return writes;
}

}  // namespace

// The golden transcript of an update, and the exact bytes that reach the card; its first
// write takes 1000 bytes less than it was given, and the rest follows. A stage shown once
// lasts 0; the others about as long as the card took. The image's path is not ASCII.
TEST(Update, GoldenRun) {
    const std::string file = patternBytes(1001);
    const std::string path = imageFile(file, "Größe/固件.bin");
    const std::string request = "SET FW_UPGRADE FPGA 1036 STD\n";
    std::string bars;  // the quick card's stages 2 to 4
    for (const auto& [stage, step] : {std::pair{2, 50}, std::pair{3, 25}, std::pair{4, 50}}) {
        for (int percent = 0; percent <= 100; percent += step) bars += bar(stage, percent, 4);
    }
    for (Face face : faces()) {
        SCOPED_TRACE(faceName(face));
        const ProgramRun run = runOn(face, oneCardScenario(R"({"event_interval_ms": 250, "stage_ms": [500, 1000, 500],
                                                               "short_write": 1000})"),
                                     updateArgs("FPGA", "STD", path));
        EXPECT_EQ(received(run), reference::uploadImage(file, "FPGA"));
        EXPECT_NE(run.out.find(">\n" + bar(1, 100, 4) + bar(2, 0, 4)), std::string::npos);
        EXPECT_NE(run.out.find("\nUploading update       >> 0 seconds.\n"), std::string::npos);
        EXPECT_EQ(run.out.find("\nWriting to flash       >> 0 seconds.\n"), std::string::npos);
        if (face == Face::Usb) {
            EXPECT_EQ(run.exitCode, 0);
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(maskTimes(run.out), preamble(request) + bars + kSuccess + durationTable(4));
            continue;
        }
        expectRun(run, 0, preamble(request) + bars + kSuccess + durationTable(4), {kSubscribe, request});
        EXPECT_EQ(fifoWrites(run), (std::vector<std::pair<int, int>>{{1036, 36}, {1000, 1000}}));
    }
}

// The request's options, the stages shown and the reboot notice follow the two flags.
TEST(Update, FlagsShapeTheRequestTheStagesAndTheRebootNotice) {
    const std::string path = imageFile(patternBytes(1000));
    for (const auto& [flags, request, ending] :
         std::vector<std::tuple<std::vector<std::string>, std::string, std::string>>{
             {{"-v"}, "SET FW_UPGRADE SW 1032 GOLD SKIP_VERIFY\n", "secs\n" + durationTable(3)},
             {{"--reconfigure"}, "SET FW_UPGRADE SW 1032 GOLD RECONFIG\n", "NEXIR Rebooting...\n" + durationTable(4)},
             {{"-r", "--skip_verify"},
              "SET FW_UPGRADE SW 1032 GOLD SKIP_VERIFY RECONFIG\n",
              "NEXIR Rebooting...\n" + durationTable(3)}}) {
        const ProgramRun run = runOn(oneCardScenario(), updateArgs("SW", "GOLD", path, "1", flags));
        EXPECT_EQ(uartCommands(run.callLog).back(), request);
        const std::string out = maskTimes(run.out);
        EXPECT_EQ(out.substr(out.size() - std::min(out.size(), ending.size())), ending) << request;
    }
}

// Slot digits 0 and 2 are slots "1" and "3"; of two cards in slot "3", the first. The
// other card is closed before the chosen one hears of the update, and was sent nothing
// but its slot query.
TEST(Update, GoesToTheFirstCardInTheSlotAlone) {
    const std::string file = patternBytes(2000);
    for (const auto& [leftSlot, chosen] : {std::pair{0, 1}, std::pair{2, 0}}) {
        const std::string names[] = {"left", "right"};
        const ProgramRun run =
            runOn(rack(cardDevices("left", "NX0417", "KRO_NX|1.3 ") + ", " + cardDevices("right", "NX1102"),
                       R"("left": {"slot": )" + std::to_string(leftSlot) + R"(, "upgrade": )" + kQuickCard +
                           R"(}, "right": {"slot": 2, "upgrade": )" + kQuickCard + "}"),
                  updateArgs("FPGA", "STD", imageFile(file), "3"));
        SCOPED_TRACE(names[chosen]);
        const int other = 1 - chosen;
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(received(run, names[chosen]), reference::uploadImage(file, "FPGA"));
        EXPECT_EQ(received(run, names[other]), "");
        std::string seen;  // the other card's writes and closes, then the subscription
        for (const json& call : callsOf(run.callLog)) {
            const int device = call.value("dev", -2);
            if (call.value("text", "") == kSubscribe) seen += "subscribed on " + std::to_string(device) + "\n";
            const std::string fn = call["fn"];
            if (device >= 0 && device / 2 == other && (fn == "FT_Write" || fn == "FT_Close")) {
                seen += fn + call.value("text", " ");
            }
        }
        EXPECT_EQ(seen.substr(seen.find("FT_Write")),
                  "FT_WriteGET HW_SLOT_ID\nFT_Close FT_Close subscribed on " + std::to_string(2 * chosen + 1) + "\n");
        EXPECT_EQ(handleProblems(run.callLog), "");
    }
}

// Four processes update slots 1 to 4 at once, on benches that share their opens: each card
// gets its own image, once, and from the process that asked for its slot only; those that
// came later found the earlier ones' cards held.
TEST(Update, FourSlotsSideBySide) {
    const RunOptions rack = sharing(bundled("four_cards.json"), makeTempDir());
    std::vector<std::string> images;
    std::vector<std::future<ProgramRun>> runs;
    int held = 0;  // runs that found cards held
    for (int slot = 1; slot <= 4; ++slot) {
        const std::string file = patternBytes(20000, std::uint32_t(slot)), path = imageFile(file);
        images.push_back(reference::uploadImage(file, "FPGA"));
        const auto args = updateArgs("FPGA", "STD", path, std::to_string(slot));
        runs.push_back(std::async(std::launch::async, [args, &rack] { return runUpdater(args, rack); }));
    }
    for (int slot = 1; slot <= 4; ++slot) {
        const ProgramRun run = runs[std::size_t(slot - 1)].get();
        EXPECT_EQ(run.exitCode, 0) << run.out;
        for (int card = 1; card <= 4; ++card) {
            EXPECT_EQ(received(run, std::string(1, char('a' + card - 1))),
                      card == slot ? images[std::size_t(slot - 1)] : "");
        }
        EXPECT_EQ(handleProblems(run.callLog), "");
        held += run.out.find("FTDI devices are in use by another program") != std::string::npos;
    }
    EXPECT_GE(held, 1);
}

// Two processes ask for slot 1 at once: the first to find the card updates it, the other
// finds it held and leaves without a word to it. A `log` meanwhile lists the three others.
TEST(Update, ACardAnotherProcessHoldsIsSkipped) {
    const RunOptions rack = sharing(bundled("rack_four.json"), makeTempDir());
    const auto args = updateArgs("FPGA", "STD", imageFile(patternBytes(20000)));
    const std::string dirs[] = {makeTempDir(), makeTempDir()};
    std::future<ProgramRun> updates[2];
    for (int i = 0; i < 2; ++i) {
        updates[i] = std::async(std::launch::async, [&, i] { return runUpdater(args, rack, {}, dirs[i]); });
    }
    const auto requested = [](const std::string& dir) {
        return readFile(dir + "/calls.jsonl").find("SET FW_UPGRADE") != std::string::npos;
    };
    for (int wait = 0; wait < 3000 && !requested(dirs[0]) && !requested(dirs[1]); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const ProgramRun log = runUpdater({"log", "-b", "115200"}, rack);
    EXPECT_EQ(log.exitCode, 0);
    EXPECT_EQ(log.out, kHeld +
                           "2 serial: NX0002A fpga:2.1.0 sw:1.4.2\n3 serial: NX0003A fpga:2.1.0 sw:1.4.2\n"
                           "4 serial: NX0004A fpga:2.1.0 sw:1.4.2\n");
    const ProgramRun runs[] = {updates[0].get(), updates[1].get()};
    const ProgramRun& other = runs[runs[0].exitCode == 0 ? 1 : 0];
    EXPECT_EQ(runs[0].exitCode + runs[1].exitCode, 1) << runs[0].out << runs[1].out;
    EXPECT_EQ(other.out, kHeld + "error: no cards found in specified slot\n");
    EXPECT_FALSE(sent(other, "SET FW_UPGRADE "));
    for (const ProgramRun& run : {log, runs[0], runs[1]}) EXPECT_EQ(handleProblems(run.callLog), "");
}

// Refused before the card hears of an update: a slot no card holds (compared as text),
// an empty file, one the system will not let us read (with its reason), a path that is
// no regular file, a file of 2 GiB or more (sparse, so it takes no room).
TEST(Update, RefusalsBeforeTheCardHearsOfIt) {
    const std::string huge = imageFile("");
    std::filesystem::resize_file(huge, std::uintmax_t{1} << 31);
    const std::string path = imageFile("image"), empty = imageFile("");
    const std::string noSlot = "error: no cards found in specified slot\n";
    const std::string tooLarge =
        "error: update file is too large (the limit is just under 2 GiB)\n" + durationTable(4, "0");
    const std::string twoCards = rack(cardDevices("left", "NX0417") + ", " + cardDevices("right", "NX1102"),
                                      R"("left": {"slot": 0}, "right": {"slot": 2})");
    std::vector<std::tuple<std::vector<std::string>, std::string, std::vector<std::string>>> cases = {
        {updateArgs("FPGA", "STD", huge, "3"), tooLarge, {}},
        {updateArgs("FPGA", "STD", empty, "3"),
         "error: update file " + empty + " is empty\n" + durationTable(4, "0"),
         {}}};
    for (const char* slot : {"2", "03", " 3", "3 ", "1\n", "\x1b[1"}) {
        cases.push_back({updateArgs("FPGA", "STD", path, slot), noSlot, {}});
    }
#if !defined(_WIN32)  // paths that are no regular files, and a file that only its owner may read
    const auto unread = [](const std::string& why) {
        return "error: could not read update file into memory\ninfo: " + why + "\n" + durationTable(4, "0");
    };
    const std::string fifo = makeTempDir() + "/image.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    cases.push_back({updateArgs("FPGA", "STD", fifo, "3"), unread(fifo + ": not a regular file"), {}});
    cases.push_back({updateArgs("FPGA", "STD", "/dev/zero", "3"), unread("/dev/zero: not a regular file"), {}});
    const std::string locked = imageFile("image", "locked.bin");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    // Root reads anything: the program runs without that privilege.
    const std::vector<std::string> unprivileged = {"setpriv", "--bounding-set", "-dac_override,-dac_read_search"};
    cases.push_back({updateArgs("FPGA", "STD", locked, "3"), unread(locked + ": " + std::strerror(EACCES)),
                     geteuid() == 0 ? unprivileged : std::vector<std::string>{}});
#endif
    for (const auto& [args, out, wrapper] : cases) {
        SCOPED_TRACE(args[8] + " in slot " + args[10]);
        const ProgramRun run = runOn(twoCards, args, wrapper);
        EXPECT_EQ(run.out, out);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(uartCommands(run.callLog), (std::vector<std::string>{"GET HW_SLOT_ID\n", "GET HW_SLOT_ID\n"}));
        EXPECT_EQ(handleProblems(run.callLog), "");
    }
}

// Lines besides the regular progress, while the image still goes out (2 s at 150 kB/s)
// and after it, with verification skipped (stages at 0, 33, 66, 100 %): a DONE before the
// image is out is no success, two lines read together are two events, a number that does
// not convert drops its event, another event passes in silence, the display gets stages
// and percentages outside its range as they come (a stage of -253 is its low eight bits,
// 3; a percentage of -5 is drawn as 0); the update goes on.
TEST(Update, OddLines) {
    const std::string file = patternBytes(300 * 1000);
    const ProgramRun run = runOn(oneCardScenario(R"({
      "rate_bytes_per_s": 150000, "event_interval_ms": 500, "stage_ms": [1500, 1500, 0], "extra_lines": [
        {"stage": 1, "at_ms": 250, "data": "EVT FW_UPGRADE_STATUS DONE\n"},
        {"stage": 1, "at_ms": 750, "data": "EVT FW_UPGRADE_STATUS 1 abc\n"},
        {"stage": 1, "at_ms": 1250, "data": "EVT FW_UPGRADE_STATUS 1 10\nEVT FW_UPGRADE_STATUS 1 20\n"},
        {"stage": 2, "at_ms": 250,  "data": "EVT OTHER_EVENT 1 2\n"},
        {"stage": 2, "at_ms": 750,  "data": "EVT FW_UPGRADE_STATUS 2 abc\n"},
        {"stage": 2, "at_ms": 1250, "data": "EVT FW_UPGRADE_STATUS 4 -5\n"},
        {"stage": 3, "at_ms": 250,  "data": "hello\n"},
        {"stage": 3, "at_ms": 750,  "data": "EVT FW_UPGRADE_STATUS 0 10\n"},
        {"stage": 3, "at_ms": 1250, "data": "EVT FW_UPGRADE_STATUS -253 -5\n"}]})"),
                                 updateArgs("FPGA", "GOLD", imageFile(file), "1", {"-v"}));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err,
              "Error: Invalid argument: invalid stoi argument\n"
              "Error1: Invalid argument: invalid stoi argument\n"
              "Error2: Out of range: invalid vector subscript\n");
    EXPECT_EQ(maskTimes(run.out), preamble("SET FW_UPGRADE FPGA 300032 GOLD SKIP_VERIFY\n") + "Error: " + kMalformed +
                                      "EVT FW_UPGRADE_STATUS DONE\n'\n" + bar(2, 0, 3) + bar(2, 33, 3) +
                                      "Unknown Stage = 4\n" + bar(2, 66, 3) + bar(2, 100, 3) + "Error2: " + kMalformed +
                                      "hello\n'\n" + bar(3, 0, 3) + bar(0, 10, 3) + bar(3, 33, 3) + bar(3, 0, 3) +
                                      bar(3, 66, 3) + bar(3, 100, 3) + kSuccess + durationTable(3));
    EXPECT_NE(run.out.find("Uploading update", run.out.find("Error: Malformed")), std::string::npos)
        << "the first lines came while the transfer ran";
    EXPECT_EQ(received(run), reference::uploadImage(file, "FPGA"));
}

// No byte goes out when the subscription answer is not exactly the OK line (ends in CR LF,
// or never comes), when the FIFO's last set-up call failed, or when the transfer task's
// thread cannot start (its stack does not fit the address space left); once the card
// has accepted the request, it is told to abort. An exception that reaches the top
// ends the run with its "error: " line, every handle closed.
TEST(Update, FailuresBeforeTheImageGoesOut) {
    const std::string path = imageFile(patternBytes(100));
    const std::string request = "SET FW_UPGRADE SW 132 STD\n", table = durationTable(4);
    const std::string subscribing = "Subscribing to upgrade events\nSubscription failed: '";
    std::vector<std::tuple<std::string, std::string, std::vector<std::string>, std::vector<std::string>>> cases = {
        {oneCardScenario(kQuickCard, R"("subscription_answer": "RSET EVT_ENA FW_UPGRADE_STATUS OK\r\n")"),
         subscribing + "RSET EVT_ENA FW_UPGRADE_STATUS OK\r\n'\n" + table,
         {kSubscribe},
         {}},
        {oneCardScenario(kQuickCard, R"("answers": {"SET EVT_ENA FW_UPGRADE_STATUS ON": null})"),
         subscribing + "TIMEOUT'\n" + table,
         {kSubscribe},
         {}},
        {oneCardScenario(kQuickCard, "", R"("faults": [{"function": "FT_Purge", "device": 0, "status": 4,
                                                        "times": "always"}])"),
         preamble(request) + "Error: Fifo is not ok\n" + kToldToAbort + table,
         {kSubscribe, request, kAbort},
         {}}};
#if !defined(_WIN32) && !defined(NEXIR_SANITIZED)  // the sanitizers need more address space
    cases.push_back({oneCardScenario(),
                     preamble(request) + kToldToAbort + table + "error: " + std::strerror(EAGAIN) + "\n",
                     {kSubscribe, request, kAbort},
                     {"prlimit", "--as=402653184", "--stack=1073741824", "--"}});
#endif
    for (const auto& [scenario, out, commands, wrapper] : cases) {
        const ProgramRun run = runOn(scenario, updateArgs("SW", "STD", path), wrapper);
        expectRun(run, 1, out, commands);
        EXPECT_TRUE(fifoWrites(run).empty());
    }
}

// A card that goes silent, or reports FAIL, while it still takes a long image (1 MiB
// at 128 KiB/s, eight seconds): the transfer stops at once, rather than being carried
// to its end. From a card that no longer takes any data, the write in progress is
// given up soon after the abort instead of blocking the program for good.
TEST(Update, SilenceOrFailDuringTheTransferStopsIt) {
    const std::string file = patternBytes(1 << 20), path = imageFile(file);
    const std::string image = reference::uploadImage(file, "FPGA");
    const std::string request = "SET FW_UPGRADE FPGA 1048608 STD\n";
    const std::string aborted =
        "\nError: Update timeout while waiting for file transfer, aborting automatically: "
        "RSET FW_ABORT_UPGRADE OK\n\nError: Update Failed\n" +
        durationTable(4);
    for (Face face : faces()) {
        for (const auto& [card, ending] : std::vector<std::pair<std::string, std::string>>{
                 {R"("rate_bytes_per_s": 131072, "silent_during_transfer": true)", aborted},
                 {R"("stop_taking_after": 4096, "silent_during_transfer": true)", aborted},
                 {R"("rate_bytes_per_s": 131072, "fail_at_stage": 1)",
                  "      " + std::string(kFailLine) + durationTable(4)}}) {
            SCOPED_TRACE(faceName(face) + (": " + card));
            const ProgramRun run = runOn(face, oneCardScenario("{\"event_interval_ms\": 500, " + card + "}"),
                                         updateArgs("FPGA", "STD", path));
            const std::string out =
                std::regex_replace(run.out, std::regex(" >> [0-9.e+-]+ seconds"), " >> <t> seconds");
            EXPECT_EQ(out.substr(out.size() - std::min(out.size(), ending.size())), ending);
            EXPECT_EQ(run.exitCode, 1);
            if (face == Face::D2xx) {
                std::vector<std::string> commands = {kSubscribe, request, kAbort};
                if (ending != aborted) commands.pop_back();
                expectRun(run, 1, maskTimes(run.out), commands);  // the exit code, the commands, the handles
            }
            const std::string taken = received(run);
            EXPECT_LT(taken.size(), image.size() * 7 / 8) << "the transfer went on after the update ended";
            EXPECT_EQ(taken, image.substr(0, taken.size()));
            EXPECT_LT(run.seconds, 30);
        }
    }
}

// Time-outs after the transfer. The card reports 100 % for the image, then goes silent;
// `line` comes 6 s later, after at least one whole silent read even when a loaded machine
// stretches each empty poll's millisecond to three. The update aborts at the sixth silent read in a row: a four-word
// line, even one whose numbers do not convert, starts the count again, a line that is
// no event neither breaks nor adds to it. A silent read makes 2000 empty polls.
TEST(Update, SilentReadsAfterTheTransferAbortAtTheSixth) {
    for (const auto& [line, restarts, shown] : std::vector<std::tuple<std::string, bool, std::string>>{
             {"garbage\\n", false, "Error2: " + kMalformed + "garbage\n'\n"},
             {"EVT FW_UPGRADE_STATUS 2 abc\\n", true, ""}}) {
        SCOPED_TRACE(line);
        const ProgramRun run = runOn(oneCardScenario(R"({"event_interval_ms": 50, "stage_ms": [60000, 60000, 60000],
          "silent_after_transfer": true, "extra_lines": [{"stage": 1, "at_ms": 6000, "data": ")" +
                                                     line + R"("}]})"),
                                     updateArgs("SW", "STD", imageFile(patternBytes(1000))));
        const std::string request = "SET FW_UPGRADE SW 1032 STD\n";
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(maskTimes(run.out), preamble(request) + shown +
                                          "Error: Update timeout, aborting automatically: RSET FW_ABORT_UPGRADE OK\n"
                                          "\nError: Update Failed\n" +
                                          durationTable(4));
        // The UART's reads and writes in order, with the empty polls before each.
        std::vector<std::pair<std::string, long>> steps;
        long silent = 0;
        for (const json& call : callsOf(run.callLog, "", 1)) {
            if (call["fn"] == "FT_GetStatus" && call.value("rx", 0) == 0) {
                silent += call.value("polls", 1L);
            } else if (call["fn"] == "FT_Read" || call["fn"] == "FT_Write") {
                steps.emplace_back(call.value("text", ""), silent);
                silent = 0;
            }
        }
        const std::string text = line.substr(0, line.size() - 2) + "\n";
        auto at = std::find_if(steps.begin(), steps.end(), [&](const auto& step) { return step.first == text; });
        ASSERT_TRUE(at != steps.end() && at + 1 != steps.end());
        EXPECT_EQ(at[1].first, kAbort);
        const long before = at->second / 2000;  // whole silent reads before the line
        ASSERT_GE(before, 1) << "the line must come while the count is already running";
        EXPECT_EQ(at[1].second, (restarts ? 6 : 6 - before) * 2000);
    }
}

// A card that keeps reporting but no longer takes data: the transfer is given up after a
// minute without progress, the events still shown meanwhile, and the card told to abort.
TEST(Update, CardThatStopsTakingDataIsGivenUpAfterAMinute) {
    const std::string file = patternBytes(16 * 1024);
    const ProgramRun run =
        runOn(oneCardScenario(R"({"event_interval_ms": 1000, "stop_taking_after": 4096, "intake_timeout_ms": 0})"),
              updateArgs("FPGA", "STD", imageFile(file)));
    const std::string request = "SET FW_UPGRADE FPGA 16416 STD\n";
    expectRun(run, 1,
              preamble(request) + "error: card stopped taking data after 4096 of 16416 bytes\n" + kToldToAbort +
                  durationTable(4),
              {kSubscribe, request, kAbort});
    EXPECT_GE(run.seconds, 60.0);
    EXPECT_GE(occurrences(run.out, bar(1, 24, 4)), 50u) << "24 % shown all along";
    EXPECT_EQ(received(run), reference::uploadImage(file, "FPGA").substr(0, 4096));
}
