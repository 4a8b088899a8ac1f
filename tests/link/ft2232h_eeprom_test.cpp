#include "link/ft2232h_eeprom.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>

using namespace nexir;

namespace {

// The image the real-driver rig's emulated chip carries (ftemu.py's build_eeprom):
// FTDI / KRO_NX|2.1 / NX4711, bus powered 100 mA, channel A a UART until programmed.
EepromImage rigImage(bool fifo) {
    EepromImage e{};
    e[0x00] = fifo ? 0x01 : 0x00;
    const std::uint8_t ids[] = {0x03, 0x04, 0x10, 0x60, 0x00, 0x07};
    std::copy(std::begin(ids), std::end(ids), e.begin() + 2);
    e[0x08] = 0x80;
    e[0x09] = 0x32;
    e[0x0A] = 0x08;
    e[0x18] = 0x56;
    std::size_t at = 0x9A;
    const std::size_t fields[] = {0x0E, 0x10, 0x12};
    const char* texts[] = {"FTDI", "KRO_NX|2.1", "NX4711"};
    for (int i = 0; i < 3; ++i) {
        const std::string text = texts[i];
        e[fields[i]] = static_cast<std::uint8_t>(at);
        e[fields[i] + 1] = static_cast<std::uint8_t>(2 + 2 * text.size());
        e[at] = e[fields[i] + 1];
        e[at + 1] = 3;
        for (std::size_t c = 0; c < text.size(); ++c) e[at + 2 + 2 * c] = static_cast<std::uint8_t>(text[c]);
        at += 2 + 2 * text.size();
    }
    fixEepromChecksum(e);
    return e;
}

struct Texts {
    char manufacturer[32] = {}, manufacturerId[16] = {}, description[64] = {}, serial[16] = {};
};

FT_PROGRAM_DATA programData(Texts& t) {
    FT_PROGRAM_DATA data{};
    data.Signature2 = 0xFFFFFFFF;
    data.Version = 5;
    data.Manufacturer = t.manufacturer;
    data.ManufacturerId = t.manufacturerId;
    data.Description = t.description;
    data.SerialNumber = t.serial;
    return data;
}

}  // namespace

// The checksum is the rig's (and the chip's): the same words give the same value.
TEST(Ft2232hEeprom, ChecksumMatchesTheChips) {
    EXPECT_EQ(eepromChecksum(rigImage(false)), 0x77E2);
    EXPECT_EQ(eepromChecksum(rigImage(true)), 0xF7E2);
    EepromImage image = rigImage(true);
    EXPECT_TRUE(eepromChecksumValid(image));
    image[0x30] ^= 1;
    EXPECT_FALSE(eepromChecksumValid(image));
    EXPECT_EQ(eepromUsedBytes(image), 256u);
    image[0x18] = 0x46;
    EXPECT_EQ(eepromUsedBytes(image), 128u);
}

// What FT_EE_Read gives: strings, ManufacturerId from the serial, the FIFO flag, power.
TEST(Ft2232hEeprom, DecodesWhatD2xxGives) {
    Texts t;
    FT_PROGRAM_DATA data = programData(t);
    ASSERT_EQ(decodeEeprom(rigImage(true), data), FT_OK);
    EXPECT_STREQ(t.manufacturer, "FTDI");
    EXPECT_STREQ(t.manufacturerId, "NX");
    EXPECT_STREQ(t.description, "KRO_NX|2.1");
    EXPECT_STREQ(t.serial, "NX4711");
    EXPECT_EQ(data.VendorId, 0x0403);
    EXPECT_EQ(data.ProductId, 0x6010);
    EXPECT_EQ(data.MaxPower, 100);
    EXPECT_EQ(data.IFAIsFifo7, 1);
    EXPECT_EQ(data.IFAIsFifoTar7, 0);
    EXPECT_EQ(data.SerNumEnable7, 1);
    EXPECT_EQ(data.ALDriveCurrent, 4);
    EepromImage cpuFifo = rigImage(false);
    cpuFifo[0] = 0x02;
    ASSERT_EQ(decodeEeprom(cpuFifo, data), FT_OK);
    EXPECT_EQ(data.IFAIsFifo7, 0);
    EXPECT_EQ(data.IFAIsFifoTar7, 1);
    EepromImage blank;
    blank.fill(0xFF);
    EXPECT_EQ(decodeEeprom(blank, data), FT_EEPROM_NOT_PROGRAMMED);
    EXPECT_EQ(encodeEeprom(data, blank), FT_EEPROM_NOT_PROGRAMMED);
}

// Read, set the FIFO flag, write back: byte 0 and the checksum change, nothing else,
// and the result is the image of a chip made with the flag set.
TEST(Ft2232hEeprom, SettingTheFifoFlagChangesOnlyItAndTheChecksum) {
    const EepromImage before = rigImage(false);
    Texts t;
    FT_PROGRAM_DATA data = programData(t);
    ASSERT_EQ(decodeEeprom(before, data), FT_OK);
    EepromImage after = before;
    ASSERT_EQ(encodeEeprom(data, after), FT_OK);
    EXPECT_EQ(after, before);  // unchanged data, unchanged image
    data.IFAIsFifo7 = 1;
    ASSERT_EQ(encodeEeprom(data, after), FT_OK);
    EXPECT_EQ(after, rigImage(true));
    for (std::size_t i = 1; i < 254; ++i) EXPECT_EQ(after[i], before[i]) << i;
}

// Other fields and strings go where the chip reads them; strings that do not fit are
// refused and leave the image as it was.
TEST(Ft2232hEeprom, ChangedStringsAndFieldsRoundTrip) {
    EepromImage image = rigImage(true);
    Texts t;
    FT_PROGRAM_DATA data = programData(t);
    ASSERT_EQ(decodeEeprom(image, data), FT_OK);
    std::snprintf(t.description, sizeof t.description, "KRO_NX|3.0");
    std::snprintf(t.serial, sizeof t.serial, "NX0042");
    data.MaxPower = 500;
    data.SelfPowered = 1;
    data.BIsVCP7 = 1;
    data.BHDriveCurrent = 16;
    data.BHSchmittInput = 1;
    ASSERT_EQ(encodeEeprom(data, image), FT_OK);
    EXPECT_TRUE(eepromChecksumValid(image));
    Texts u;
    FT_PROGRAM_DATA back = programData(u);
    ASSERT_EQ(decodeEeprom(image, back), FT_OK);
    EXPECT_STREQ(u.description, "KRO_NX|3.0");
    EXPECT_STREQ(u.serial, "NX0042");
    EXPECT_STREQ(u.manufacturer, "FTDI");
    EXPECT_EQ(back.MaxPower, 500);
    EXPECT_EQ(back.SelfPowered, 1);
    EXPECT_EQ(back.BIsVCP7, 1);
    EXPECT_EQ(back.BHDriveCurrent, 16);
    EXPECT_EQ(back.BHSchmittInput, 1);
    EXPECT_EQ(back.IFAIsFifo7, 1);
    EXPECT_EQ(image[0x0D], 0xB0);

    char longText[64];
    std::snprintf(longText, sizeof longText, "%s", std::string(63, 'x').c_str());
    data.Description = longText;
    std::snprintf(t.manufacturer, sizeof t.manufacturer, "%s", std::string(31, 'm').c_str());
    const EepromImage kept = image;
    EXPECT_EQ(encodeEeprom(data, image), FT_INVALID_PARAMETER);
    EXPECT_EQ(image, kept);
}
