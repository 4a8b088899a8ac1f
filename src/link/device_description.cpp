#include "link/device_description.h"

#include <cstring>
#include <sstream>

namespace nexir {

namespace {
constexpr std::size_t kPrefixLength = 7;  // "KRO_NX|"
}

ChannelKind classifyDescription(const std::string& description) {
    if (description.size() < 2 || description.find("NX") == std::string::npos) {
        return ChannelKind::NotACard;
    }
    switch (description.back()) {
        case 'B':
            return ChannelKind::ChannelB;
        case 'A':
            // Too short to carry a major number after the prefix.
            return description.size() < kPrefixLength ? ChannelKind::Unrecognised : ChannelKind::ChannelA;
        default:
            return ChannelKind::Unrecognised;
    }
}

int majorNumber(const std::string& description) {
    int major = 0;
    if (description.size() < kPrefixLength) return major;
    std::istringstream numbers(description.substr(kPrefixLength));
    numbers >> major;
    return major;
}

namespace {
std::string withoutLastCharacter(const std::string& serial) {
    return serial.empty() ? serial : serial.substr(0, serial.size() - 1);
}
}  // namespace

bool sameCard(const std::string& serialA, const std::string& serialB) {
    return withoutLastCharacter(serialA) == withoutLastCharacter(serialB);
}

namespace {
std::string fieldText(const char* field, std::size_t capacity) { return std::string(field, strnlen(field, capacity)); }

// The first other device whose serial differs only in its last character, or -1.
int findPartner(const std::vector<FT_DEVICE_LIST_INFO_NODE>& nodes, std::size_t count, std::size_t channelA) {
    const std::string serial = serialOf(nodes[channelA]);
    for (std::size_t j = 0; j < count; ++j) {
        if (j != channelA && !heldElsewhere(nodes[j]) && sameCard(serial, serialOf(nodes[j])))
            return static_cast<int>(j);
    }
    return -1;
}
}  // namespace

bool heldElsewhere(const FT_DEVICE_LIST_INFO_NODE& node) {
    return (node.Flags & FT_FLAGS_OPENED) != 0 && serialOf(node).empty() && descriptionOf(node).empty();
}

std::string serialOf(const FT_DEVICE_LIST_INFO_NODE& node) {
    return fieldText(node.SerialNumber, sizeof node.SerialNumber);
}

std::string descriptionOf(const FT_DEVICE_LIST_INFO_NODE& node) {
    return fieldText(node.Description, sizeof node.Description);
}

DeviceVerdict examineDevice(const std::vector<FT_DEVICE_LIST_INFO_NODE>& nodes, std::size_t count, std::size_t index) {
    DeviceVerdict verdict;
    const std::string description = descriptionOf(nodes[index]);
    verdict.kind = classifyDescription(description);
    if (verdict.kind != ChannelKind::ChannelA) return verdict;
    verdict.flowControl = majorNumber(description) > 1;
    verdict.partner = findPartner(nodes, count, index);
    return verdict;
}

}  // namespace nexir
