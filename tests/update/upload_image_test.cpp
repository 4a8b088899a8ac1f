#include "update/upload_image.h"

#include "update/crc32.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string kReadFailed = "error: could not read update file into memory\n";
const std::string kUnknownType = "Error: Unrecognised update type\n";
const std::string kTooLarge = "error: update file is too large (the limit is just under 2 GiB)\n";

std::uint32_t fieldAt(const UploadImage& image, std::size_t offset)
{
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;)
        value = (value << 8) | image.bytes[offset + i];
    return value;
}

std::string bytesOf(const UploadImage& image, std::size_t offset, std::size_t count)
{
    return std::string(reinterpret_cast<const char*>(image.bytes.get()) + offset, count);
}

// A loaded image, so that a failure can be seen to leave it empty.
UploadImage leftOver()
{
    UploadImage image;
    image.bytes.reset(new std::uint8_t[4]);
    image.size = 4;
    return image;
}

class UploadImageFile : public ::testing::Test {
protected:
    // Tests run in parallel processes: one file per test and process.
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
        ("nexir_upload_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
         "_" + std::to_string(::getpid()));

    void TearDown() override { std::filesystem::remove(path); }

    void write(const std::string& content) { std::ofstream(path, std::ios::binary) << content; }

    int load(const std::string& type) { return loadUpdateImage(path.string(), type, image, messages); }

    std::ostringstream messages;
    UploadImage image = leftOver();
};

}  // namespace

TEST_F(UploadImageFile, EmptyFileGivesBareHeader)
{
    write("");
    ASSERT_EQ(load("SW"), 0);
    ASSERT_EQ(image.size, 32u);
    EXPECT_EQ(bytesOf(image, 0, 12), "NEXIR-SW    ");
    EXPECT_EQ(fieldAt(image, 12), 0u);
    EXPECT_EQ(fieldAt(image, 16), 0u);
    EXPECT_EQ(bytesOf(image, 20, 12), std::string(12, '\0'));
    EXPECT_EQ(messages.str(), "");
}

TEST_F(UploadImageFile, PayloadIsPaddedWithFFAndLengthAndCrcCoverThePadding)
{
    const std::string file = "ABCDEFGH";
    for (std::size_t fileSize = 1; fileSize <= file.size(); ++fileSize) {
        write(file.substr(0, fileSize));
        ASSERT_EQ(load("FPGA"), 0);
        const std::size_t payloadLength = (fileSize + 3) / 4 * 4;
        const std::string payload = file.substr(0, fileSize) + std::string(payloadLength - fileSize, '\xFF');
        ASSERT_EQ(image.size, 32 + payloadLength) << fileSize;
        EXPECT_EQ(bytesOf(image, 0, 12), "NEXIR-FPGA  ");
        EXPECT_EQ(fieldAt(image, 12), payloadLength);
        EXPECT_EQ(fieldAt(image, 16), crc32(reinterpret_cast<const std::uint8_t*>(payload.data()), payloadLength));
        EXPECT_EQ(bytesOf(image, 20, 12), std::string(12, '\0'));
        EXPECT_EQ(bytesOf(image, 32, payloadLength), payload);
    }
}

TEST_F(UploadImageFile, TypeMustBeExactlySwOrFpga)
{
    write("ABCDE");
    for (const char* type : {"sw", "Fpga", "", "SW "}) {
        image = leftOver();
        messages.str("");
        EXPECT_EQ(load(type), -1) << type;
        EXPECT_EQ(messages.str(), kUnknownType) << type;
        EXPECT_EQ(image.bytes, nullptr);
        EXPECT_EQ(image.size, 0u);
    }
}

// The path's status comes first, so even a bad type gives the read message.
TEST_F(UploadImageFile, MissingFileGivesTheReadMessage)
{
    for (const char* type : {"SW", "sw"}) {
        messages.str("");
        EXPECT_EQ(load(type), -1);
        EXPECT_EQ(messages.str(), kReadFailed) << type;
        EXPECT_EQ(image.bytes, nullptr);
    }
}

// A sparse file, so the test costs no disk space; the load must refuse it
// before allocating anything of that size.
TEST_F(UploadImageFile, FileOfTwoGibibytesIsRefusedBeforeTheType)
{
    write("");
    std::filesystem::resize_file(path, std::uint64_t{1} << 31);
    EXPECT_EQ(load("sw"), -1);
    EXPECT_EQ(messages.str(), kTooLarge);
    EXPECT_EQ(image.bytes, nullptr);
}

TEST(UploadImageStream, TypeIsCheckedBeforeTheRead)
{
    std::istringstream unopened;
    unopened.setstate(std::ios::failbit);
    std::ostringstream messages;
    UploadImage image;
    EXPECT_EQ(loadUpdateImageFrom(unopened, 5, "FPGA ", image, messages), -1);
    EXPECT_EQ(messages.str(), kUnknownType);

    messages.str("");
    EXPECT_EQ(loadUpdateImageFrom(unopened, 5, "FPGA", image, messages), -1);
    EXPECT_EQ(messages.str(), kReadFailed);
}

// What a file that shrank after its status was taken looks like to the load.
TEST(UploadImageStream, FileShorterThanItsStatusSizeGivesTheReadMessage)
{
    std::istringstream shrunk("ABC");
    std::ostringstream messages;
    UploadImage image = leftOver();
    EXPECT_EQ(loadUpdateImageFrom(shrunk, 6, "SW", image, messages), -1);
    EXPECT_EQ(messages.str(), kReadFailed);
    EXPECT_EQ(image.bytes, nullptr);
    EXPECT_EQ(image.size, 0u);
}

TEST(UploadImageStream, SizesFromTwoGibibytesOnAreRefusedWithoutTruncation)
{
    std::istringstream empty;
    std::ostringstream messages;
    UploadImage image;
    for (std::uint64_t fileSize : {std::uint64_t{1} << 31, (std::uint64_t{1} << 32) + 4}) {
        messages.str("");
        EXPECT_EQ(loadUpdateImageFrom(empty, fileSize, "SW", image, messages), -1);
        EXPECT_EQ(messages.str(), kTooLarge) << fileSize;
    }
}

TEST(UploadImageStream, FileLongerThanItsStatusSizeGivesTheReadMessage)
{
    std::istringstream grown("ABCDEFG");
    std::ostringstream messages;
    UploadImage image;
    EXPECT_EQ(loadUpdateImageFrom(grown, 6, "SW", image, messages), -1);
    EXPECT_EQ(messages.str(), kReadFailed);
    EXPECT_EQ(image.bytes, nullptr);
}

// Only a regular file has a size to trust: a FIFO or a device would block the load or
// yield an empty image.
TEST(UploadImage, PathsThatAreNoRegularFilesAreRefused)
{
    const std::string fifo = (std::filesystem::temp_directory_path() /
                              ("nexir-fifo-" + std::to_string(::getpid()))).string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero"), std::string("/dev/null")}) {
        std::ostringstream messages;
        UploadImage image;
        EXPECT_EQ(loadUpdateImage(path, "SW", image, messages), -1) << path;
        EXPECT_EQ(messages.str(), kReadFailed) << path;
    }
    std::filesystem::remove(fifo);
}
