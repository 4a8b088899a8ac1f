// FT_EE_Read / FT_EE_Program on a card's chip: which bytes are touched, and what the
// log says about a program call.
#include <cstring>

#include "bench_support.h"

namespace benchtest {
namespace {

class Eeprom : public BenchTest {
protected:
    char manufacturer_[32] = {}, manufacturerId_[16] = {}, description_[64] = {}, serial_[16] = {};

    // The program's layout: Version 5, the whole struct zeroed; here the tail is filled
    // with a marker instead, to see what the library writes.
    FT_PROGRAM_DATA request() {
        FT_PROGRAM_DATA data;
        std::memset(&data, 0xAB, sizeof data);
        data.Signature1 = 0x00000000;
        data.Signature2 = 0xFFFFFFFF;
        data.Version = 5;
        data.Manufacturer = manufacturer_;
        data.ManufacturerId = manufacturerId_;
        data.Description = description_;
        data.SerialNumber = serial_;
        return data;
    }
};

TEST_F(Eeprom, ReadFillsOnlyTheFt2232hBlocksAndTheStrings) {
    load(oneCardScenario(R"("eeprom": {"fifo_flag": 0})"));
    FT_HANDLE fifo = open(0);
    FT_PROGRAM_DATA data = request();
    ASSERT_EQ(FT_EE_Read(fifo, &data), FT_OK);
    EXPECT_EQ(data.Version, 3u);
    EXPECT_EQ(data.VendorId, 0x0403);
    EXPECT_EQ(data.IFAIsFifo7, 0);
    EXPECT_STREQ(description_, "KRO_NX|2.1");
    EXPECT_STREQ(serial_, "NX0001");
    const auto* bytes = reinterpret_cast<const unsigned char*>(&data);
    for (std::size_t offset = 126; offset < sizeof data; ++offset) {
        ASSERT_EQ(bytes[offset], 0xAB) << "offset " << offset;
    }
    EXPECT_EQ(logLinesOf("FT_EE_Read").at(0)["version"], 5);
}

TEST_F(Eeprom, ProgramStoresTheFlagAndReportsWhetherTheRestWasKept) {
    load(oneCardScenario(R"("eeprom": {"fifo_flag": 0})"));
    FT_HANDLE fifo = open(0);
    FT_PROGRAM_DATA data = request();
    ASSERT_EQ(FT_EE_Read(fifo, &data), FT_OK);
    data.IFAIsFifo7 = 1;
    ASSERT_EQ(FT_EE_Program(fifo, &data), FT_OK);
    data.MaxPower = 500;
    ASSERT_EQ(FT_EE_Program(fifo, &data), FT_OK);

    FT_PROGRAM_DATA again = request();
    ASSERT_EQ(FT_EE_Read(fifo, &again), FT_OK);
    EXPECT_EQ(again.IFAIsFifo7, 1);
    const auto programs = logLinesOf("FT_EE_Program");
    ASSERT_EQ(programs.size(), 2u);
    EXPECT_EQ(programs[0]["fifo_flag"], 1);
    EXPECT_EQ(programs[0]["others_unchanged"], true);
    EXPECT_EQ(programs[1]["others_unchanged"], false);
    EXPECT_EQ(logLinesOf("FT_EE_Read").at(1)["fifo_flag"], 1);
}

TEST_F(Eeprom, BadSignaturesAndReadFailuresTouchNothing) {
    load(oneCardScenario(R"("eeprom": {"read_status": 11})"));
    FT_HANDLE fifo = open(0);
    FT_PROGRAM_DATA data = request();
    data.Signature2 = 0;
    const FT_PROGRAM_DATA before = data;
    EXPECT_EQ(FT_EE_Read(fifo, &data), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_EE_Program(fifo, &data), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_EE_Read(fifo, nullptr), FT_INVALID_PARAMETER);
    data.Signature2 = 0xFFFFFFFF;
    EXPECT_EQ(FT_EE_Read(fifo, &data), FT_EEPROM_READ_FAILED);
    data.Signature2 = 0;
    EXPECT_EQ(std::memcmp(&data, &before, sizeof data), 0);
}

}  // namespace
}  // namespace benchtest
