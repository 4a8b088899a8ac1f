// The card's view of one announced upload: it counts the bytes arriving on the FIFO up
// to the announced size and, once they are all there, judges the 32-byte header the
// same way the card's firmware does (tag, payload length, CRC-32 of the payload).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "crc32.h"

namespace cardbench {

class UploadCheck {
public:
    UploadCheck(const std::string& updateType, std::uint64_t announcedSize);

    // Takes what belongs to the upload and returns how many bytes that was.
    std::size_t feed(const std::uint8_t* data, std::size_t length);
    std::uint64_t received() const { return received_; }
    std::uint64_t size() const { return size_; }
    bool complete() const { return received_ >= size_; }
    bool headerValid() const;

private:
    static constexpr std::size_t kHeaderSize = 32;
    std::string expectedTag_;
    std::uint64_t size_;
    std::uint64_t received_ = 0;
    std::array<std::uint8_t, kHeaderSize> header_{};
    Crc32 payloadCrc_;
};

}  // namespace cardbench
