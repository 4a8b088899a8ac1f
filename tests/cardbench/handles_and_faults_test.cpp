// Device listing, opening and closing, bad handles, and injected faults: the rules the
// vendor library follows, which the program's error paths depend on.
#include <cstring>

#include "bench_support.h"

namespace benchtest {
namespace {

class Handles : public BenchTest {};

TEST_F(Handles, DeviceListFollowsTheVendorRules) {
    load(oneCardScenario("", R"("device_count": 255)"));
    DWORD count = 0;
    ASSERT_EQ(FT_CreateDeviceInfoList(&count), FT_OK);
    ASSERT_EQ(count, 255u);
    EXPECT_EQ(FT_GetDeviceInfoList(nullptr, nullptr), FT_INVALID_PARAMETER);
    DWORD reported = 1;  // not a capacity: the whole list is copied regardless
    EXPECT_EQ(FT_GetDeviceInfoList(nullptr, &reported), FT_OK);
    EXPECT_EQ(reported, 255u);

    FT_HANDLE uart = open(1);
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count);
    ASSERT_EQ(FT_GetDeviceInfoList(nodes.data(), &reported), FT_OK);
    EXPECT_STREQ(nodes[0].Description, "KRO_NX|2.1 A");
    EXPECT_STREQ(nodes[0].SerialNumber, "NX0001A");
    EXPECT_EQ(nodes[0].Type, 6u);
    EXPECT_EQ(nodes[0].Flags, 2u);
    EXPECT_EQ(nodes[1].Flags, 3u);
    EXPECT_EQ(nodes[1].ftHandle, uart);
    EXPECT_STREQ(nodes[2].Description, "FT232R USB UART");
    EXPECT_STREQ(nodes[254].SerialNumber, "FTX254");
}

TEST_F(Handles, OpenRefusesMissingAndBusyDevices) {
    load(oneCardScenario());
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(FT_Open(3, &handle), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(FT_Open(-1, &handle), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(handle, nullptr);
    FT_HANDLE first = open(1);
    EXPECT_EQ(FT_Open(1, &handle), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(FT_Close(first), FT_OK);
    FT_HANDLE second = open(1);
    EXPECT_NE(second, first);
    EXPECT_EQ(FT_Close(second), FT_OK);
    EXPECT_EQ(cardbench_open_count(1), 2);
    EXPECT_EQ(cardbench_close_count(1), 2);
}

TEST_F(Handles, NullStaleAndInventedHandlesAreInvalid) {
    load(oneCardScenario());
    FT_HANDLE uart = open(1);
    ASSERT_EQ(FT_Close(uart), FT_OK);
    int invented = 0;
    char buffer[4] = {};
    DWORD count = 0;
    for (FT_HANDLE bad : {FT_HANDLE(nullptr), uart, FT_HANDLE(&invented)}) {
        EXPECT_EQ(FT_Write(bad, buffer, 4, &count), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_Read(bad, buffer, 4, &count), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_GetStatus(bad, &count, &count, &count), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_SetTimeouts(bad, 1, 1), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_Close(bad), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_ResetPort(bad), FT_NOT_SUPPORTED);
    }
    EXPECT_EQ(cardbench_close_count(1), 1);
    EXPECT_EQ(cardbench_double_close_count(1), 1);
    EXPECT_EQ(invented, 0);
}

TEST_F(Handles, NullOutputPointersAreInvalidParameters) {
    load(oneCardScenario());
    FT_HANDLE uart = open(1);
    DWORD count = 0;
    EXPECT_EQ(FT_CreateDeviceInfoList(nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_Open(0, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_GetStatus(uart, &count, nullptr, &count), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_Write(uart, nullptr, 4, &count), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_Read(uart, &count, 4, nullptr), FT_INVALID_PARAMETER);
}

class Faults : public BenchTest {
protected:
    std::vector<FT_STATUS> timeoutStatuses(const std::string& fault, int calls) {
        load(oneCardScenario("", R"("faults": [)" + fault + "]"));
        FT_HANDLE uart = open(1);
        std::vector<FT_STATUS> statuses;
        for (int i = 0; i < calls; ++i) {
            statuses.push_back(FT_SetTimeouts(uart, 10000, 10000));
        }
        return statuses;
    }
};

TEST_F(Faults, FireOnceAlwaysOrAfterSkippedCalls) {
    using S = std::vector<FT_STATUS>;
    EXPECT_EQ(timeoutStatuses(R"({"function": "FT_SetTimeouts", "device": 1, "status": 4, "times": "once"})", 3),
              (S{4, 0, 0}));
    EXPECT_EQ(timeoutStatuses(R"({"function": "FT_SetTimeouts", "status": 4})", 3), (S{4, 4, 4}));
    EXPECT_EQ(timeoutStatuses(R"({"function": "FT_SetTimeouts", "status": 7, "times": 1, "skip": 1})", 3),
              (S{0, 7, 0}));
    EXPECT_EQ(timeoutStatuses(R"({"function": "FT_SetTimeouts", "device": 0, "status": 4})", 2), (S{0, 0}));
}

TEST_F(Faults, FailedOpenOpensNothingUnlessPerformed) {
    load(oneCardScenario("", R"("faults": [{"function": "FT_Open", "device": 1, "status": 3},
                                           {"function": "FT_Open", "device": 0, "status": 4, "perform": true}])"));
    FT_HANDLE uart = nullptr, fifo = nullptr;
    EXPECT_EQ(FT_Open(1, &uart), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(uart, nullptr);
    EXPECT_EQ(FT_Open(0, &fifo), FT_IO_ERROR);
    EXPECT_NE(fifo, nullptr);
    EXPECT_EQ(cardbench_open_count(1), 0);
    EXPECT_EQ(cardbench_open_count(0), 1);
    const auto opens = logLinesOf("FT_Open");
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0]["fault"], true);
}

TEST(ScenarioLoading, BrokenScenarioKeepsThePreviousBench) {
    ASSERT_EQ(cardbench_load_scenario(oneCardScenario().c_str(), nullptr), 0);
    EXPECT_EQ(cardbench_load_scenario("{\"devices\": [{\"card\": \"nobody\"}]}", nullptr), -1);
    EXPECT_EQ(cardbench_load_scenario("{", nullptr), -1);
    EXPECT_GT(cardbench_last_error(nullptr, 0), 0u);
    DWORD count = 0;
    FT_CreateDeviceInfoList(&count);
    EXPECT_EQ(count, 3u);
    cardbench_reset();
    FT_CreateDeviceInfoList(&count);
    EXPECT_EQ(count, 0u);
}

}  // namespace
}  // namespace benchtest
