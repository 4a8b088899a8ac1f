// The lines a card sends during an upgrade: classifyEventLine, parseStatusEvent and
// convertEventNumber, which the transfer phase and the completion phase both go
// through. The whole input is one line as readResponse hands it over. It is also cut
// at each '|' into words that are converted and parsed on their own, so that words
// with blanks and other white space inside reach the number conversion too.
//
// Models:
// - words: split at the C locale's white space (blank, \t, \n, \v, \f, \r), nothing
//   else; a NUL byte is an ordinary character;
// - kind: exactly "TIMEOUT" is a time-out; four words are a (possible) status event;
//   otherwise containing "EVT FW_UPGRADE_STATUS FAIL" fails, containing
//   "EVT FW_UPGRADE_STATUS DONE" is done, anything else is malformed;
// - numbers: std::stoi in base 10, its invalid_argument and out_of_range errors being
//   the error texts the program prints;
// - status event: four or more words with FW_UPGRADE_STATUS second; the percentage
//   (fourth word) is converted before the stage (third word), and the first error
//   drops the event.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "update/upgrade_events.h"

namespace {

const char kInvalid[] = "Invalid argument: invalid stoi argument";
const char kOutOfRange[] = "Out of range: stoi argument out of range";

// `line` cut at every character `isCut` accepts; `dropEmpty` leaves out empty pieces.
template <typename Predicate>
std::vector<std::string> cut(const std::string& line, Predicate isCut, bool dropEmpty) {
    std::vector<std::string> pieces(1);
    for (char c : line) {
        if (!isCut(c)) {
            pieces.back() += c;
        } else if (!dropEmpty || !pieces.back().empty()) {
            pieces.emplace_back();
        }
    }
    if (dropEmpty && pieces.back().empty()) pieces.pop_back();
    return pieces;
}

EventKind modelKind(const std::string& line, const std::vector<std::string>& words) {
    if (line == "TIMEOUT") return EventKind::Timeout;
    if (words.size() == 4) return EventKind::FourWords;
    if (line.find("EVT FW_UPGRADE_STATUS FAIL") != std::string::npos) return EventKind::Fail;
    if (line.find("EVT FW_UPGRADE_STATUS DONE") != std::string::npos) return EventKind::Done;
    return EventKind::Malformed;
}

// std::stoi's verdict: an empty error and the value, or the error text.
struct Conversion {
    std::string error;
    int value = 0;
};

Conversion viaStoi(const std::string& word) {
    Conversion result;
    try {
        result.value = std::stoi(word);
    } catch (const std::invalid_argument&) {
        result.error = kInvalid;
    } catch (const std::out_of_range&) {
        result.error = kOutOfRange;
    }
    return result;
}

void checkConversion(const std::string& word) {
    int value = 0;
    std::string error;
    const bool converted = convertEventNumber(word, value, error);
    const Conversion expected = viaStoi(word);
    const auto detail = [&] {
        return "word " + fuzz::shown(word) + "\nstoi: " +
               (expected.error.empty() ? std::to_string(expected.value) : expected.error) +
               "\nactual: " + (converted ? std::to_string(value) : error);
    };
    FUZZ_CHECK(converted == expected.error.empty() && (converted ? value == expected.value : error == expected.error),
               "convertEventNumber gives std::stoi's value or class of error", detail());
}

void checkStatusEvent(const std::vector<std::string>& words) {
    const StatusEvent event = parseStatusEvent(words);
    const auto detail = [&] {
        std::string text = "words";
        for (const auto& word : words) text += " " + fuzz::shown(word);
        return text + "\nactual: isStatus " + std::to_string(event.isStatus) + ", error " +
               fuzz::shown(event.error) + ", stage " + std::to_string(event.stage) + ", percent " +
               std::to_string(event.percent);
    };

    const bool isStatus = words.size() >= 4 && words[1] == "FW_UPGRADE_STATUS";
    FUZZ_CHECK(event.isStatus == isStatus, "a status event has four or more words, FW_UPGRADE_STATUS second",
               detail());
    const Conversion percent = isStatus ? viaStoi(words[3]) : Conversion{};
    const Conversion stage = isStatus && percent.error.empty() ? viaStoi(words[2]) : Conversion{};
    FUZZ_CHECK(event.error == (percent.error.empty() ? stage.error : percent.error),
               "the percentage's error, else the stage's, drops the event", detail());
    if (isStatus && event.error.empty()) {
        FUZZ_CHECK(event.percent == percent.value && event.stage == stage.value,
                   "a status event carries std::stoi's stage and percentage", detail());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);

    const EventLine event = classifyEventLine(line);
    if (event.kind != EventKind::Timeout) {
        const auto words = cut(line, [](char c) { return c != '\0' && std::strchr(" \t\n\v\f\r", c); }, true);
        FUZZ_CHECK(event.words == words, "a line splits into its white-space separated words", fuzz::shown(line));
    }
    const EventKind expected = modelKind(line, event.words);
    FUZZ_CHECK(event.kind == expected, "the line's kind",
               fuzz::shown(line) + "\nexpected " + std::to_string(static_cast<int>(expected)) + ", actual " +
                   std::to_string(static_cast<int>(event.kind)));

    // Both phases parse four-word lines; the completion phase parses DONE lines too.
    // Any word list must be safe, so every line's words go through.
    checkStatusEvent(event.words);
    for (const auto& word : event.words) checkConversion(word);

    const auto pieces = cut(line, [](char c) { return c == '|'; }, false);
    for (const auto& piece : pieces) checkConversion(piece);
    checkStatusEvent(pieces);
    return 0;
}
