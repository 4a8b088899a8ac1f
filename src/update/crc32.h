#pragma once

#include <cstddef>
#include <cstdint>

// Standard CRC-32 (IEEE 802.3, reflected polynomial 0xEDB88320, register
// preset to 0xFFFFFFFF, result complemented), as carried in the upload image
// header. Each call computes one CRC from scratch; there is no running value.
std::uint32_t crc32(const std::uint8_t* data, std::size_t length);

// CRC-32 of the concatenation A B, given crc32 of A, crc32 of B and the
// length of B in bytes; the length of A does not matter. Takes time
// logarithmic in lengthSecond, whatever the data.
std::uint32_t crc32Combine(std::uint32_t crcFirst, std::uint32_t crcSecond, std::size_t lengthSecond);

// Inputs of at least kCrc32LaneThreshold bytes are cut into kCrc32Lanes
// equal segments (each a whole number of kCrc32BlockSize-byte blocks) whose
// CRCs are computed side by side and then combined; the bytes left over and
// shorter inputs take the single-register path. The result is the same
// either way; the figures are public so that tests can aim at the seams.
inline constexpr std::size_t kCrc32BlockSize = 32;
inline constexpr std::size_t kCrc32Lanes = 3;
inline constexpr std::size_t kCrc32LaneThreshold = 1024;
