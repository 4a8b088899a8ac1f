#include "link/libftdi_rules.h"

#include <gtest/gtest.h>

#include <string>

using namespace nexir;
using namespace nexir::libftdi;

// A card's two interfaces list as FTDI's library lists them on the rig's emulated chip.
TEST(LibftdiRules, ListsAChipAsD2xxDoes) {
    UsbChip chip;
    chip.bus = 1;
    chip.address = 2;
    chip.product = "KRO_NX|2.1";
    chip.serial = "NX4711";
    const FT_DEVICE_LIST_INFO_NODE a = listedNode(chip, 0, false), b = listedNode(chip, 1, false);
    EXPECT_STREQ(a.SerialNumber, "NX4711A");
    EXPECT_STREQ(a.Description, "KRO_NX|2.1 A");
    EXPECT_STREQ(b.SerialNumber, "NX4711B");
    EXPECT_STREQ(b.Description, "KRO_NX|2.1 B");
    EXPECT_EQ(a.Flags, FT_FLAGS_HISPEED);
    EXPECT_EQ(a.Type, 6u);
    EXPECT_EQ(a.ID, 0x04036010u);
    EXPECT_EQ(a.LocId, 0x1021u);
    EXPECT_EQ(b.LocId, 0x1022u);
    EXPECT_EQ(locationId(2, 3, 0), 0x2031u);
    EXPECT_EQ(a.ftHandle, nullptr);

    const FT_DEVICE_LIST_INFO_NODE held = listedNode(chip, 0, true);  // as D2XX: open, unknown, blank
    EXPECT_EQ(held.Flags, FT_FLAGS_OPENED);
    EXPECT_EQ(held.Type, 3u);
    EXPECT_EQ(held.ID, 0u);
    EXPECT_EQ(held.LocId, 0u);
    EXPECT_STREQ(held.SerialNumber, "");
    EXPECT_STREQ(held.Description, "");

    UsbChip silent = chip;  // strings unreadable: still listed, without texts
    silent.product.clear();
    silent.serial.clear();
    const FT_DEVICE_LIST_INFO_NODE quiet = listedNode(silent, 1, false);
    EXPECT_STREQ(quiet.SerialNumber, "");
    EXPECT_STREQ(quiet.Description, "");
    EXPECT_EQ(quiet.LocId, 0x1022u);
    silent.serial = "0123456789ABCDEFGH";  // cut to the field, NUL-terminated
    EXPECT_EQ(std::string(listedNode(silent, 0, false).SerialNumber), "0123456789ABCDE");
}

// Two status bytes lead every packet; a short last packet and empty packets too.
TEST(LibftdiRules, StripsTheModemStatusOfEveryPacket) {
    std::vector<std::uint8_t> transfer;
    for (int packet = 0; packet < 2; ++packet) {
        transfer.push_back(0x31);
        transfer.push_back(0x60);
        for (int i = 0; i < 510; ++i) transfer.push_back(static_cast<std::uint8_t>(packet * 510 + i));
    }
    transfer.insert(transfer.end(), {0x31, 0x60, 'O', 'K', '\n'});
    std::vector<std::uint8_t> queue = {'x'};
    appendWithoutModemStatus(transfer.data(), transfer.size(), 512, queue);
    ASSERT_EQ(queue.size(), 1u + 1020u + 3u);
    EXPECT_EQ(queue[1], 0);
    EXPECT_EQ(queue[511], static_cast<std::uint8_t>(510));
    EXPECT_EQ(std::string(queue.end() - 3, queue.end()), "OK\n");
    const std::uint8_t idle[] = {0x31, 0x60};
    appendWithoutModemStatus(idle, sizeof idle, 512, queue);
    EXPECT_EQ(queue.size(), 1024u);
    const std::uint8_t fullSpeed[] = {0x31, 0x60, 'a', 'b', 0x31, 0x60, 'c'};  // 4-byte packets
    queue.clear();
    appendWithoutModemStatus(fullSpeed, sizeof fullSpeed, 4, queue);
    EXPECT_EQ(std::string(queue.begin(), queue.end()), "abc");
}

// A stalled write is D2XX's FT_OK with what was taken; "no device" is gone at once, an
// I/O error only when it repeats; an open that fails is "not found" once the chip is off
// the bus, "not opened" (held) while it is there.
TEST(LibftdiRules, MapsOutcomesToD2xxStatuses) {
    EXPECT_EQ(writeStatus(kTransferCompleted), FT_OK);
    EXPECT_EQ(writeStatus(kTransferTimedOut), FT_OK);
    for (int outcome : {kTransferError, kTransferNoDevice, kTransferStall, kTransferCancelled, kTransferOverflow})
        EXPECT_EQ(writeStatus(outcome), FT_IO_ERROR) << outcome;
    EXPECT_TRUE(deviceGone(kTransferNoDevice, 1));
    EXPECT_FALSE(deviceGone(kTransferError, 1));
    EXPECT_TRUE(deviceGone(kTransferError, 2));
    EXPECT_FALSE(deviceGone(kTransferCancelled, 5));
    EXPECT_FALSE(deviceGone(kTransferTimedOut, 5));
    EXPECT_EQ(openFailureStatus(-5, true), FT_DEVICE_NOT_OPENED);  // claim refused: busy
    EXPECT_EQ(openFailureStatus(-4, true), FT_DEVICE_NOT_OPENED);  // no access
    EXPECT_EQ(openFailureStatus(-5, false), FT_DEVICE_NOT_FOUND);  // unplugged meanwhile
    EXPECT_EQ(openFailureStatus(-3, true), FT_DEVICE_NOT_FOUND);   // no such bus and address
}
