#include "update/upload_image.h"

#include <gtest/gtest.h>

#include <sstream>

#include "upload_reference.h"

namespace {

const std::string kReadFailed = "error: could not read update file into memory\n";
const std::string kUnknownType = "Error: Unrecognised update type\n";
const std::string kTooLarge = "error: update file is too large (the limit is just under 2 GiB)\n";

// A loaded image, so that a failure can be seen to leave it empty.
UploadImage leftOver()
{
    UploadImage image;
    image.bytes.reset(new std::uint8_t[4]);
    image.size = 4;
    return image;
}

// The image's bytes; "none" when it holds none, as after a failed load.
std::string bytesOf(const UploadImage& image)
{
    if (!image.bytes)
        return image.size == 0 ? "none" : "no bytes but a size";
    return std::string(reinterpret_cast<const char*>(image.bytes.get()), image.size);
}

}  // namespace

// Header, then the file padded with 0xFF; the length and CRC cover the padding. The
// type must be exactly SW or FPGA.
TEST(UploadImage, HeaderThenPaddedFileOfAKnownType)
{
    const std::string file = reference::patternBytes(9);
    for (const std::string type : {"SW", "FPGA", "sw", "Fpga", "", "SW "}) {
        for (std::size_t size = 0; size <= file.size(); ++size) {
            std::istringstream content(file.substr(0, size));
            std::ostringstream messages;
            UploadImage image = leftOver();
            const bool known = type == "SW" || type == "FPGA";
            EXPECT_EQ(loadUpdateImageFrom(content, size, type, image, messages), known ? 0 : -1) << type << size;
            EXPECT_EQ(messages.str(), known ? "" : kUnknownType);
            EXPECT_EQ(bytesOf(image), known ? reference::uploadImage(file.substr(0, size), type) : "none");
        }
    }
}

// The path's status comes first, so even a bad type gives the read message.
TEST(UploadImage, MissingFileGivesTheReadMessage)
{
    for (const char* type : {"SW", "sw"}) {
        std::ostringstream messages;
        UploadImage image = leftOver();
        EXPECT_EQ(loadUpdateImage("/nonexistent/image.bin", type, image, messages), -1);
        EXPECT_EQ(messages.str(), kReadFailed) << type;
        EXPECT_EQ(bytesOf(image), "none");
    }
}

// The size its status gave is checked first (2 GiB and more, never truncated to 32
// bits), then the type, then the read: a stream that fails, or holds fewer or more
// bytes than that size (the file changed while loading), fails the load.
TEST(UploadImage, StreamOrderOfRefusals)
{
    struct Case {
        const char* content;
        bool failed;
        std::uint64_t size;
        const char* type;
        std::string message;
    };
    for (const Case& c : std::vector<Case>{{"", false, std::uint64_t{1} << 31, "sw", kTooLarge},
                                           {"", false, (std::uint64_t{1} << 32) + 4, "SW", kTooLarge},
                                           {"ABCDE", true, 5, "FPGA ", kUnknownType},
                                           {"ABCDE", true, 5, "FPGA", kReadFailed},
                                           {"ABC", false, 6, "SW", kReadFailed},
                                           {"ABCDEFG", false, 6, "SW", kReadFailed}}) {
        std::istringstream file(c.content);
        if (c.failed) file.setstate(std::ios::failbit);
        std::ostringstream messages;
        UploadImage image = leftOver();
        EXPECT_EQ(loadUpdateImageFrom(file, c.size, c.type, image, messages), -1) << c.content << c.size;
        EXPECT_EQ(messages.str(), c.message) << c.content << c.size;
        EXPECT_EQ(bytesOf(image), "none");
    }
}
