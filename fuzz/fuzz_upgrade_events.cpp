// A card's line during an upgrade, as readResponse hands it over. Models: the words are
// split at the C locale's white space only (NUL is an ordinary character); exactly
// "TIMEOUT" is a time-out, four words a possible status event, else a line containing
// "EVT FW_UPGRADE_STATUS FAIL" fails, one containing "... DONE" is done, anything else is
// malformed; a status event has four or more words with FW_UPGRADE_STATUS second, and a
// number that does not convert leaves an error rather than throwing.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "update/upgrade_events.h"

using namespace nexir;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const EventLine event = classifyEventLine(line);

    std::vector<std::string> words(1);
    for (char c : line) {
        const bool blank = c != '\0' && std::strchr(" \t\n\v\f\r", c);
        if (!blank)
            words.back() += c;
        else if (!words.back().empty())
            words.emplace_back();
    }
    if (words.back().empty()) words.pop_back();
    EventKind kind = EventKind::Malformed;
    if (line == "TIMEOUT")
        kind = EventKind::Timeout, words.clear();
    else if (words.size() == 4)
        kind = EventKind::FourWords;
    else if (line.find("EVT FW_UPGRADE_STATUS FAIL") != std::string::npos)
        kind = EventKind::Fail;
    else if (line.find("EVT FW_UPGRADE_STATUS DONE") != std::string::npos)
        kind = EventKind::Done;
    fuzz::check(event.words == words, "a line splits into its white-space separated words", line);
    fuzz::check(event.kind == kind, "the line's kind", line);

    const StatusEvent status = parseStatusEvent(event.words);
    fuzz::check(status.isStatus == (words.size() >= 4 && words[1] == "FW_UPGRADE_STATUS"),
                "a status event has four or more words, FW_UPGRADE_STATUS second", line);
    fuzz::check(status.isStatus || status.error.empty(), "only a status event converts numbers", line);
    return 0;
}
