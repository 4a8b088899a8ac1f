#include "call_log.h"

#include <nlohmann/json.hpp>
#include <sstream>

namespace {
std::vector<nlohmann::json> entries(const std::string& log) {
    std::vector<nlohmann::json> result;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) result.push_back(nlohmann::json::parse(line));
    }
    return result;
}

bool isEmptyPoll(const nlohmann::json& call) {
    return call.value("fn", "") == "FT_GetStatus" && call.value("rx", 0) == 0 &&
           call.value("status", 0) == 0;
}
}  // namespace

std::vector<std::string> significantCalls(const std::string& log) {
    std::vector<std::string> result;
    for (const auto& call : entries(log)) {
        if (!isEmptyPoll(call)) result.push_back(call.dump());
    }
    return result;
}

std::vector<std::string> callsOf(const std::string& log, const std::string& function) {
    std::vector<std::string> result;
    for (const auto& call : entries(log)) {
        if (call.value("fn", "") == function) result.push_back(call.dump());
    }
    return result;
}

std::map<int, int> openHandlesByDevice(const std::string& log) {
    std::map<int, int> open;
    for (const auto& call : entries(log)) {
        const std::string function = call.value("fn", "");
        if (call.value("status", -1) != 0) continue;
        if (function == "FT_Open") ++open[call.value("dev", -1)];
        if (function == "FT_Close") --open[call.value("dev", -1)];
    }
    return open;
}

std::vector<std::string> uartCommands(const std::string& log) {
    std::vector<std::string> result;
    for (const auto& call : entries(log)) {
        if (call.value("fn", "") == "FT_Write" && call.contains("text")) {
            result.push_back(call["text"].get<std::string>());
        }
    }
    return result;
}
