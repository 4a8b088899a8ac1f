#include "link/answer_framing.h"

#include <utility>

bool AnswerFraming::append(const char* chunk, std::size_t length) {
    if (length == 0) return false;
    answer_.append(chunk, length);
    return chunk[length - 1] == '\n';
}

std::string AnswerFraming::take() {
    return std::exchange(answer_, std::string());
}
