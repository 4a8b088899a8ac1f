// The upload image as the card must receive it, built from first principles and
// sharing nothing with the program's code: a bit-at-a-time CRC-32 (IEEE 802.3,
// reflected 0xEDB88320), the 32-byte header and the 0xFF padding. Used by the unit
// tests, the bench's tests and the end-to-end tests alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace reference {

// One byte into a CRC register (preset 0xFFFFFFFF, complemented at the end).
inline std::uint32_t crcStep(std::uint32_t reg, std::uint8_t byte) {
    reg ^= byte;
    for (int bit = 0; bit < 8; ++bit) reg = (reg & 1u) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    return reg;
}

inline std::uint32_t crc32(const std::string& bytes) {
    std::uint32_t reg = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) reg = crcStep(reg, byte);
    return ~reg;
}

inline std::string littleEndian32(std::uint32_t value) {
    std::string bytes;
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    return bytes;
}

// Header (12-byte tag, payload length, payload CRC-32, 12 zero bytes), then the file's
// bytes padded with 0xFF to a multiple of four.
inline std::string uploadImage(const std::string& fileBytes, const std::string& type) {
    std::string payload = fileBytes;
    while (payload.size() % 4 != 0) payload.push_back('\xFF');
    const std::string tag = type == "SW" ? "NEXIR-SW    " : "NEXIR-FPGA  ";
    return tag + littleEndian32(static_cast<std::uint32_t>(payload.size())) + littleEndian32(crc32(payload)) +
           std::string(12, '\0') + payload;
}

// Bytes that are not all alike, so that a shifted or repeated block would show.
inline std::string patternBytes(std::size_t size, std::uint32_t seed = 1) {
    std::string bytes(size, '\0');
    for (auto& byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<char>(seed >> 24);
    }
    return bytes;
}

}  // namespace reference
