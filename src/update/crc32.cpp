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

// Polynomials modulo the CRC polynomial P, in the register's own bit order:
// bit 31 holds the coefficient of x^0 and bit 0 that of x^31. Shifting a zero
// bit into the register multiplies its polynomial by x; so does one step of
// this function, which is the byte-wise table's inner step.
constexpr std::uint32_t timesX(std::uint32_t poly)
{
    return (poly >> 1) ^ (kReflectedPolynomial & (0u - (poly & 1u)));
}

constexpr std::uint32_t kOne = 0x80000000u;  // x^0

// Carry-less product a * b mod P: b times x^i is added for every x^i present
// in a, low powers first.
constexpr std::uint32_t multiplyModP(std::uint32_t a, std::uint32_t b)
{
    std::uint32_t product = 0;
    for (; a != 0; a <<= 1) {
        product ^= b & (0u - (a >> 31));
        b = timesX(b);
    }
    return product;
}

// kXToPowerOfTwo[k] = x^(2^k) mod P, each the square of the one before. A
// byte count n needs x^(8n), whose exponent has bits 3 to 66 at most.
using PowerTable = std::array<std::uint32_t, 67>;

constexpr PowerTable makePowerTable()
{
    PowerTable powers{};
    powers[0] = timesX(kOne);
    for (std::size_t k = 1; k < powers.size(); ++k)
        powers[k] = multiplyModP(powers[k - 1], powers[k - 1]);
    return powers;
}

constexpr PowerTable kXToPowerOfTwo = makePowerTable();

static_assert(kXToPowerOfTwo[5] == kReflectedPolynomial, "x^32 mod P is the lower terms of P");

// x^(8 * byteCount) mod P: multiplying a register by it has the effect of
// feeding it byteCount zero bytes.
std::uint32_t xToEightTimes(std::size_t byteCount)
{
    std::uint32_t power = kOne;
    for (std::size_t k = 3; byteCount != 0; byteCount >>= 1, ++k)
        if (byteCount & 1u)
            power = multiplyModP(power, kXToPowerOfTwo[k]);
    return power;
}

// Feeding data D to register r gives shift(r, |D|) XOR (the register D gives
// from 0), shift being multiplication by x^(8|D|). So consecutive segments of
// equal length s can each start from 0, run side by side, and be joined as
// ((r0 * x^8s + r1) * x^8s + r2) ..., with the caller's register in r0.
// One step of a single register waits for the step before (extraction, table
// load, folding); the lanes give the core independent chains to overlap.
template <std::size_t Lanes>
std::uint32_t advanceSideBySide(std::uint32_t reg, const std::uint8_t* data, std::size_t segmentLength)
{
    std::array<std::uint32_t, Lanes> regs{};
    regs[0] = reg;
    // The four steps are spelt out: as a loop, GCC keeps them rolled and
    // spills a lane register to the stack in every block.
    const std::uint8_t* const end = data + segmentLength;
    for (const std::uint8_t* block = data; block != end; block += kCrc32BlockSize) {
        for (std::size_t lane = 0; lane < Lanes; ++lane)
            regs[lane] = advanceEightBytes(regs[lane], block + lane * segmentLength);
        for (std::size_t lane = 0; lane < Lanes; ++lane)
            regs[lane] = advanceEightBytes(regs[lane], block + lane * segmentLength + 8);
        for (std::size_t lane = 0; lane < Lanes; ++lane)
            regs[lane] = advanceEightBytes(regs[lane], block + lane * segmentLength + 16);
        for (std::size_t lane = 0; lane < Lanes; ++lane)
            regs[lane] = advanceEightBytes(regs[lane], block + lane * segmentLength + 24);
    }
    const std::uint32_t shift = xToEightTimes(segmentLength);
    std::uint32_t joined = regs[0];
    for (std::size_t lane = 1; lane < Lanes; ++lane)
        joined = multiplyModP(joined, shift) ^ regs[lane];
    return joined;
}

static_assert(kCrc32LaneThreshold >= kCrc32Lanes * kCrc32BlockSize,
              "every segment needs at least one block");

}  // namespace

std::uint32_t crc32(const std::uint8_t* data, std::size_t length)
{
    std::uint32_t reg = 0xFFFFFFFFu;
    if (length >= kCrc32LaneThreshold) {
        const std::size_t segmentLength = length / (kCrc32Lanes * kCrc32BlockSize) * kCrc32BlockSize;
        reg = advanceSideBySide<kCrc32Lanes>(reg, data, segmentLength);
        data += kCrc32Lanes * segmentLength;
        length -= kCrc32Lanes * segmentLength;
    }
    for (; length >= kCrc32BlockSize; length -= kCrc32BlockSize, data += kCrc32BlockSize) {
        reg = advanceEightBytes(reg, data);
        reg = advanceEightBytes(reg, data + 8);
        reg = advanceEightBytes(reg, data + 16);
        reg = advanceEightBytes(reg, data + 24);
    }
    for (; length > 0; --length, ++data)
        reg = advanceOneByte(reg, *data);
    return ~reg;
}

// With g(B) the register B gives from 0 (see advanceSideBySide):
//   crc(A B) = ~(shift(~crc(A), |B|) ^ g(B)),  crc(B) = ~(shift(~0, |B|) ^ g(B)),
// so crc(A B) ^ crc(B) = shift(~crc(A) ^ ~0, |B|) = shift(crc(A), |B|).
std::uint32_t crc32Combine(std::uint32_t crcFirst, std::uint32_t crcSecond, std::size_t lengthSecond)
{
    return multiplyModP(crcFirst, xToEightTimes(lengthSecond)) ^ crcSecond;
}
