// Assembles one answer of the card's text protocol from the chunks the receive queue
// yields. An answer is complete when a chunk ends in a line feed: the card's lines
// arrive whole in practice, and a line feed inside a chunk with more bytes after it
// means two lines came together, which are handed over as one answer.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

namespace nexir {

class AnswerFraming {
public:
    // Appends a chunk; true when it completes the answer.
    bool append(const char* chunk, std::size_t length) {
        if (length == 0) return false;
        answer_.append(chunk, length);
        return chunk[length - 1] == '\n';
    }
    bool empty() const { return answer_.empty(); }
    // The answer so far, handing it over and starting afresh.
    std::string take() { return std::exchange(answer_, std::string()); }

private:
    std::string answer_;
};

}  // namespace nexir
