// The call log: one line per D2XX call with the arguments that matter, runs of empty
// polls folded into one line, and the files a scenario names.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "bench_support.h"

namespace benchtest {
namespace {

using nlohmann::json;

class CallLog : public BenchTest {};

TEST_F(CallLog, EmptyPollsFoldIntoOneLineEndedByTheNextCall) {
    load(oneCardScenario());
    FT_HANDLE uart = open(1);
    DWORD rx = 0, tx = 0, events = 0;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(FT_GetStatus(uart, &rx, &tx, &events), FT_OK);
    }
    send(uart, "GET HW_SLOT_ID\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(FT_GetStatus(uart, &rx, &tx, &events), FT_OK);
    ASSERT_EQ(rx, 18u);
    for (int i = 0; i < 3; ++i) {
        FT_GetStatus(nullptr, &rx, &tx, &events);
    }

    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[1], json::parse(R"({"fn":"FT_GetStatus","dev":1,"rx":0,"polls":5,"status":0})"));
    EXPECT_EQ(lines[2]["fn"], "FT_Write");
    EXPECT_EQ(lines[3], json::parse(R"({"fn":"FT_GetStatus","dev":1,"rx":18,"status":0})"));
    EXPECT_EQ(lines[4], json::parse(R"({"fn":"FT_GetStatus","dev":-1,"rx":0,"polls":3,"status":1})"));
}

TEST_F(CallLog, LinesCarryTheArgumentsThatMatter) {
    load(oneCardScenario());
    FT_HANDLE uart = open(1);
    EXPECT_EQ(FT_ResetPort(uart), FT_NOT_SUPPORTED);
    FT_SetLatencyTimer(uart, 16);
    FT_SetBaudRate(uart, 115200);
    FT_SetFlowControl(uart, FT_FLOW_RTS_CTS, 0, 0);
    FT_SetDataCharacteristics(uart, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
    FT_Purge(uart, FT_PURGE_RX | FT_PURGE_TX);
    FT_SetTimeouts(uart, 10000, 10000);
    send(uart, "GET HW_SLOT_ID\n");
    char buffer[18];
    DWORD got = 0;
    FT_Read(uart, buffer, sizeof buffer, &got);
    FT_Close(uart);

    const char* expected[] = {
        R"({"fn":"FT_Open","dev":1,"status":0})",
        R"({"fn":"FT_ResetPort","dev":1,"status":17})",
        R"({"fn":"FT_SetLatencyTimer","dev":1,"ms":16,"status":0})",
        R"({"fn":"FT_SetBaudRate","dev":1,"baud":115200,"status":0})",
        R"({"fn":"FT_SetFlowControl","dev":1,"flow":256,"xon":0,"xoff":0,"status":0})",
        R"({"fn":"FT_SetDataCharacteristics","dev":1,"word":8,"stop":0,"parity":0,"status":0})",
        R"({"fn":"FT_Purge","dev":1,"mask":3,"status":0})",
        R"({"fn":"FT_SetTimeouts","dev":1,"read":10000,"write":10000,"status":0})",
        R"({"fn":"FT_Write","dev":1,"requested":15,"written":15,"text":"GET HW_SLOT_ID\n","status":0})",
        R"({"fn":"FT_Read","dev":1,"requested":18,"returned":18,"text":"RGET HW_SLOT_ID 2\n","status":0})",
        R"({"fn":"FT_Close","dev":1,"status":0})",
    };
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), std::size(expected));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i], json::parse(expected[i])) << i;
    }
}

std::string fileText(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST_F(CallLog, ScenarioPathsAreTakenFromTheScenarioFolder) {
    const auto folder = std::filesystem::temp_directory_path() /
                        ("cardbench_log_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                         "_" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    std::filesystem::create_directories(folder);
    load(oneCardScenario("", R"("call_log": "calls.jsonl", "fifo_dump_dir": "dumps")"), folder.string());
    FT_HANDLE fifo = open(0);
    std::string bytes = "payload";
    DWORD written = 0;
    ASSERT_EQ(FT_Write(fifo, bytes.data(), DWORD(bytes.size()), &written), FT_OK);
    ASSERT_EQ(FT_Close(fifo), FT_OK);

    EXPECT_EQ(fileText(folder / "dumps" / "c.bin"), "payload");
    std::string text(cardbench_call_log(nullptr, 0) + 1, '\0');
    cardbench_call_log(text.data(), text.size());
    EXPECT_EQ(fileText(folder / "calls.jsonl"), text.c_str());
    EXPECT_NE(fileText(folder / "calls.jsonl").find(R"("fn":"FT_Write","dev":0,"requested":7,"written":7,)"),
              std::string::npos);
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace benchtest
