#include "link/device_description.h"

#include <gtest/gtest.h>

TEST(DeviceDescription, ClassifiesCardChannelsByTheirLastLetter) {
    EXPECT_EQ(classifyDescription("KRO_NX|2.1 A"), ChannelKind::ChannelA);
    EXPECT_EQ(classifyDescription("KRO_NX|2.1 B"), ChannelKind::ChannelB);
    EXPECT_EQ(classifyDescription("KRO_NX|2.1 C"), ChannelKind::Unrecognised);
    EXPECT_EQ(classifyDescription("KRO_NX|2.1 a"), ChannelKind::Unrecognised);
    // "NX" anywhere marks a card channel; the prefix itself is never compared.
    EXPECT_EQ(classifyDescription("xxxxxxxNX A"), ChannelKind::ChannelA);
}

TEST(DeviceDescription, SkipsDevicesThatAreNoCards) {
    EXPECT_EQ(classifyDescription(""), ChannelKind::NotACard);
    EXPECT_EQ(classifyDescription("N"), ChannelKind::NotACard);
    EXPECT_EQ(classifyDescription("FT232R USB UART A"), ChannelKind::NotACard);
    EXPECT_EQ(classifyDescription("nx lower case A"), ChannelKind::NotACard);
}

TEST(DeviceDescription, ChannelAShorterThanThePrefixIsNotRecognised) {
    EXPECT_EQ(classifyDescription("NXA"), ChannelKind::Unrecognised);
    EXPECT_EQ(classifyDescription("KRO_NXA"), ChannelKind::ChannelA);  // exactly the prefix length
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
