// Assembles one answer of the card's text protocol from the chunks the receive queue
// yields. An answer is complete when a chunk ends in a line feed: the card's lines
// arrive whole in practice, and a line feed inside a chunk with more bytes after it
// means two lines came together, which are handed over as one answer.
#pragma once

#include <cstddef>
#include <string>

class AnswerFraming {
public:
    // Appends a chunk; true when it completes the answer.
    bool append(const char* chunk, std::size_t length);
    bool empty() const { return answer_.empty(); }
    // The answer so far, handing it over and starting afresh.
    std::string take();

private:
    std::string answer_;
};
