#include "cli/version_token.h"

std::string versionToken(const std::string& answer) {
    const std::size_t lastBlank = answer.rfind(' ');
    std::string token = lastBlank == std::string::npos ? answer : answer.substr(lastBlank + 1);
    if (!token.empty() && token.back() == '\n') token.pop_back();
    return token;
}
