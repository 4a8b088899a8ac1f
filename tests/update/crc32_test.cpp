#include "update/crc32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
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
