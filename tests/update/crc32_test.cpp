#include "update/crc32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

namespace {

// Bit at a time, without tables, so that it shares nothing with the code
// under test but the polynomial.
std::uint32_t bitwiseCrc32(const std::uint8_t* data, std::size_t length)
{
    std::uint32_t reg = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i) {
        reg ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1u) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return ~reg;
}

std::uint32_t crcOfText(const char* text)
{
    return crc32(reinterpret_cast<const std::uint8_t*>(text), std::strlen(text));
}

std::vector<std::uint8_t> randomBytes(std::size_t count, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<std::uint8_t> bytes(count);
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(random());
    return bytes;
}

// Bitwise CRC of every prefix: element n is the CRC of the first n bytes. One
// pass gives the expected value for any length.
std::vector<std::uint32_t> bitwisePrefixCrcs(const std::uint8_t* data, std::size_t length)
{
    std::vector<std::uint32_t> crcs(length + 1);
    std::uint32_t reg = 0xFFFFFFFFu;
    crcs[0] = ~reg;
    for (std::size_t i = 0; i < length; ++i) {
        reg ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 1u) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
        crcs[i + 1] = ~reg;
    }
    return crcs;
}

}  // namespace

TEST(Crc32, KnownVectors)
{
    EXPECT_EQ(crcOfText(""), 0u);
    EXPECT_EQ(crcOfText("123456789"), 0xCBF43926u);
    EXPECT_EQ(crcOfText("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
    const std::vector<std::uint8_t> padding(4, 0xFF);
    EXPECT_EQ(crc32(padding.data(), padding.size()), 0xFFFFFFFFu);
}

// Lengths below, at and past one and two 32-byte blocks, odd tails, and
// starting addresses that are not word aligned.
TEST(Crc32, MatchesBitwiseReferenceForAllLengthsAndAlignments)
{
    std::mt19937 random(20240601);
    std::vector<std::uint8_t> bytes(1000 + 8);
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(random());

    std::vector<std::size_t> lengths;
    for (std::size_t length = 0; length <= 100; ++length)
        lengths.push_back(length);
    for (std::size_t length : {255u, 256u, 257u, 1000u})
        lengths.push_back(length);

    for (std::size_t offset : {0u, 1u, 3u, 4u}) {
        for (std::size_t length : lengths) {
            const std::uint8_t* start = bytes.data() + offset;
            EXPECT_EQ(crc32(start, length), bitwiseCrc32(start, length))
                << "length " << length << ", offset " << offset;
        }
    }
}

// Long inputs run as several segments side by side whose CRCs are combined,
// plus a remainder of blocks and single bytes. Lengths on both sides of the
// threshold, every remainder for the first few segment lengths, remainders of
// 0 to 31 bytes either side of larger multiples of the lane stride, and
// starting addresses that are not word aligned.
TEST(Crc32, MatchesBitwiseReferenceAcrossLaneSeams)
{
    constexpr std::size_t kStride = kCrc32Lanes * kCrc32BlockSize;
    constexpr std::size_t kLongest = (std::size_t{1} << 20) + 7;
    static_assert(kCrc32LaneThreshold + 4 * kStride < kLongest, "buffer too short for the lengths below");

    std::vector<std::size_t> lengths;
    for (std::size_t length = 0; length <= 200; ++length)
        lengths.push_back(length);
    for (std::size_t length = kCrc32LaneThreshold - 1; length <= kCrc32LaneThreshold + 4 * kStride; ++length)
        lengths.push_back(length);
    for (std::size_t multiple : {std::size_t{64}, std::size_t{1000}, kLongest / kStride - 1}) {
        for (std::size_t delta = 0; delta <= 31; ++delta) {
            lengths.push_back(multiple * kStride - delta);
            lengths.push_back(multiple * kStride + delta);
        }
    }
    lengths.push_back(kLongest - 7);
    lengths.push_back(kLongest);

    const std::vector<std::uint8_t> bytes = randomBytes(kLongest + 3, 20240602);
    for (std::size_t offset : {0u, 3u}) {
        const std::uint8_t* start = bytes.data() + offset;
        const std::vector<std::uint32_t> expected = bitwisePrefixCrcs(start, kLongest);
        for (std::size_t length : lengths)
            ASSERT_EQ(crc32(start, length), expected[length]) << "length " << length << ", offset " << offset;
    }
}

TEST(Crc32Combine, JoinsTheCrcsOfTwoPieces)
{
    EXPECT_EQ(crc32Combine(crcOfText("1234"), crcOfText("56789"), 5), 0xCBF43926u);

    const std::vector<std::uint8_t> bytes = randomBytes(70000, 99);
    const std::vector<std::uint32_t> whole = bitwisePrefixCrcs(bytes.data(), bytes.size());
    for (std::size_t first : {0u, 1u, 5u, 100u, 3001u}) {
        const std::uint8_t* second = bytes.data() + first;
        const std::vector<std::uint32_t> secondPrefixes = bitwisePrefixCrcs(second, bytes.size() - first);
        for (std::size_t lengthSecond :
             {0u, 1u, 2u, 3u, 4u, 7u, 8u, 9u, 31u, 32u, 33u, 255u, 256u, 1000u, 4097u, 65536u + 13u}) {
            EXPECT_EQ(crc32Combine(whole[first], secondPrefixes[lengthSecond], lengthSecond),
                      whole[first + lengthSecond])
                << "first " << first << ", second " << lengthSecond;
        }
    }
}

// Lengths far beyond memory cannot be checked against data, but joining
// A, B and C must give the same whichever pair is joined first. With B of
// 2^k - 1 bytes and C of one, B + C is a single power of two while B and C
// together have every lower bit set, so each power of x the combination uses
// is checked against the product of all those below it.
TEST(Crc32Combine, IsAssociativeForHugeLengths)
{
    const std::uint32_t a = 0x12345678u;
    const std::uint32_t b = 0x9ABCDEF0u;
    const std::uint32_t c = 0x0F1E2D3Cu;
    std::vector<std::pair<std::size_t, std::size_t>> lengths;
    for (int k = 1; k < std::numeric_limits<std::size_t>::digits; ++k)
        lengths.emplace_back((std::size_t{1} << k) - 1, 1);
    const std::size_t maxLength = std::numeric_limits<std::size_t>::max();
    lengths.emplace_back(maxLength - 5, 5);
    lengths.emplace_back(std::size_t{3} << 35, (std::size_t{5} << 60) + 12345);
    for (const auto& [lengthB, lengthC] : lengths) {
        EXPECT_EQ(crc32Combine(crc32Combine(a, b, lengthB), c, lengthC),
                  crc32Combine(a, crc32Combine(b, c, lengthC), lengthB + lengthC))
            << lengthB << " + " << lengthC;
    }
}
