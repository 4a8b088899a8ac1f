// The D2XX recorder in front of the bench: the program runs as it does without it, the
// recording agrees call for call with what the bench saw, and the image stays out of it.
#include <numeric>

#include "fixture.h"

using namespace e2e;

namespace {

struct Recorded {
    ProgramRun run;
    std::string text;         // the recording
    std::vector<json> lines;  // its lines, parsed
};

// The program with the recorder's folder first on the loader's path.
RunOptions throughRecorder(const std::string& scenario, std::vector<std::string> env,
                           const std::string& libraryDir = NEXIR_RECORDER_DIR) {
    RunOptions options;
    options.scenarioJson = scenario;
    options.libraryDir = libraryDir;
    options.env = std::move(env);
    options.timeoutSeconds = 150;
    return options;
}

Recorded recorded(const std::string& scenario, const std::vector<std::string>& args,
                  const std::string& libraryDir = NEXIR_RECORDER_DIR,
                  std::vector<std::string> env = {"NEXIR_RECORD_D2XX=" NEXIR_BENCH_LIBRARY}) {
    const std::string path = makeTempDir() + "/recording.jsonl";
    env.push_back("NEXIR_RECORD=" + path);
    Recorded result{runUpdater(args, throughRecorder(scenario, env, libraryDir)), readFile(path), {}};
    std::istringstream lines(result.text);
    for (std::string line; std::getline(lines, line);) result.lines.push_back(json::parse(line));
    return result;
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

std::string joined(const std::vector<json>& calls, const std::string& function, const char* key) {
    std::string text;
    for (const json& call : calls) {
        if (call.value("fn", "") == function && call.contains(key)) text += call[key].get<std::string>() + "|";
    }
    return text;
}

// Header first, closing line last, and between them the calls the bench logged: the
// same counts per function, device and status, the same commands and answers.
void expectFaithful(const Recorded& recorded) {
    ASSERT_GE(recorded.lines.size(), 3u) << recorded.run.err;
    const json& header = recorded.lines.front();
    EXPECT_EQ(header["format"], "nexir-d2xx-recording");
    EXPECT_EQ(header["version"], 1);
    EXPECT_NE(header.value("library", "").find("cardbench"), std::string::npos) << header;
    const std::vector<json> bench = callsOf(recorded.run.callLog);
    EXPECT_EQ(tally(recorded.lines, "calls"), tally(bench, "polls"));
    EXPECT_EQ(joined(recorded.lines, "FT_Write", "data"), joined(bench, "FT_Write", "text"));
    EXPECT_EQ(joined(recorded.lines, "FT_Read", "data"), joined(bench, "FT_Read", "text"));
    const json& closing = recorded.lines.back();
    const auto calls = tally(recorded.lines, "calls");
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
