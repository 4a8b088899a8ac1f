// The D2XX recorder in front of the bench: the program runs as it does without it, the
// recording agrees call for call with what the bench saw, the image stays out of it, and
// the bench replays the recording as the session it recorded.
#include <numeric>

#include "fixture.h"

using namespace e2e;

namespace {

struct Recorded {
    ProgramRun run;
    std::string path, text;   // the recording
    std::vector<json> lines;  // its lines, parsed
};

// The program with the recorder's folder first on the loader's path.
RunOptions throughRecorder(const std::string& scenario, std::vector<std::string> env,
                           const std::string& libraryDir = NEXIR_RECORDER_DIR) {
    return {scenario, libraryDir, std::move(env), 150, "", {}};
}

Recorded recorded(const std::string& scenario, const std::vector<std::string>& args,
                  const std::string& libraryDir = NEXIR_RECORDER_DIR,
                  std::vector<std::string> env = {"NEXIR_RECORD_D2XX=" NEXIR_BENCH_LIBRARY}) {
    const std::string path = makeTempDir() + "/recording.jsonl";
    env.push_back("NEXIR_RECORD=" + path);
    Recorded result{runUpdater(args, throughRecorder(scenario, env, libraryDir)), path, readFile(path), {}};
    result.lines = callsOf(result.text);
    // A run that records says so first, on standard error; the rest is the program's own.
    const std::string announced =
        "nexir-updater recorder: recording this run's D2XX calls to " + path + " (NEXIR_RECORD)\n";
    EXPECT_EQ(result.run.err.substr(0, announced.size()), announced);
    if (result.run.err.rfind(announced, 0) == 0) result.run.err.erase(0, announced.size());
    return result;
}

// The program on the bench, which replays the recording at `path`.
ProgramRun replayed(const std::string& path, const std::vector<std::string>& args) {
    return runUpdater(args, {"", "", {"CARDBENCH_SCENARIO=" + path}, 150, "", {}});
}

// The FIFO writes of a recording or a bench call log: length, count taken and status.
std::string fifoWrites(const std::vector<json>& calls) {
    std::string writes;
    for (const json& call : calls) {
        if (call.value("fn", "") == "FT_Write" && !call.contains("text") && !call.contains("data")) {
            writes += std::to_string(call.value("length", call.value("requested", -1))) + " " +
                      std::to_string(call.value("written", -1)) + " " + std::to_string(call.value("status", -1)) + "|";
        }
    }
    return writes;
}

// Calls per function, device and status; a run or a fold of polls counts each call.
std::map<std::string, int> tally(const std::vector<json>& calls, const char* countKey) {
    std::map<std::string, int> counts;
    for (const json& call : calls) {
        if (!call.contains("fn")) continue;
        const std::string key = call["fn"].get<std::string>() + " dev " + std::to_string(call.value("dev", -1)) +
                                " status " + std::to_string(call.value("status", -1));
        counts[key] += call.value(countKey, 1);
    }
    return counts;
}

// The failed calls per function, device and status (FT_ResetPort fails on Linux always).
std::map<std::string, int> failures(const std::vector<json>& calls, const char* countKey) {
    std::map<std::string, int> failed = tally(calls, countKey);
    for (auto entry = failed.begin(); entry != failed.end();) {
        const bool ok = entry->first.size() > 9 && entry->first.compare(entry->first.size() - 9, 9, " status 0") == 0;
        entry = ok || entry->first.rfind("FT_ResetPort", 0) == 0 ? failed.erase(entry) : std::next(entry);
    }
    return failed;
}

// The replay fails the calls the recording failed. A gone card (status 4) is the one
// exception: whether the program's main thread polls it once more before it sees the
// transfer's failure is up to the threads' timing, on the bench as in the field, so such
// a failure may come a time or two more or less, but never not at all or out of nowhere.
void expectFailedAlike(const std::map<std::string, int>& replayed, const std::map<std::string, int>& recorded) {
    std::map<std::string, std::pair<int, int>> both;
    for (const auto& [key, count] : replayed) both[key].first = count;
    for (const auto& [key, count] : recorded) both[key].second = count;
    for (const auto& [key, counts] : both) {
        const auto [replay, original] = counts;
        const bool gone = key.size() > 9 && key.compare(key.size() - 9, 9, " status 4") == 0;
        if (!gone) {
            EXPECT_EQ(replay, original) << key;
        } else if (original > 0) {
            EXPECT_GT(replay, 0) << key;
        } else {
            EXPECT_LE(replay, 2) << key;
        }
    }
}

// Each device's polls in order as status/rx, a stretch of equal ones as one with its count:
// a run or a fold of polls may only hold polls that gave the same.
std::map<int, std::string> polls(const std::vector<json>& calls, const char* countKey) {
    std::map<int, std::vector<std::pair<std::string, int>>> stretches;
    for (const json& call : calls) {
        if (call.value("fn", "") != "FT_GetStatus") continue;
        auto& device = stretches[call.value("dev", -1)];
        const std::string result =
            std::to_string(call.value("status", -1)) + "/" + std::to_string(call.value("rx", -1));
        if (device.empty() || device.back().first != result) device.emplace_back(result, 0);
        device.back().second += call.value(countKey, 1);
    }
    std::map<int, std::string> shown;
    for (const auto& [device, list] : stretches) {
        for (const auto& [result, count] : list) shown[device] += result + " x" + std::to_string(count) + ", ";
    }
    return shown;
}

std::string joined(const std::vector<json>& calls, const std::string& function, const char* key) {
    std::string text;
    for (const json& call : calls) {
        if (call.value("fn", "") == function && call.contains(key)) text += call[key].get<std::string>() + "|";
    }
    return text;
}

// Header first, closing line last, and between them the calls the bench logged: the
// same counts per function, device and status, the same polls in the same order, the
// same commands and answers.
void expectFaithful(const Recorded& recorded) {
    ASSERT_GE(recorded.lines.size(), 3u) << recorded.run.err;
    const json& header = recorded.lines.front();
    EXPECT_EQ(header["format"], "nexir-d2xx-recording");
    EXPECT_EQ(header["version"], 1);
    EXPECT_NE(header.value("library", "").find("cardbench"), std::string::npos) << header;
    const std::vector<json> bench = callsOf(recorded.run.callLog);
    const auto calls = tally(recorded.lines, "calls");
    EXPECT_EQ(calls, tally(bench, "polls"));
    EXPECT_EQ(polls(recorded.lines, "calls"), polls(bench, "polls"));
    EXPECT_EQ(joined(recorded.lines, "FT_Write", "data"), joined(bench, "FT_Write", "text"));
    EXPECT_EQ(joined(recorded.lines, "FT_Read", "data"), joined(bench, "FT_Read", "text"));
    const json& closing = recorded.lines.back();
    EXPECT_EQ(
        closing.value("calls", -1),
        std::accumulate(calls.begin(), calls.end(), 0, [](int sum, const auto& entry) { return sum + entry.second; }));
    EXPECT_EQ(closing.value("lines", -1), static_cast<int>(recorded.lines.size()));
}

// Text lines of 128 bytes, each numbered, so that any 64 bytes of it are unique and
// would show verbatim in the recording if they were written there.
std::string textImage(std::size_t lines) {
    std::string image;
    for (std::size_t line = 0; line < lines; ++line) {
        std::string text = "image line " + std::to_string(line) + " ";
        while (text.size() < 127) text += static_cast<char>('a' + text.size() % 26);
        image += text + "\n";
    }
    return image;
}

}  // namespace

// A log and a 6 MiB update (channel B listed first, a FIFO that takes 20 MB/s and takes
// 1000 bytes short once): the same output and exit code as without the recorder, and a
// small recording with each image chunk's length, count taken and CRC, never its bytes.
TEST(Recorder, RunsAsWithoutItAndRecordsNoImage) {
    const Recorded log = recorded(bundled("rack.json"), {"log", "-b", "115200"});
    const ProgramRun plainLog = runLog(bundled("rack.json"));
    EXPECT_EQ(std::tie(log.run.out, log.run.err, log.run.exitCode),
              std::tie(plainLog.out, plainLog.err, plainLog.exitCode));
    expectFaithful(log);

    const std::string file = textImage(6 * 8192);
    const std::string scenario = rack(
        R"({"description": "KRO_NX|2.1 B", "serial": "NX0001B", "card": "card", "channel": "uart"},
            {"description": "KRO_NX|2.1 A", "serial": "NX0001A", "card": "card", "channel": "fifo"})",
        R"("card": {"slot": 0, "upgrade": {"rate_bytes_per_s": 20000000, "event_interval_ms": 250,
                                           "stage_ms": [300, 300, 300], "short_write": 1000}})");
    const auto args = updateArgs("FPGA", "STD", imageFile(file));
    const Recorded update = recorded(scenario, args);
    const ProgramRun plain = runOn(scenario, args);
    EXPECT_EQ(std::tie(update.run.exitCode, update.run.err), std::tie(plain.exitCode, plain.err));
    EXPECT_EQ(maskTimes(update.run.out), maskTimes(plain.out));
    expectFaithful(update);

    EXPECT_LT(update.text.size(), 64u * 1024);
    EXPECT_EQ(update.text.find(file.substr(file.size() / 2 + 17, 64)), std::string::npos);
    const std::string image = reference::uploadImage(file, "FPGA");
    std::size_t offset = 0, chunks = 0;
    for (const json& write : update.lines) {
        if (write.value("fn", "") != "FT_Write" || write.value("channel", "") != "fifo") continue;
        const std::size_t length = write["length"], written = write["written"];
        EXPECT_FALSE(write.contains("data"));
        EXPECT_EQ(write["crc32"], reference::crc32(image.substr(offset, length)));
        if (written < length) {
            EXPECT_EQ(write["writtenCrc32"], reference::crc32(image.substr(offset, written)));
        }
        offset += written, ++chunks;
    }
    EXPECT_EQ(offset, image.size());
    EXPECT_GE(chunks, 2u);
}

// The real library is found past the recorder's own file on the loader's path (Linux);
// a library or a recording that cannot be opened is named in one line, as is the
// recorder named as the real library, and the program finds no device.
TEST(Recorder, FindsTheLibraryPastItselfOrSaysWhatIsMissing) {
#if !defined(_WIN32)
    const Recorded found =
        recorded(bundled("rack.json"), {"log", "-b", "115200"}, NEXIR_RECORDER_DIR ":" NEXIR_BENCH_DIR, {});
    EXPECT_EQ(found.run.exitCode, 0) << found.run.err;
    expectFaithful(found);
#endif
    const std::string missing = makeTempDir() + "/no-such-folder";
    const std::string cannotLoad = "cannot load the D2XX library that NEXIR_RECORD_D2XX names: ";
    for (const auto& [env, line, detail] : std::vector<std::tuple<std::vector<std::string>, std::string, std::string>>{
             {{"NEXIR_RECORD_D2XX=" + missing + "/library"}, cannotLoad, "no-such-folder"},
             {{"NEXIR_RECORD_D2XX=" NEXIR_RECORDER_LIBRARY}, cannotLoad, ": that is the recorder itself"},
             {{"NEXIR_RECORD_D2XX=" NEXIR_BENCH_LIBRARY, "NEXIR_RECORD=" + missing + "/recording.jsonl"},
              "cannot create the recording ",
              "no-such-folder"}}) {
        const ProgramRun run = runUpdater({"log", "-b", "115200"}, throughRecorder(bundled("rack.json"), env));
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.err.rfind("nexir-updater recorder: " + line, 0), 0u) << run.err;
        EXPECT_NE(run.err.find(detail), std::string::npos) << run.err;
        EXPECT_EQ(occurrences(run.err, "\n"), 1u) << run.err;
        EXPECT_EQ(run.out.rfind("error: no FTDI devices detected\n", 0), 0u) << run.out;
    }
}

// Sessions recorded on the bench, replayed from their recordings alone: the program prints
// the same and ends alike (times aside), the FIFO takes each write as it did, and the
// calls the recorded driver failed fail alike, a poll and a command write too; a failed
// poll among empty ones is recorded apart from their runs. The card
// that goes silent after the upload is waited on for six read periods, about 12 s.
TEST(Recorder, ReplayRunsAsTheRecordedSession) {
    const std::string image = imageFile(patternBytes(1 << 20));
    // The upload takes 0.26 s, so the program reads events while it runs: a write that
    // ended within the program's 10 ms wait for it would race the replay's own pace.
    const auto card = [](const std::string& extra, const std::string& faults = "") {
        return oneCardScenario(R"({"event_interval_ms": 100, "stage_ms": [200, 300, 200],
                                   "rate_bytes_per_s": 4000000, "short_write": 1000)" +
                                   extra + "}",
                               "", faults);
    };
    const std::string failingFifo =
        R"("faults": [{"function": "FT_Write", "device": 0, "status": 4, "perform": true}])";
    const std::string failingPollAndCommand =
        R"("faults": [{"function": "FT_GetStatus", "device": 1, "status": 4, "times": 1, "skip": 1, "perform": true},
                      {"function": "FT_Write", "device": 1, "status": 4, "times": 1, "skip": 2, "perform": true}])";
    for (const auto& [what, scenario, args] :
         std::vector<std::tuple<std::string, std::string, std::vector<std::string>>>{
             {"log of four cards", bundled("rack_four_mixed.json"), {"log", "-b", "115200"}},
             {"update of slot 3 of four", bundled("rack_four_mixed.json"), updateArgs("FPGA", "STD", image, "3")},
             {"FAIL while writing flash", card(R"(, "fail_at_stage": 3)"),
              updateArgs("SW", "GOLD", image, "1", {"-v"})},
             {"FIFO write fails", card("", failingFifo), updateArgs("FPGA", "STD", image)},
             {"a poll and a command write fail", card("", failingPollAndCommand), updateArgs("FPGA", "STD", image)},
             {"silent after the upload", card(R"(, "silent_after_transfer": true)"),
              updateArgs("FPGA", "STD", image)}}) {
        SCOPED_TRACE(what);
        const Recorded original = recorded(scenario, args);
        expectFaithful(original);
        const ProgramRun replay = replayed(original.path, args);
        EXPECT_EQ(std::tie(replay.exitCode, replay.err), std::tie(original.run.exitCode, original.run.err));
        EXPECT_EQ(maskTimes(replay.out), maskTimes(original.run.out));
        EXPECT_EQ(fifoWrites(callsOf(replay.callLog)), fifoWrites(original.lines));
        expectFailedAlike(failures(callsOf(replay.callLog), "polls"), failures(original.lines, "calls"));
        if (what == "a poll and a command write fail") {
            EXPECT_EQ(failures(original.lines, "calls").size(), 2u);
        }
    }
}

// Sessions recorded in the field on FTDI's own library (recordings/README.md), replayed
// with the recorded command: the program prints what it printed there and ends alike,
// times aside, and the calls that failed there fail alike. Where the card was unplugged,
// the replay answers as the gone card did from the moment the recorded driver first
// failed a call on it.
TEST(Recorder, FieldRecordingsReplayAsInTheField) {
    const std::string folder = makeTempDir();
    for (const auto& [name, exitCode] : std::vector<std::pair<std::string, int>>{{"log-two-cards", 0},
                                                                                 {"update-at-8MBps", 0},
                                                                                 {"silent-card", 1},
                                                                                 {"eeprom-fifo-flag-clear", 0},
                                                                                 {"unplug-during-log", 1},
                                                                                 {"unplug-during-upload", 1},
                                                                                 {"unplug-after-upload", 1}}) {
        SCOPED_TRACE(name);
        const std::string path = std::string(NEXIR_FIELD_RECORDINGS) + "/" + name;
        const std::string recording = readFile(path + ".jsonl");
        std::vector<std::string> args = json::parse(recording.substr(0, recording.find('\n')))["command"];
        args.erase(args.begin());
        // The image only needs the recorded size, "image-<n>mib.bin".
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (args[i - 1] != "-f") continue;
            args[i] = folder + "/" + args[i];
            writeFile(args[i], std::string(std::size_t(std::stoi(args[i].substr(args[i].rfind('-') + 1))) << 20, 'x'));
        }
        const ProgramRun replay = replayed(path + ".jsonl", args);
        EXPECT_EQ(replay.exitCode, exitCode) << replay.out;
        EXPECT_EQ(maskTimes(replay.out), maskTimes(readFile(path + ".out")));
        EXPECT_EQ(replay.err.find("cardbench"), std::string::npos) << replay.err;
        expectFailedAlike(failures(callsOf(replay.callLog), "polls"), failures(callsOf(recording), "calls"));
    }
}

// Replayed with another command, the first command the recorded card never got is named
// on standard error and in the call log, and goes unanswered; so is, once, a recorded
// failure that the replay cannot place. A recording cut short is refused with its file
// and line, and the bench shows no devices.
TEST(Recorder, ReplayNamesADivergenceAndRefusesACutRecording) {
    const Recorded log = recorded(bundled("rack.json"), {"log", "-b", "115200"});
    const ProgramRun update = replayed(log.path, updateArgs("FPGA", "STD", imageFile("abc"), "3"));
    const std::string divergence =
        R"(the card NX23C1102A was sent "SET EVT_ENA FW_UPGRADE_STATUS ON" but the recording has it receive )"
        R"("GET HW_FW_VER" next)";
    EXPECT_EQ(update.err, "cardbench: replay: " + divergence + "\n");
    EXPECT_EQ(occurrences(update.callLog, R"("replay")"), 1u);
    EXPECT_NE(update.callLog.find(json{{"replay", divergence}}.dump()), std::string::npos) << update.callLog;
    EXPECT_NE(update.out.find("Subscription failed: 'TIMEOUT'"), std::string::npos) << update.out;
    EXPECT_EQ(update.exitCode, 1);

    // A failed poll on the null handle, which the bench answers by itself, added before
    // the closing line of a field recording, whose counts follow.
    std::string field = readFile(NEXIR_FIELD_RECORDINGS "/unplug-during-log.jsonl");
    const std::size_t closing = field.rfind("{\"end\"");
    field.insert(closing,
                 R"({"t":[1819940,1819941],"fn":"FT_GetStatus","h":0,"dev":-1,"status":4,"rx":0,"tx":0,"event":0})"
                 "\n");
    field.replace(field.find(R"("calls":35,"lines":25)", closing), 21, R"("calls":36,"lines":26)");
    const std::string edited = makeTempDir() + "/edited.jsonl";
    writeFile(edited, field);
    const ProgramRun unplaced = replayed(edited, {"log", "-b", "115200"});
    const std::string note = "line 25: FT_GetStatus on the null handle answered 4, which the replay cannot place";
    EXPECT_EQ(unplaced.err, "cardbench: replay: " + note + "\n");
    EXPECT_EQ(occurrences(unplaced.callLog, json{{"replay", note}}.dump()), 1u) << unplaced.callLog;
    EXPECT_EQ(unplaced.out, readFile(NEXIR_FIELD_RECORDINGS "/unplug-during-log.out"));

    // Cut inside a line, before a call's "fn", about half-way.
    const std::string cut = makeTempDir() + "/cut.jsonl";
    const std::string part = log.text.substr(0, log.text.find(R"("fn")", log.text.size() / 2));
    writeFile(cut, part);
    const ProgramRun refused = replayed(cut, {"log", "-b", "115200"});
    EXPECT_EQ(refused.err, "cardbench: " + cut + ":" + std::to_string(occurrences(part, "\n") + 1) +
                               ": the line is cut off: the recording ends in the middle of it\n");
    EXPECT_EQ(refused.out.rfind("error: no FTDI devices detected\n", 0), 0u) << refused.out;
}
