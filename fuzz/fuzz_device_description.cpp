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
// - major number: the text after the first 7 characters read as formatted stream input
//   reads an int (C locale white space skipped, optional sign, decimal digits; 0 when
//   nothing reads, the int's limit when the number is beyond it); flow control when it
//   is above 1;
// - partner of a channel A: the first other device below the count whose serial number
//   less its last character equals this one's.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "link/device_description.h"

namespace {

const char kLeftovers[] = "KRO_NX|2.1 A";

// A record field: `text` and a NUL when it is shorter than the field, then leftovers.
template <std::size_t N>
void fillField(char (&field)[N], const std::string& text, const char* leftovers) {
    const std::size_t leftoverLength = std::strlen(leftovers);
    for (std::size_t i = 0; i < N; ++i) field[i] = leftovers[i % leftoverLength];
    std::memcpy(field, text.data(), text.size() < N ? text.size() : N);
    if (text.size() < N) field[text.size()] = '\0';
}

FT_DEVICE_LIST_INFO_NODE readRecord(fuzz::Input& input) {
    FT_DEVICE_LIST_INFO_NODE node;
    std::memset(&node, 0xA5, sizeof node);
    node.ftHandle = nullptr;
    const std::string serial = input.text(input.byte() % 20);
    const std::string description = input.text(input.byte() % 72);
    fillField(node.SerialNumber, serial, "SERIAL");
    fillField(node.Description, description, kLeftovers);
    return node;
}

std::string fieldText(const char* field, std::size_t capacity) {
    std::size_t length = 0;
    while (length < capacity && field[length] != '\0') ++length;
    return std::string(field, length);
}

bool isWhite(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int modelMajor(const std::string& description) {
    if (description.size() <= 7) return 0;
    const std::string text = description.substr(7);
    std::size_t at = 0;
    while (at < text.size() && isWhite(text[at])) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    if (at >= text.size() || text[at] < '0' || text[at] > '9') return 0;
    long long magnitude = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        magnitude = magnitude * 10 + (text[at] - '0');
        if (magnitude > 1LL + INT_MAX) return negative ? INT_MIN : INT_MAX;
    }
    if (negative) return static_cast<int>(-magnitude);
    return magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
}

const char* kindName(ChannelKind kind) {
    switch (kind) {
        case ChannelKind::NotACard: return "NotACard";
        case ChannelKind::ChannelA: return "ChannelA";
        case ChannelKind::ChannelB: return "ChannelB";
        case ChannelKind::Unrecognised: return "Unrecognised";
    }
    return "?";
}

void checkKind(const std::string& description, ChannelKind kind) {
    const auto detail = [&] { return fuzz::shown(description) + " gave " + kindName(kind); };
    if (description.size() < 2 || description.find("NX") == std::string::npos) {
        FUZZ_CHECK(kind == ChannelKind::NotACard, "no NX: not a card", detail());
    } else if (description.back() == 'B') {
        FUZZ_CHECK(kind == ChannelKind::ChannelB, "NX and last B: channel B", detail());
    } else if (description.back() == 'A' && description.size() >= 7) {
        FUZZ_CHECK(kind == ChannelKind::ChannelA, "NX and last A: channel A", detail());
    } else if (description.back() == 'A') {
        FUZZ_CHECK(kind == ChannelKind::NotACard || kind == ChannelKind::Unrecognised,
                    "shorter than the prefix: skipped", detail());
    } else {
        FUZZ_CHECK(kind == ChannelKind::Unrecognised, "NX and another last letter: unrecognised",
                    detail());
    }
}

bool modelSameCard(const std::string& a, const std::string& b) {
    const std::size_t lengthA = a.empty() ? 0 : a.size() - 1;
    const std::size_t lengthB = b.empty() ? 0 : b.size() - 1;
    return lengthA == lengthB && a.compare(0, lengthA, b, 0, lengthB) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    const std::size_t count = input.byte() % 255;
    const std::size_t beyond = input.byte() % 4;

    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes;
    std::size_t fromInput = 0;
    while (nodes.size() < count + beyond) {
        if (!input.empty()) {
            nodes.push_back(readRecord(input));
            ++fromInput;
        } else if (fromInput > 0) {
            nodes.push_back(nodes[nodes.size() % fromInput]);
        } else {
            FT_DEVICE_LIST_INFO_NODE node;
            std::memset(&node, 0, sizeof node);
            nodes.push_back(node);
        }
    }

    std::vector<std::string> serials, descriptions;
    for (const auto& node : nodes) {
        serials.push_back(fieldText(node.SerialNumber, sizeof node.SerialNumber));
        descriptions.push_back(fieldText(node.Description, sizeof node.Description));
    }

    for (std::size_t i = 0; i < count; ++i) {
        FUZZ_CHECK(serialOf(nodes[i]) == serials[i], "serialOf reads up to the NUL or the field's end",
                    fuzz::shown(serials[i]));
        FUZZ_CHECK(descriptionOf(nodes[i]) == descriptions[i],
                    "descriptionOf reads up to the NUL or the field's end", fuzz::shown(descriptions[i]));

        const DeviceVerdict verdict = examineDevice(nodes, count, i);
        const auto detail = [&] {
            return "device " + std::to_string(i) + " of " + std::to_string(count) + ", serial " +
                   fuzz::shown(serials[i]) + ", description " + fuzz::shown(descriptions[i]) + "\nkind " +
                   kindName(verdict.kind) + ", partner " + std::to_string(verdict.partner) +
                   ", flow control " + std::to_string(verdict.flowControl);
        };
        checkKind(descriptions[i], verdict.kind);
        FUZZ_CHECK(verdict.kind == classifyDescription(descriptions[i]),
                    "examineDevice classifies as classifyDescription does", detail());
        if (verdict.kind != ChannelKind::ChannelA) {
            FUZZ_CHECK(verdict.partner == -1 && !verdict.flowControl,
                        "only a channel A has a partner and flow control", detail());
            continue;
        }
        FUZZ_CHECK(verdict.flowControl == (modelMajor(descriptions[i]) > 1),
                    "flow control when the major number is above 1",
                    detail() + "\nmajor " + std::to_string(modelMajor(descriptions[i])));

        int partner = -1;
        for (std::size_t j = 0; j < count && partner < 0; ++j) {
            if (j != i && modelSameCard(serials[i], serials[j])) partner = static_cast<int>(j);
        }
        if (verdict.partner >= 0) {
            const auto j = static_cast<std::size_t>(verdict.partner);
            FUZZ_CHECK(j != i, "the partner is another device", detail());
            FUZZ_CHECK(j < count, "the partner is within the count", detail());
            FUZZ_CHECK(modelSameCard(serials[i], serials[j]), "the partner's serial number pairs",
                        detail() + "\npartner's serial " + fuzz::shown(serials[j]));
        }
        FUZZ_CHECK(verdict.partner == partner, "the partner is the first device that pairs",
                    detail() + "\nexpected partner " + std::to_string(partner));
    }

    // The pieces on their own, on the texts of the array's records.
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const std::string& description = descriptions[i];
        checkKind(description, classifyDescription(description));
        const int major = majorNumber(description);
        FUZZ_CHECK(major == modelMajor(description), "majorNumber reads as a stream reads an int",
                    fuzz::shown(description) + "\nexpected " + std::to_string(modelMajor(description)) +
                        ", actual " + std::to_string(major));
        const std::string& other = serials[(i + 1) % nodes.size()];
        FUZZ_CHECK(sameCard(serials[i], other) == modelSameCard(serials[i], other),
                    "sameCard compares all but the last character",
                    fuzz::shown(serials[i]) + " and " + fuzz::shown(other));
    }
    return 0;
}
