#include "update/upload_image.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

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

std::string bytesOf(const UploadImage& image)
{
    return std::string(reinterpret_cast<const char*>(image.bytes.get()), image.size);
}

class UploadImageFile : public ::testing::Test {
protected:
    // Tests run in parallel processes: one file per test and process.
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
        ("nexir_upload_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
         "_" + std::to_string(::getpid()));

    void TearDown() override { std::filesystem::remove(path); }

    int load(const std::string& content, const std::string& type)
    {
        std::ofstream(path, std::ios::binary) << content;
        image = leftOver();
        messages.str("");
        return loadUpdateImage(path.string(), type, image, messages);
    }

    std::ostringstream messages;
    UploadImage image;
};

}  // namespace

// Header, then the file padded with 0xFF; the length and CRC cover the padding.
TEST_F(UploadImageFile, HeaderThenPaddedFile)
{
    const std::string file = reference::patternBytes(9);
    for (const char* type : {"SW", "FPGA"}) {
        for (std::size_t size = 0; size <= file.size(); ++size) {
            ASSERT_EQ(load(file.substr(0, size), type), 0);
            EXPECT_EQ(bytesOf(image), reference::uploadImage(file.substr(0, size), type)) << type << size;
            EXPECT_EQ(messages.str(), "");
        }
    }
}

TEST_F(UploadImageFile, TypeMustBeExactlySwOrFpga)
{
    for (const char* type : {"sw", "Fpga", "", "SW "}) {
        EXPECT_EQ(load("ABCDE", type), -1) << type;
        EXPECT_EQ(messages.str(), kUnknownType) << type;
        EXPECT_EQ(image.bytes, nullptr);
        EXPECT_EQ(image.size, 0u);
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
        EXPECT_EQ(image.bytes, nullptr);
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
        EXPECT_EQ(image.bytes, nullptr);
        EXPECT_EQ(image.size, 0u);
    }
}
