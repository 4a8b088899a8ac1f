#include "update/upload_image.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>
#include <system_error>

#include "../reference.h"

using namespace nexir;

namespace {

const std::string kReadFailed = "error: could not read update file into memory\n";
const std::string kUnknownType = "Error: Unrecognised update type\n";
const std::string kTooLarge = "error: update file is too large (the limit is just under 2 GiB)\n";

// Loads from a stream into an image that already holds bytes, so that a failure can be
// seen to leave it empty; returns the messages, then the image's bytes or "none".
std::string load(std::istream& file, std::uint64_t size, const std::string& type, int expected) {
    UploadImage image{std::unique_ptr<std::uint8_t[]>(new std::uint8_t[4]), 4};
    std::ostringstream messages;
    EXPECT_EQ(loadUpdateImageFrom(file, size, type, image, messages), expected) << type << size;
    return messages.str() + (image.bytes       ? std::string(reinterpret_cast<char*>(image.bytes.get()), image.size)
                             : image.size == 0 ? "none"
                                               : "a size without bytes");
}

}  // namespace

TEST(Crc32, PublishedCheckValues) {
    EXPECT_EQ(crc32(reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0xCBF43926u);
    EXPECT_EQ(crc32(nullptr, 0), 0u);
}

// Header, then the file padded with 0xFF; the length and CRC cover the padding. The
// type must be exactly SW or FPGA.
TEST(UploadImage, HeaderThenPaddedFileOfAKnownType) {
    const std::string file = reference::patternBytes(9);
    for (const std::string type : {"SW", "FPGA", "sw", "Fpga", "SW "}) {
        for (std::size_t size = 0; size <= file.size(); ++size) {
            std::istringstream content(file.substr(0, size));
            const bool known = type == "SW" || type == "FPGA";
            EXPECT_EQ(load(content, size, type, known ? 0 : -1),
                      known ? reference::uploadImage(file.substr(0, size), type) : kUnknownType + "none");
        }
    }
}

// The size first (2 GiB and more, never truncated to 32 bits), then the type, then the
// read: a stream that fails, or holds fewer or more bytes than its status gave (the
// file changed while loading), fails the load. A missing path gives the read message
// and the system's reason.
TEST(UploadImage, RefusalsInTheirOrder) {
    for (const auto& [content, failed, size, type, message] :
         std::vector<std::tuple<const char*, bool, std::uint64_t, const char*, std::string>>{
             {"", false, std::uint64_t{1} << 31, "sw", kTooLarge},
             {"", false, (std::uint64_t{1} << 32) + 4, "SW", kTooLarge},
             {"ABCDE", true, 5, "FPGA ", kUnknownType},
             {"ABCDE", true, 5, "FPGA", kReadFailed},
             {"ABC", false, 6, "SW", kReadFailed},
             {"ABCDEFG", false, 6, "SW", kReadFailed}}) {
        std::istringstream file(content);
        if (failed) file.setstate(std::ios::failbit);
        EXPECT_EQ(load(file, size, type, -1), message + "none");
    }
    UploadImage image;
    std::ostringstream messages;
    EXPECT_EQ(loadUpdateImage("/nonexistent/image.bin", "sw", image, messages), -1);
    EXPECT_EQ(messages.str(),
              kReadFailed + "info: /nonexistent/image.bin: " + std::generic_category().message(ENOENT) + "\n");
}
