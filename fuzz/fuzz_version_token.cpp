// versionToken on any answer to "GET HW_FW_VER" or "GET HW_SW_VER". The whole input is
// the answer.
//
// Model: the answer is read word by word, a word ending at each blank (only the space
// character; tabs, carriage returns and the rest are ordinary characters); the token is
// the last word, empty when the answer is empty or ends in a blank, less one final line
// feed if it has one.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/version_token.h"
#include "fuzz_support.h"

namespace {

std::string modelToken(const std::string& answer) {
    std::string word;
    for (char c : answer) {
        if (c == ' ')
            word.clear();
        else
            word += c;
    }
    if (!word.empty() && word.back() == '\n') word.pop_back();
    return word;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string answer(reinterpret_cast<const char*>(data), size);
    const std::string token = versionToken(answer);
    const std::string expected = modelToken(answer);
    FUZZ_CHECK(token == expected, "the token is the last blank-separated word less its line feed",
                "answer   " + fuzz::shown(answer) + "\nexpected " + fuzz::shown(expected) +
                    "\nactual   " + fuzz::shown(token));
    return 0;
}
