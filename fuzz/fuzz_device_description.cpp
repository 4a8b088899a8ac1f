// examineDevice on every device of an arbitrary FTDI device list: a count byte (% 255, as
// discovery accepts), a byte for records beyond it (% 4, never read), then per record the
// serial and the description, each after a length byte (% 20, % 72); a full field has no
// NUL, a shorter one is followed by leftovers that look like a card channel, and records
// past the input repeat earlier ones. Models: a field reads to its NUL or end; shorter
// than 2 or no "NX": not a card; last "B": channel B; "A": channel A from 7 characters
// (shorter ones either way); else unrecognised. Flow control when the text after 7
// characters reads (strtoll, held to int) above 1; the partner is the first other device
// below the count whose serial less its last character is the same.
#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "link/device_description.h"

using namespace nexir;

namespace {

template <std::size_t N>
std::string fill(char (&field)[N], const std::string& text) {
    for (std::size_t i = 0; i < N; ++i) field[i] = "KRO_NX|2.1 A"[i % 12];
    std::memcpy(field, text.data(), std::min(text.size(), N));
    if (text.size() < N) field[text.size()] = '\0';
    return text.substr(0, std::min(text.find('\0'), N));
}

std::string allButLast(std::string text) {
    if (!text.empty()) text.pop_back();
    return text;
}

ChannelKind modelKind(const std::string& description, ChannelKind actual) {
    if (description.size() < 2 || description.find("NX") == std::string::npos) return ChannelKind::NotACard;
    if (description.back() == 'B') return ChannelKind::ChannelB;
    if (description.back() != 'A') return ChannelKind::Unrecognised;
    if (description.size() >= 7) return ChannelKind::ChannelA;
    return actual == ChannelKind::NotACard ? actual : ChannelKind::Unrecognised;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input{data, size};
    const std::size_t count = input.byte() % 255;
    const std::size_t beyond = input.byte() % 4;
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes;
    std::vector<std::string> serials, descriptions;
    for (std::size_t fromInput = 0; nodes.size() < count + beyond;) {
        FT_DEVICE_LIST_INFO_NODE node{};
        std::string serial, description;
        if (!input.empty()) {
            serial = fill(node.SerialNumber, input.text(input.byte() % 20));
            description = fill(node.Description, input.text(input.byte() % 72));
            ++fromInput;
        } else if (fromInput > 0) {
            const std::size_t k = nodes.size() % fromInput;
            node = nodes[k], serial = serials[k], description = descriptions[k];
        }
        nodes.push_back(node), serials.push_back(serial), descriptions.push_back(description);
    }
    for (std::size_t i = 0; i < count; ++i) {
        const DeviceVerdict verdict = examineDevice(nodes, count, i);
        const std::string detail = "device " + std::to_string(i) + " of " + std::to_string(count) + ": serial " +
                                   serials[i] + ", description " + descriptions[i];
        fuzz::check(serialOf(nodes[i]) == serials[i] && descriptionOf(nodes[i]) == descriptions[i],
                    "a field reads up to its NUL or its end", detail);
        fuzz::check(verdict.kind == modelKind(descriptions[i], verdict.kind), "the kind", detail);
        const bool channelA = verdict.kind == ChannelKind::ChannelA;
        const long long major = descriptions[i].size() > 7 ? std::strtoll(descriptions[i].c_str() + 7, nullptr, 10) : 0;
        fuzz::check(verdict.flowControl == (channelA && std::clamp<long long>(major, INT_MIN, INT_MAX) > 1),
                    "flow control above major number 1", detail);
        int partner = -1;
        for (std::size_t j = 0; j < count && partner < 0 && channelA; ++j) {
            if (j != i && allButLast(serials[i]) == allButLast(serials[j])) partner = static_cast<int>(j);
        }
        fuzz::check(verdict.partner == partner, "a channel A's partner is the first other device that pairs", detail);
    }
    return 0;
}
