#include "link/device_description.h"

#include <gtest/gtest.h>

// "NX" anywhere marks a card channel (the prefix itself is never compared), the last
// letter tells which; a channel A shorter than the prefix is not recognised.
TEST(DeviceDescription, ClassifiesCardChannelsByTheirLastLetter) {
    const std::pair<const char*, ChannelKind> cases[] = {
        {"KRO_NX|2.1 A", ChannelKind::ChannelA},     {"KRO_NX|2.1 B", ChannelKind::ChannelB},
        {"KRO_NX|2.1 C", ChannelKind::Unrecognised}, {"KRO_NX|2.1 a", ChannelKind::Unrecognised},
        {"xxxxxxxNX A", ChannelKind::ChannelA},      {"NXA", ChannelKind::Unrecognised},
        {"KRO_NXA", ChannelKind::ChannelA},          {"", ChannelKind::NotACard},
        {"N", ChannelKind::NotACard},                {"FT232R USB UART A", ChannelKind::NotACard},
        {"nx lower case A", ChannelKind::NotACard},
    };
    for (const auto& [description, kind] : cases) EXPECT_EQ(classifyDescription(description), kind) << description;
}

TEST(DeviceDescription, MajorNumberFollowsThePrefixAsAStreamReadsIt) {
    EXPECT_EQ(majorNumber("KRO_NX|2.1 A"), 2);
    EXPECT_EQ(majorNumber("KRO_NX|1.9 A"), 1);
    EXPECT_EQ(majorNumber("KRO_NX|  17-3 A"), 17);
    EXPECT_EQ(majorNumber("KRO_NX|-4.0 A"), -4);
    EXPECT_EQ(majorNumber("KRO_NX|x2.0 A"), 0);
    EXPECT_EQ(majorNumber("KRO_NXA"), 0);
    EXPECT_EQ(majorNumber("NX"), 0);
}

TEST(DeviceDescription, ChannelsPairWhenSerialsDifferOnlyInTheLastCharacter) {
    EXPECT_TRUE(sameCard("NX0001A", "NX0001B"));
    EXPECT_TRUE(sameCard("A", "B"));
    EXPECT_TRUE(sameCard("", "X"));
    EXPECT_FALSE(sameCard("NX0001A", "NX0002B"));
    EXPECT_FALSE(sameCard("NX0001A", "NX001B"));
    EXPECT_FALSE(sameCard("NX0001A", "nX0001A"));
}

namespace {
FT_DEVICE_LIST_INFO_NODE node(const std::string& description, const std::string& serial) {
    FT_DEVICE_LIST_INFO_NODE result{};
    serial.copy(result.SerialNumber, sizeof result.SerialNumber);
    description.copy(result.Description, sizeof result.Description);
    return result;
}
}  // namespace

TEST(DeviceDescription, ChannelAFindsItsPartnerWhereverItStands) {
    const std::vector<FT_DEVICE_LIST_INFO_NODE> nodes = {
        node("KRO_NX|2.1 B", "NX0001B"), node("KRO_NX|2.1 A", "NX0002A"),
        node("KRO_NX|1.0 A", "NX0001A"), node("KRO_NX|2.1 B", "NX0002B")};
    const DeviceVerdict first = examineDevice(nodes, nodes.size(), 2);
    EXPECT_EQ(first.kind, ChannelKind::ChannelA);
    EXPECT_EQ(first.partner, 0);
    EXPECT_FALSE(first.flowControl);
    const DeviceVerdict second = examineDevice(nodes, nodes.size(), 1);
    EXPECT_EQ(second.partner, 3);
    EXPECT_TRUE(second.flowControl);
    // The partner must lie within the count the walk uses.
    EXPECT_EQ(examineDevice(nodes, 3, 1).partner, -1);
}

TEST(DeviceDescription, FieldsThatFillTheirArraysHaveNoNul) {
    const std::string serial16 = "NX0123456789ABCA";
    const std::string description64(64, 'N');
    const FT_DEVICE_LIST_INFO_NODE full = node(description64, serial16);
    EXPECT_EQ(serialOf(full), serial16);
    EXPECT_EQ(descriptionOf(full), description64);
}
