#include "link/device_description.h"

#include <sstream>

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
            return description.size() < kPrefixLength ? ChannelKind::Unrecognised
                                                      : ChannelKind::ChannelA;
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
