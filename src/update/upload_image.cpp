#include "update/upload_image.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <system_error>

namespace nexir {
namespace {

constexpr std::size_t kHeaderSize = 32;
constexpr std::size_t kTagSize = 12;
constexpr std::size_t kLengthOffset = 12;
constexpr std::size_t kCrcOffset = 16;
constexpr std::size_t kReservedOffset = 20;
constexpr std::uint8_t kPaddingByte = 0xFF;

// The card takes the file size as a 32-bit signed value.
constexpr std::uint64_t kLargestFileSize = 0x7FFFFFFF;

const char* const kReadFailed = "error: could not read update file into memory";
const char* const kTooLarge = "error: update file is too large (the limit is just under 2 GiB)";
const char* const kUnknownType = "Error: Unrecognised update type";

// `info`, when not empty, follows the message as an "info: " line.
int fail(std::ostream& out, const std::string& message, UploadImage& image, const std::string& info = "") {
    image = UploadImage{};
    out << message << std::endl;
    if (!info.empty()) out << "info: " << info << std::endl;
    return -1;
}

// Blank-padded to kTagSize, no terminating NUL in the image; nullptr for an
// unknown type.
const char* tagFor(const std::string& type) {
    if (type == "SW") return "NEXIR-SW    ";
    if (type == "FPGA") return "NEXIR-FPGA  ";
    return nullptr;
}

void storeLittleEndian32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t paddedLength(std::uint64_t fileSize) { return (fileSize + 3) / 4 * 4; }

// Everything but the file's bytes and the CRC, which both come later. The
// file's bytes are not pre-filled: the read overwrites them.
void writeHeaderAndPadding(std::uint8_t* bytes, const char* tag, std::uint64_t fileSize, std::uint32_t payloadLength) {
    std::memcpy(bytes, tag, kTagSize);
    storeLittleEndian32(bytes + kLengthOffset, payloadLength);
    storeLittleEndian32(bytes + kCrcOffset, 0);
    std::memset(bytes + kReservedOffset, 0, kHeaderSize - kReservedOffset);
    std::uint8_t* padding = bytes + kHeaderSize + fileSize;
    std::memset(padding, kPaddingByte, payloadLength - fileSize);
}

// The system's reason why the file at `path` cannot be read, for the line after the
// read failure; empty when the system gave none.
std::string unreadableReason(const std::filesystem::path& path, const std::error_code& sizeError, int openError) {
    std::error_code ignored;
    if (std::filesystem::exists(path, ignored) && !std::filesystem::is_regular_file(path, ignored))
        return "not a regular file";
    if (sizeError) return sizeError.message();
    return openError != 0 ? std::generic_category().message(openError) : "";
}

// The file must hold exactly the size its status gave: fewer bytes leave part of the
// image unread, and more mean it grew while loading, so what was read is a stale
// prefix of what is on disk. Either way the card must not get it.
bool readExactly(std::istream& file, std::uint8_t* into, std::uint64_t count) {
    file.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(count));
    if (!file) return false;
    return file.peek() == std::istream::traits_type::eof();
}

}  // namespace

// zlib's CRC-32 is this very checksum; a start value of 0 is its fresh register.
std::uint32_t crc32(const std::uint8_t* data, std::size_t length) {
    return static_cast<std::uint32_t>(crc32_z(0, data, length));
}

int loadUpdateImageFrom(std::istream& file, std::uint64_t fileSize, const std::string& type, UploadImage& image,
                        std::ostream& out, const std::string& whyUnreadable) {
    if (fileSize > kLargestFileSize) return fail(out, kTooLarge, image);
    const char* tag = tagFor(type);
    if (tag == nullptr) return fail(out, kUnknownType, image);

    const auto payloadLength = static_cast<std::uint32_t>(paddedLength(fileSize));
    const std::uint64_t total = kHeaderSize + payloadLength;
    std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow) std::uint8_t[total]);
    if (!bytes) return fail(out, kReadFailed, image);

    writeHeaderAndPadding(bytes.get(), tag, fileSize, payloadLength);
    if (!readExactly(file, bytes.get() + kHeaderSize, fileSize)) return fail(out, kReadFailed, image, whyUnreadable);
    storeLittleEndian32(bytes.get() + kCrcOffset, crc32(bytes.get() + kHeaderSize, payloadLength));

    image.bytes = std::move(bytes);
    image.size = total;
    return 0;
}

int loadUpdateImage(const std::string& path, const std::string& type, UploadImage& image, std::ostream& out) {
    // The path is UTF-8 on every platform; on Windows the file is opened through the
    // wide API, so any name works whatever the ANSI code page.
    const std::filesystem::path filePath = std::filesystem::u8path(path);
    std::error_code sizeError;
    const std::uintmax_t fileSize = std::filesystem::file_size(filePath, sizeError);
    const auto whyUnreadable = [&](int openError) {
        const std::string reason = unreadableReason(filePath, sizeError, openError);
        return reason.empty() ? reason : path + ": " + reason;
    };
    if (sizeError) return fail(out, kReadFailed, image, whyUnreadable(0));
    // An empty payload would leave the card with no working image at all.
    if (fileSize == 0) return fail(out, "error: update file " + path + " is empty", image);
    // A file that fails to open leaves the stream failed, which the read reports, after
    // the type has been checked.
    errno = 0;
    std::ifstream file(filePath, std::ios::in | std::ios::binary);
    return loadUpdateImageFrom(file, fileSize, type, image, out, file.is_open() ? std::string() : whyUnreadable(errno));
}

}  // namespace nexir
