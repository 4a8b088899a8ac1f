// What the card must receive and what the user must see, built from first principles
// and sharing nothing with the program's code: the upload image (a bit-at-a-time
// CRC-32, the 32-byte header, the 0xFF padding) and one drawing of the progress line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace reference {

inline std::uint32_t crc32(const std::string& bytes) {
    std::uint32_t reg = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        reg ^= byte;
        for (int bit = 0; bit < 8; ++bit) reg = (reg & 1u) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return ~reg;
}

// Header (12-byte tag, payload length, payload CRC-32, 12 zero bytes), then the file's
// bytes padded with 0xFF to a multiple of four.
inline std::string uploadImage(const std::string& fileBytes, const std::string& type) {
    std::string payload = fileBytes;
    while (payload.size() % 4 != 0) payload.push_back('\xFF');
    std::string image = type == "SW" ? "NEXIR-SW    " : "NEXIR-FPGA  ";
    for (std::uint32_t value : {static_cast<std::uint32_t>(payload.size()), crc32(payload)}) {
        for (int i = 0; i < 4; ++i) image.push_back(static_cast<char>(value >> (8 * i)));
    }
    return image + std::string(12, '\0') + payload;
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

inline std::string stageName(int stage) {
    static const char* const names[] = {"Uploading update      ", "Checking CRC          ", "Writing to flash      ",
                                        "Verifying flash write "};
    return stage >= 1 && stage <= 4 ? names[stage - 1] : "";
}

// One redraw of the progress line as the update draws it, 50 cells wide: the integer
// part of 50 * percent / 100 cells plus one are done, at most 50.
inline std::string bar(int stage, int percent, int stageCount) {
    const int done = percent / 2 + 1 < 50 ? percent / 2 + 1 : 50;
    return "\r[" + std::string(done, '#') + std::string(50 - done, ' ') + "] " + std::to_string(percent) + "% step " +
           std::to_string(stage) + " of " + std::to_string(stageCount) + ": " + stageName(stage);
}

}  // namespace reference
