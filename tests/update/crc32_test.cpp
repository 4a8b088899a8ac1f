#include "update/crc32.h"

#include <gtest/gtest.h>

#include <limits>
#include <utility>
#include <vector>

#include "upload_reference.h"

namespace {

std::uint32_t crcOf(const std::string& bytes)
{
    return crc32(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// Element n is the bitwise CRC of the first n bytes: one pass gives the expected value
// for any length.
std::vector<std::uint32_t> prefixCrcs(const std::uint8_t* data, std::size_t length)
{
    std::vector<std::uint32_t> crcs(1, 0);
    std::uint32_t reg = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i)
        crcs.push_back(~(reg = reference::crcStep(reg, data[i])));
    return crcs;
}

}  // namespace

TEST(Crc32, KnownVectors)
{
    EXPECT_EQ(crcOf(""), 0u);
    EXPECT_EQ(crcOf("123456789"), 0xCBF43926u);
    EXPECT_EQ(crcOf("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
    EXPECT_EQ(crcOf("\xFF\xFF\xFF\xFF"), 0xFFFFFFFFu);
}

// Every length up to a few 32-byte blocks; long inputs, which run as lanes side by side
// whose CRCs are combined, on both sides of the threshold, with every remainder for
// the first segment lengths and remainders of 0 to 31 bytes either side of larger
// multiples of the lane stride; starting addresses that are not word aligned.
TEST(Crc32, MatchesBitwiseReferenceAcrossBlocksLanesAndAlignments)
{
    constexpr std::size_t kStride = kCrc32Lanes * kCrc32BlockSize;
    constexpr std::size_t kLongest = (std::size_t{1} << 20) + 7;
    static_assert(kCrc32LaneThreshold + 4 * kStride < kLongest, "buffer too short for the lengths below");

    std::vector<std::size_t> lengths;
    for (std::size_t length = 0; length <= 260; ++length)
        lengths.push_back(length);
    lengths.push_back(1000);
    for (std::size_t length = kCrc32LaneThreshold - 1; length <= kCrc32LaneThreshold + 4 * kStride; ++length)
        lengths.push_back(length);
    for (std::size_t multiple : {std::size_t{64}, std::size_t{1000}, kLongest / kStride - 1}) {
        for (std::size_t delta = 0; delta <= 31; ++delta) {
            lengths.push_back(multiple * kStride - delta);
            lengths.push_back(multiple * kStride + delta);
        }
    }
    lengths.push_back(kLongest);

    const std::string bytes = reference::patternBytes(kLongest + 4, 20240602);
    for (std::size_t offset : {0u, 1u, 3u, 4u}) {
        const auto* start = reinterpret_cast<const std::uint8_t*>(bytes.data()) + offset;
        const std::vector<std::uint32_t> expected = prefixCrcs(start, kLongest);
        for (std::size_t length : lengths)
            ASSERT_EQ(crc32(start, length), expected[length]) << "length " << length << ", offset " << offset;
    }
}

TEST(Crc32Combine, JoinsTheCrcsOfTwoPieces)
{
    EXPECT_EQ(crc32Combine(crcOf("1234"), crcOf("56789"), 5), 0xCBF43926u);

    const std::string text = reference::patternBytes(70000, 99);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::vector<std::uint32_t> whole = prefixCrcs(bytes, text.size());
    for (std::size_t first : {0u, 1u, 5u, 100u, 3001u}) {
        const std::vector<std::uint32_t> second = prefixCrcs(bytes + first, text.size() - first);
        for (std::size_t length : {0u, 1u, 2u, 3u, 4u, 7u, 8u, 9u, 31u, 32u, 33u, 255u, 256u, 1000u, 4097u, 65549u})
            EXPECT_EQ(crc32Combine(whole[first], second[length], length), whole[first + length])
                << "first " << first << ", second " << length;
    }
}

// Lengths far beyond memory cannot be checked against data, but joining A, B and C
// must give the same whichever pair is joined first. With B of 2^k - 1 bytes and C of
// one, B + C is a single power of two while B and C together have every lower bit set,
// so each power of x the combination uses is checked against the product of all those
// below it.
TEST(Crc32Combine, IsAssociativeForHugeLengths)
{
    const std::uint32_t a = 0x12345678u, b = 0x9ABCDEF0u, c = 0x0F1E2D3Cu;
    std::vector<std::pair<std::size_t, std::size_t>> lengths;
    for (int k = 1; k < std::numeric_limits<std::size_t>::digits; ++k)
        lengths.emplace_back((std::size_t{1} << k) - 1, 1);
    lengths.emplace_back(std::numeric_limits<std::size_t>::max() - 5, 5);
    lengths.emplace_back(std::size_t{3} << 35, (std::size_t{5} << 60) + 12345);
    for (const auto& [lengthB, lengthC] : lengths) {
        EXPECT_EQ(crc32Combine(crc32Combine(a, b, lengthB), c, lengthC),
                  crc32Combine(a, crc32Combine(b, c, lengthC), lengthB + lengthC))
            << lengthB << " + " << lengthC;
    }
}
