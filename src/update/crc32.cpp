#include "update/crc32.h"

#include <array>
#include <cstring>

namespace {

using CrcTable = std::array<std::uint32_t, 256>;
using CrcTables = std::array<CrcTable, 8>;

constexpr std::uint32_t kReflectedPolynomial = 0xEDB88320u;

// T0 is the classic byte-wise table; Tk advances a byte that sits k bytes
// further from the end of an 8-byte group, so one lookup per byte handles a
// whole group at once ("slicing by eight").
constexpr CrcTables makeTables()
{
    CrcTables tables{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t reg = n;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1u) ? (reg >> 1) ^ kReflectedPolynomial : reg >> 1;
        tables[0][n] = reg;
    }
    for (std::size_t k = 1; k < tables.size(); ++k)
        for (std::size_t n = 0; n < 256; ++n) {
            const std::uint32_t previous = tables[k - 1][n];
            tables[k][n] = (previous >> 8) ^ tables[0][previous & 0xFFu];
        }
    return tables;
}

constexpr CrcTables kTables = makeTables();
constexpr const CrcTable& T0 = kTables[0];
constexpr const CrcTable& T1 = kTables[1];
constexpr const CrcTable& T2 = kTables[2];
constexpr const CrcTable& T3 = kTables[3];
constexpr const CrcTable& T4 = kTables[4];
constexpr const CrcTable& T5 = kTables[5];
constexpr const CrcTable& T6 = kTables[6];
constexpr const CrcTable& T7 = kTables[7];

static_assert(T0[1] == 0x77073096u, "byte-wise table does not match CRC-32");

// The image may start at any address, so words are copied out rather than
// dereferenced; compilers turn this into a single load.
inline std::uint32_t loadLittleEndian32(const std::uint8_t* bytes)
{
    std::uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap32(word);
#endif
    return word;
}

inline std::uint32_t byteOf(std::uint32_t word, int index)
{
    return (word >> (8 * index)) & 0xFFu;
}

// One table step: the register folds into the first word only, so the
// lookups for the second word do not wait for the previous step.
inline std::uint32_t advanceEightBytes(std::uint32_t reg, const std::uint8_t* bytes)
{
    const std::uint32_t first = loadLittleEndian32(bytes) ^ reg;
    const std::uint32_t second = loadLittleEndian32(bytes + 4);
    const std::uint32_t fromFirst =
        T7[byteOf(first, 0)] ^ T6[byteOf(first, 1)] ^ T5[byteOf(first, 2)] ^ T4[byteOf(first, 3)];
    const std::uint32_t fromSecond =
        T3[byteOf(second, 0)] ^ T2[byteOf(second, 1)] ^ T1[byteOf(second, 2)] ^ T0[byteOf(second, 3)];
    return fromFirst ^ fromSecond;
}

inline std::uint32_t advanceOneByte(std::uint32_t reg, std::uint8_t byte)
{
    return (reg >> 8) ^ T0[(reg ^ byte) & 0xFFu];
}

constexpr std::size_t kBlockSize = 32;

}  // namespace

std::uint32_t crc32(const std::uint8_t* data, std::size_t length)
{
    std::uint32_t reg = 0xFFFFFFFFu;
    for (; length >= kBlockSize; length -= kBlockSize, data += kBlockSize) {
        reg = advanceEightBytes(reg, data);
        reg = advanceEightBytes(reg, data + 8);
        reg = advanceEightBytes(reg, data + 16);
        reg = advanceEightBytes(reg, data + 24);
    }
    for (; length > 0; --length, ++data)
        reg = advanceOneByte(reg, *data);
    return ~reg;
}
