// What discovery makes of an FTDI device list: examineDevice over every device of an
// arbitrary list, and classifyDescription, majorNumber and sameCard on their own.
//
// Input: a byte for the device count (% 255, so 0 to 254 as discovery accepts), a byte
// for how many records the array holds beyond the count (% 4: the walk must not reach
// them), then the records one after another: a byte whose value % 20 is the serial
// number's length, the serial bytes, a byte whose value % 72 is the description's
// length, the description bytes. A length of 16 (serial) or 64 (description) and more
// fills the field with no NUL. After the NUL a field holds leftovers that look like a
// card channel, which must never be read. Records the input does not reach repeat the
// ones it did, so large lists with many equal serial numbers come cheap.
//
// Models:
// - the text of a field runs to its first NUL or its end;
// - kind: shorter than 2 or no "NX": not a card; last character "B": channel B; "A":
//   channel A when at least 7 characters long (the prefix is not compared), shorter
//   ones may be skipped as either "not a card" or "unrecognised"; anything else:
//   unrecognised;
// - major number: the text after the first 7 characters as strtoll reads it (C locale
//   white space skipped, optional sign, decimal digits; 0 when nothing reads), held to
//   the int's limits, as a stream reads an int; flow control when it is above 1;
// - partner of a channel A: the first other device below the count whose serial number
//   less its last character equals this one's.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "link/device_description.h"

namespace {

// A record field: `text` and a NUL when it is shorter than the field, then leftovers
// that look like a card channel.
template <std::size_t N>
void fillField(char (&field)[N], const std::string& text) {
    for (std::size_t i = 0; i < N; ++i) field[i] = "KRO_NX|2.1 A"[i % 12];
    std::memcpy(field, text.data(), std::min(text.size(), N));
    if (text.size() < N) field[text.size()] = '\0';
}

template <std::size_t N>
std::string fieldText(const char (&field)[N]) {
    const std::string whole(field, N);
    return whole.substr(0, whole.find('\0'));
}

int modelMajor(const std::string& description) {
    if (description.size() <= 7) return 0;
    const long long value = std::strtoll(description.c_str() + 7, nullptr, 10);
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

bool modelSameCard(std::string a, std::string b) {
    if (!a.empty()) a.pop_back();
    if (!b.empty()) b.pop_back();
    return a == b;
}

void checkKind(const std::string& description, ChannelKind kind) {
    const std::string detail = fuzz::shown(description) + " gave " + std::to_string(static_cast<int>(kind));
    if (description.size() < 2 || description.find("NX") == std::string::npos) {
        FUZZ_CHECK(kind == ChannelKind::NotACard, "no NX: not a card", detail);
    } else if (description.back() == 'B') {
        FUZZ_CHECK(kind == ChannelKind::ChannelB, "NX and last B: channel B", detail);
    } else if (description.back() == 'A' && description.size() >= 7) {
        FUZZ_CHECK(kind == ChannelKind::ChannelA, "NX and last A: channel A", detail);
    } else if (description.back() == 'A') {
        FUZZ_CHECK(kind == ChannelKind::NotACard || kind == ChannelKind::Unrecognised,
                   "shorter than the prefix: skipped", detail);
    } else {
        FUZZ_CHECK(kind == ChannelKind::Unrecognised, "NX and another last letter: unrecognised", detail);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    const std::size_t count = input.byte() % 255;
    const std::size_t beyond = input.byte() % 4;

    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes;
    std::vector<std::string> serials, descriptions;
    for (std::size_t fromInput = 0; nodes.size() < count + beyond;) {
        FT_DEVICE_LIST_INFO_NODE node;
        std::memset(&node, input.empty() ? 0 : 0xA5, sizeof node);
        if (!input.empty()) {
            node.ftHandle = nullptr;
            fillField(node.SerialNumber, input.text(input.byte() % 20));
            fillField(node.Description, input.text(input.byte() % 72));
            ++fromInput;
        } else if (fromInput > 0) {
            node = nodes[nodes.size() % fromInput];
        }
        nodes.push_back(node);
        serials.push_back(fieldText(node.SerialNumber));
        descriptions.push_back(fieldText(node.Description));
    }

    for (std::size_t i = 0; i < count; ++i) {
        FUZZ_CHECK(serialOf(nodes[i]) == serials[i], "serialOf reads up to the NUL or the field's end",
                   fuzz::shown(serials[i]));
        FUZZ_CHECK(descriptionOf(nodes[i]) == descriptions[i], "descriptionOf reads up to the NUL or the field's end",
                   fuzz::shown(descriptions[i]));

        const DeviceVerdict verdict = examineDevice(nodes, count, i);
        int partner = -1;
        for (std::size_t j = 0; j < count && partner < 0; ++j) {
            if (j != i && modelSameCard(serials[i], serials[j])) partner = static_cast<int>(j);
        }
        const bool channelA = verdict.kind == ChannelKind::ChannelA;
        const auto detail = [&] {
            return "device " + std::to_string(i) + " of " + std::to_string(count) + ", serial " +
                   fuzz::shown(serials[i]) + ", description " + fuzz::shown(descriptions[i]) + "\nkind " +
                   std::to_string(static_cast<int>(verdict.kind)) + ", partner " + std::to_string(verdict.partner) +
                   " (expected " + std::to_string(partner) + "), flow control " + std::to_string(verdict.flowControl);
        };
        FUZZ_CHECK(verdict.kind == classifyDescription(descriptions[i]),
                   "examineDevice classifies as classifyDescription does", detail());
        FUZZ_CHECK(verdict.flowControl == (channelA && modelMajor(descriptions[i]) > 1),
                   "a channel A has flow control when its major number is above 1", detail());
        FUZZ_CHECK(verdict.partner == (channelA ? partner : -1),
                   "a channel A's partner is the first other device that pairs", detail());
    }

    // The pieces on their own, on the texts of the array's records.
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const std::string& description = descriptions[i];
        checkKind(description, classifyDescription(description));
        FUZZ_CHECK(majorNumber(description) == modelMajor(description), "majorNumber reads as a stream reads an int",
                   fuzz::shown(description) + "\nexpected " + std::to_string(modelMajor(description)) +
                       ", actual " + std::to_string(majorNumber(description)));
        const std::string& other = serials[(i + 1) % nodes.size()];
        FUZZ_CHECK(sameCard(serials[i], other) == modelSameCard(serials[i], other),
                   "sameCard compares all but the last character",
                   fuzz::shown(serials[i]) + " and " + fuzz::shown(other));
    }
    return 0;
}
