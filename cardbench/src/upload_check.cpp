#include "upload_check.h"

#include <algorithm>
#include <cstring>

namespace cardbench {
namespace {

std::uint32_t littleEndian32(const std::uint8_t* bytes) {
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}

}  // namespace

UploadCheck::UploadCheck(const std::string& updateType, std::uint64_t announcedSize)
    : expectedTag_("NEXIR-" + updateType), size_(announcedSize) {
    expectedTag_.resize(12, ' ');
}

std::size_t UploadCheck::feed(const std::uint8_t* data, std::size_t length) {
    const std::size_t taken = std::size_t(std::min<std::uint64_t>(length, size_ - received_));
    std::size_t offset = 0;
    if (received_ < kHeaderSize) {
        const std::size_t headerPart = std::min<std::size_t>(taken, kHeaderSize - received_);
        std::memcpy(header_.data() + received_, data, headerPart);
        offset = headerPart;
    }
    payloadCrc_.update(data + offset, taken - offset);
    received_ += taken;
    return taken;
}

bool UploadCheck::headerValid() const {
    if (!complete() || size_ < kHeaderSize) {
        return false;
    }
    const bool tagMatches = std::memcmp(header_.data(), expectedTag_.data(), 12) == 0;
    const bool lengthMatches = littleEndian32(header_.data() + 12) == size_ - kHeaderSize;
    const bool crcMatches = littleEndian32(header_.data() + 16) == payloadCrc_.value();
    return tagMatches && lengthMatches && crcMatches;
}

}  // namespace cardbench
