#include "link/device_description.h"

#include <gtest/gtest.h>

using namespace nexir;

// "NX" anywhere marks a card channel (the prefix itself is never compared), the last
// letter tells which; a channel A shorter than the prefix is not recognised.
TEST(DeviceDescription, ClassifiesCardChannelsByTheirLastLetter) {
    const std::pair<const char*, ChannelKind> cases[] = {
        {"KRO_NX|2.1 A", ChannelKind::ChannelA},
        {"KRO_NX|2.1 B", ChannelKind::ChannelB},
        {"KRO_NX|2.1 C", ChannelKind::Unrecognised},
        {"KRO_NX|2.1 a", ChannelKind::Unrecognised},
        {"xxxxxxxNX A", ChannelKind::ChannelA},
        {"NXA", ChannelKind::Unrecognised},
        {"KRO_NXA", ChannelKind::ChannelA},
        {"", ChannelKind::NotACard},
        {"N", ChannelKind::NotACard},
        {"FT232R USB UART A", ChannelKind::NotACard},
        {"nx lower case A", ChannelKind::NotACard},
    };
    for (const auto& [description, kind] : cases) EXPECT_EQ(classifyDescription(description), kind) << description;
}

// The major number as a stream reads it after the prefix; pairs of channels share
// the serial number but for its last character.
TEST(DeviceDescription, MajorNumberAndPairing) {
    const std::pair<const char*, int> majors[] = {{"KRO_NX|2.1 A", 2},
                                                  {"KRO_NX|1.9 A", 1},
                                                  {"KRO_NX|  17-3 A", 17},
                                                  {"KRO_NX|-4.0 A", -4},
                                                  {"KRO_NX|x2.0 A", 0},
                                                  {"KRO_NXA", 0},
                                                  {"NX", 0}};
    for (const auto& [description, major] : majors) EXPECT_EQ(majorNumber(description), major) << description;
    const std::pair<const char*, bool> serials[] = {
        {"NX0001B", true}, {"NX0002B", false}, {"NX001B", false}, {"nX0001A", false}, {"NX0001", false}};
    for (const auto& [serial, same] : serials) EXPECT_EQ(sameCard("NX0001A", serial), same) << serial;
    EXPECT_TRUE(sameCard("", "X"));
}

namespace {
FT_DEVICE_LIST_INFO_NODE node(const std::string& description, const std::string& serial) {
    FT_DEVICE_LIST_INFO_NODE result{};
    serial.copy(result.SerialNumber, sizeof result.SerialNumber);
    description.copy(result.Description, sizeof result.Description);
    return result;
}
}  // namespace

// A channel A finds its partner wherever it stands, but within the count the walk uses;
// text fields that fill their arrays have no NUL.
TEST(DeviceDescription, ChannelAFindsItsPartnerAndFieldsMayFillTheirArrays) {
    const std::vector<FT_DEVICE_LIST_INFO_NODE> nodes = {
        node("KRO_NX|2.1 B", "NX0001B"), node("KRO_NX|2.1 A", "NX0002A"), node("KRO_NX|1.0 A", "NX0001A"),
        node("KRO_NX|2.1 B", "NX0002B")};
    for (const auto& [count, index, kind, partner, flowControl] :
         {std::tuple{4, 2, ChannelKind::ChannelA, 0, false}, std::tuple{4, 1, ChannelKind::ChannelA, 3, true},
          std::tuple{3, 1, ChannelKind::ChannelA, -1, true}}) {
        const DeviceVerdict verdict = examineDevice(nodes, count, index);
        EXPECT_EQ(std::tuple(verdict.kind, verdict.partner, verdict.flowControl),
                  std::tuple(kind, partner, flowControl));
    }
    const FT_DEVICE_LIST_INFO_NODE full = node(std::string(64, 'N'), "NX0123456789ABCA");
    EXPECT_EQ(serialOf(full), "NX0123456789ABCA");
    EXPECT_EQ(descriptionOf(full), std::string(64, 'N'));
}
