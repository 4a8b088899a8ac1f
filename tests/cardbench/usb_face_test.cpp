// The bench's USB face as libftdi1 and libusb see it, unchanged: this program runs under
// cardbench-usb with usb_face.json, so every call below goes through the real libraries
// down to the emulated chips' usbfs nodes. The unplug comes last: it is for good.
#include <gtest/gtest.h>
#include <libftdi1/ftdi.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>

namespace {

constexpr int kVendor = 0x0403, kProduct = 0x6010;

using Context = std::unique_ptr<ftdi_context, void (*)(ftdi_context*)>;

// A context on one interface of the chip with serial number `serial`; null when it cannot be opened.
Context open(const char* serial, ftdi_interface interface, int* status = nullptr) {
    Context ftdi(ftdi_new(), ftdi_free);
    ftdi_set_interface(ftdi.get(), interface);
    const int opened = ftdi_usb_open_desc(ftdi.get(), kVendor, kProduct, nullptr, serial);
    if (status) *status = opened;
    if (opened != 0) return Context(nullptr, ftdi_free);
    return ftdi;
}

// Sends a command line and collects the answer up to its line feed, for at most a second.
std::string ask(ftdi_context* ftdi, const std::string& line) {
    if (ftdi_write_data(ftdi, reinterpret_cast<const unsigned char*>(line.data()), int(line.size())) !=
        int(line.size())) {
        return "write failed";
    }
    std::string answer;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (answer.find('\n') == std::string::npos && std::chrono::steady_clock::now() < until) {
        unsigned char buffer[64];
        const int got = ftdi_read_data(ftdi, buffer, sizeof buffer);
        if (got < 0) return "read failed";
        answer.append(reinterpret_cast<char*>(buffer), std::size_t(got));
    }
    return answer;
}

std::set<std::string> listed() {
    Context ftdi(ftdi_new(), ftdi_free);
    ftdi_device_list* devices = nullptr;
    std::set<std::string> chips;
    if (ftdi_usb_find_all(ftdi.get(), &devices, kVendor, kProduct) < 0) return chips;
    for (ftdi_device_list* at = devices; at != nullptr; at = at->next) {
        char manufacturer[64] = "", product[64] = "", serial[64] = "";
        ftdi_usb_get_strings(ftdi.get(), at->dev, manufacturer, sizeof manufacturer, product, sizeof product, serial,
                             sizeof serial);
        chips.insert(std::string(manufacturer) + "/" + product + "/" + serial);
    }
    ftdi_list_free(&devices);
    return chips;
}

TEST(UsbFace, ListsEveryFt2232hWithItsStrings) {
    EXPECT_EQ(listed(), (std::set<std::string>{"FTDI/Dual RS232-HS/FT0001", "FTDI/KRO_NX|2.1/NX0001",
                                               "FTDI/KRO_NX|2.1/NX0002", "FTDI/KRO_NX|2.1/NX0003"}));
}

// The card answers on interface B after the line is set up as the program sets it; the
// two modem-status bytes of every packet never reach the caller. Interface B of a chip
// that is no card takes commands and answers nothing.
TEST(UsbFace, UartAnswersCommandsAfterTheLineIsSetUp) {
    Context line = open("NX0001", INTERFACE_B);
    ASSERT_TRUE(line);
    EXPECT_EQ(ftdi_set_baudrate(line.get(), 115200), 0);
    EXPECT_EQ(ftdi_set_line_property(line.get(), BITS_8, STOP_BIT_1, NONE), 0);
    EXPECT_EQ(ftdi_setflowctrl(line.get(), SIO_RTS_CTS_HS), 0);
    EXPECT_EQ(ftdi_set_latency_timer(line.get(), 2), 0);
    unsigned char latency = 0;
    EXPECT_EQ(ftdi_get_latency_timer(line.get(), &latency), 0);
    EXPECT_EQ(latency, 2);
    EXPECT_EQ(ftdi_tcioflush(line.get()), 0);
    EXPECT_EQ(ask(line.get(), "GET HW_SLOT_ID\n"), "RGET HW_SLOT_ID 0\n");
    EXPECT_EQ(ask(line.get(), "GET HW_SW_VER\n"), "RGET HW_SW_VER 1.0.0\n");
    Context plain = open("FT0001", INTERFACE_B);
    ASSERT_TRUE(plain);
    EXPECT_EQ(ask(plain.get(), "GET HW_SLOT_ID\n"), "");
}

// An interface that another open file has claimed cannot be claimed again; once that
// file lets go, it can.
TEST(UsbFace, AnInterfaceAnotherFileHoldsIsBusy) {
    Context holder = open("NX0001", INTERFACE_B);
    ASSERT_TRUE(holder);
    int status = 0;
    EXPECT_FALSE(open("NX0001", INTERFACE_B, &status));
    EXPECT_EQ(status, -5);  // libftdi1: unable to claim the device
    EXPECT_TRUE(open("NX0001", INTERFACE_A));
    holder.reset();
    EXPECT_TRUE(open("NX0001", INTERFACE_B));
}

// The EEPROM reads with a valid checksum and the chip's strings; programmed with channel
// A in FIFO mode, it reads back so, strings kept, checksum valid.
TEST(UsbFace, EepromReadsAndProgramsWithItsChecksum) {
    const auto channelA = [](const char* serial, std::string* product) {
        Context chip = open(serial, INTERFACE_A);
        int type = -1;
        char text[64] = "";
        if (!chip || ftdi_read_eeprom(chip.get()) != 0 || ftdi_eeprom_decode(chip.get(), 0) != 0 ||
            ftdi_get_eeprom_value(chip.get(), CHANNEL_A_TYPE, &type) != 0 ||
            ftdi_eeprom_get_strings(chip.get(), nullptr, 0, text, sizeof text, nullptr, 0) != 0) {
            return -1;
        }
        *product = text;
        return type;
    };
    std::string product;
    EXPECT_EQ(channelA("NX0001", &product), CHANNEL_IS_FIFO);
    EXPECT_EQ(channelA("NX0002", &product), CHANNEL_IS_UART);
    EXPECT_EQ(product, "KRO_NX|2.1");
    {
        Context chip = open("NX0002", INTERFACE_A);
        ASSERT_TRUE(chip);
        ASSERT_EQ(ftdi_read_eeprom(chip.get()), 0);
        ASSERT_EQ(ftdi_eeprom_decode(chip.get(), 0), 0);
        ASSERT_EQ(ftdi_set_eeprom_value(chip.get(), CHANNEL_A_TYPE, CHANNEL_IS_FIFO), 0);
        ASSERT_GT(ftdi_eeprom_build(chip.get()), 0);
        ASSERT_EQ(ftdi_write_eeprom(chip.get()), 0);
    }
    product.clear();
    EXPECT_EQ(channelA("NX0002", &product), CHANNEL_IS_FIFO);
    EXPECT_EQ(product, "KRO_NX|2.1");
}

// Channel A takes a 1 MiB write at the card's 8 MB/s, no faster; a FIFO that stops
// taking data fails the write at libftdi1's time-out instead of hanging.
TEST(UsbFace, FifoTakesDataAtTheCardsPace) {
    Context fifo = open("NX0001", INTERFACE_A);
    ASSERT_TRUE(fifo);
    const std::string image(1 << 20, '\x5a');
    ASSERT_EQ(ftdi_write_data_set_chunksize(fifo.get(), 1 << 20), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ftdi_write_data(fifo.get(), reinterpret_cast<const unsigned char*>(image.data()), int(image.size())),
              int(image.size()));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(125));

    Context stalled = open("NX0002", INTERFACE_A);
    ASSERT_TRUE(stalled);
    stalled->usb_write_timeout = 300;
    EXPECT_LT(ftdi_write_data(stalled.get(), reinterpret_cast<const unsigned char*>(image.data()), 65536), 0);
}

// Unplugged as it takes its version query: a read on the open interface fails, rather
// than waiting for an answer, and the chip is no longer on the bus.
TEST(UsbFace, AnUnpluggedCardFailsItsOpenInterfaceAndLeavesTheBus) {
    Context line = open("NX0003", INTERFACE_B);
    ASSERT_TRUE(line);
    EXPECT_EQ(ask(line.get(), "GET HW_SLOT_ID\n"), "RGET HW_SLOT_ID 2\n");
    EXPECT_EQ(ask(line.get(), "GET HW_FW_VER\n"), "read failed");  // not the empty answer of a time-out
    EXPECT_EQ(listed().count("FTDI/KRO_NX|2.1/NX0003"), 0u);
    EXPECT_EQ(listed().size(), 3u);
}

}  // namespace
