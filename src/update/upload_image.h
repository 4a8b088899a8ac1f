#pragma once

#include <cstdint>
#include <iostream>
#include <memory>
#include <string>

// What is announced to the card and written to its FIFO channel: a 32-byte
// header (type tag, payload length, payload CRC-32, zeros) followed by the
// image file's bytes, padded with 0xFF to a multiple of 4. One heap block, so
// that header and payload go out in a single write.
struct UploadImage {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::uint64_t size = 0;  // header included
};

// Loads the image file at `path` for update type "SW" or "FPGA" (exact case).
// Returns 0 and fills `image`, or prints one flushed line on `out` and returns
// -1 with `image` left empty.
int loadUpdateImage(const std::string& path, const std::string& type, UploadImage& image,
                    std::ostream& out = std::cout);

// The same, for a file that is already open as `file` and whose status gave
// `fileSize`. Exactly `fileSize` bytes are read; a stream that fails or ends
// earlier fails the load.
int loadUpdateImageFrom(std::istream& file, std::uint64_t fileSize, const std::string& type, UploadImage& image,
                        std::ostream& out = std::cout);
