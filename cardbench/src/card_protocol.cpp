#include "card_protocol.h"

#include <cctype>
#include <sstream>
#include <vector>

namespace cardbench {
namespace {

ScriptedAnswer say(std::string text) { return ScriptedAnswer{{AnswerChunk{std::move(text), 0}}}; }

ScriptedAnswer reply(const std::string& command, const std::string& value) {
    return say("R" + command + " " + value + "\n");
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream stream(line);
    std::vector<std::string> result;
    for (std::string word; stream >> word;) {
        result.push_back(word);
    }
    return result;
}

bool isDecimal(const std::string& word) {
    if (word.empty() || word.size() > 19) {
        return false;
    }
    for (char c : word) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

// "SET FW_UPGRADE <type> <size> <which> [SKIP_VERIFY] [RECONFIG]"
bool parseUpgradeRequest(const std::vector<std::string>& w, UpgradeRequest& request) {
    if (w.size() < 5 || w.size() > 7 || (w[2] != "SW" && w[2] != "FPGA") || !isDecimal(w[3])) {
        return false;
    }
    request.type = w[2];
    request.size = std::stoull(w[3]);
    for (std::size_t i = 5; i < w.size(); ++i) {
        if (w[i] == "SKIP_VERIFY" && !request.skipVerify) {
            request.skipVerify = true;
        } else if (w[i] == "RECONFIG" && !request.reconfig) {
            request.reconfig = true;
        } else {
            return false;
        }
    }
    return true;
}

CommandOutcome defaultOutcome(const std::string& line, const CardConfig& card) {
    CommandOutcome outcome;
    outcome.answer = say("ERROR\n");
    if (line == "GET HW_SLOT_ID") {
        outcome.answer = reply(line, card.slot);
    } else if (line == "GET HW_FW_VER") {
        outcome.answer = reply(line, card.fpgaVersion);
    } else if (line == "GET HW_SW_VER") {
        outcome.answer = reply(line, card.swVersion);
    } else if (line == "SET EVT_ENA FW_UPGRADE_STATUS ON") {
        outcome.answer =
            card.subscriptionAnswer ? say(*card.subscriptionAnswer) : reply("SET EVT_ENA FW_UPGRADE_STATUS", "OK");
        outcome.action = CardAction::Subscribe;
    } else if (line == "SET FW_ABORT_UPGRADE") {
        outcome.answer = reply(line, "OK");
        outcome.action = CardAction::AbortUpgrade;
    } else if (line.rfind("SET FW_UPGRADE ", 0) == 0 && parseUpgradeRequest(words(line), outcome.request)) {
        outcome.answer = reply("SET FW_UPGRADE", "OK");
        outcome.action = CardAction::StartUpgrade;
    }
    return outcome;
}

const ScriptedAnswer* scriptedAnswer(const std::string& line, const CardConfig& card) {
    if (auto exact = card.answers.find(line); exact != card.answers.end()) {
        return &exact->second;
    }
    for (const auto& [key, answer] : card.answers) {
        if (!key.empty() && key.back() == '*' && line.compare(0, key.size() - 1, key, 0, key.size() - 1) == 0) {
            return &answer;
        }
    }
    return nullptr;
}

}  // namespace

CommandOutcome interpretCommand(const std::string& line, const CardConfig& card) {
    CommandOutcome outcome = defaultOutcome(line, card);
    if (const ScriptedAnswer* scripted = scriptedAnswer(line, card)) {
        // A scripted answer replaces only the words; the card still acts on the command.
        outcome.answer = *scripted;
    }
    return outcome;
}

}  // namespace cardbench
