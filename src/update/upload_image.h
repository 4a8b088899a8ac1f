#pragma once

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>

namespace nexir {

// What is announced to the card and written to its FIFO channel: a 32-byte
// header (type tag, payload length, payload CRC-32, zeros) followed by the
// image file's bytes, padded with 0xFF to a multiple of 4. One heap block, so
// that header and payload go out in a single write.
struct UploadImage {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::uint64_t size = 0;  // header included
};

// Standard CRC-32 (IEEE 802.3, reflected polynomial 0xEDB88320, register preset to
// 0xFFFFFFFF, result complemented), as carried in the header. Each call computes one
// CRC from scratch; there is no running value.
std::uint32_t crc32(const std::uint8_t* data, std::size_t length);

// Loads the image file at `path` for update type "SW" or "FPGA" (exact case). An
// empty file is refused. Returns 0 and fills `image`, or prints its reason on `out`
// (one flushed line, and for a file the system cannot read an "info: " line with the
// system's reason) and returns -1 with `image` left empty.
int loadUpdateImage(const std::string& path, const std::string& type, UploadImage& image,
                    std::ostream& out = std::cout);

// The same, for a file that is already open as `file` and whose status gave
// `fileSize`. Exactly `fileSize` bytes are read; a stream that fails or ends
// earlier fails the load; `whyUnreadable`, when not empty, follows the read failure
// as an "info: " line.
int loadUpdateImageFrom(std::istream& file, std::uint64_t fileSize, const std::string& type, UploadImage& image,
                        std::ostream& out = std::cout, const std::string& whyUnreadable = "");

}  // namespace nexir
