#include "crc32.h"

#include <array>

namespace cardbench {
namespace {

std::array<std::uint32_t, 256> makeTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t reg = n;
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg & 1u) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
        }
        table[n] = reg;
    }
    return table;
}

const std::array<std::uint32_t, 256>& table() {
    static const std::array<std::uint32_t, 256> instance = makeTable();
    return instance;
}

}  // namespace

void Crc32::update(const std::uint8_t* data, std::size_t length) {
    const auto& t = table();
    std::uint32_t reg = state_;
    for (std::size_t i = 0; i < length; ++i) {
        reg = (reg >> 8) ^ t[(reg ^ data[i]) & 0xFFu];
    }
    state_ = reg;
}

std::uint32_t crc32(const std::uint8_t* data, std::size_t length) {
    Crc32 crc;
    crc.update(data, length);
    return crc.value();
}

}  // namespace cardbench
