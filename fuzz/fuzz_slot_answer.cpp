// slotNumberIn on any answer a card might send to "GET HW_SLOT_ID". The whole input is
// the answer.
//
// Model: the card names slot d (0 to 3) when "GET HW_SLOT_ID d" stands anywhere in the
// answer; when it names several, the lowest wins, as the four texts are searched from
// slot 0 up. The result is that slot plus one, or 0 when it names none.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "link/slot_answer.h"

namespace {

int modelSlot(const std::string& answer) {
    static const std::string kWords = "GET HW_SLOT_ID ";
    int lowest = 4;
    for (std::size_t at = 0; at + kWords.size() < answer.size(); ++at) {
        if (answer.compare(at, kWords.size(), kWords) != 0) continue;
        const char digit = answer[at + kWords.size()];
        if (digit >= '0' && digit <= '3' && digit - '0' < lowest) lowest = digit - '0';
    }
    return lowest < 4 ? lowest + 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string answer(reinterpret_cast<const char*>(data), size);
    const int slot = slotNumberIn(answer);
    FUZZ_CHECK(slot >= 0 && slot <= 4, "the slot is 0 to 4", std::to_string(slot));
    const int expected = modelSlot(answer);
    FUZZ_CHECK(slot == expected, "the slot is the lowest one the answer names",
                fuzz::shown(answer) + "\nexpected " + std::to_string(expected) + ", actual " +
                    std::to_string(slot));
    return 0;
}
