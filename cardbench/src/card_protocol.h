// What a card says to one command line and what the command sets in motion. Pure: the
// card applies the outcome and times the answer.
#pragma once

#include <string>

#include "scenario.h"
#include "upgrade_session.h"

namespace cardbench {

enum class CardAction { None, Subscribe, StartUpgrade, AbortUpgrade };

struct CommandOutcome {
    ScriptedAnswer answer;
    CardAction action = CardAction::None;
    UpgradeRequest request;  // for StartUpgrade
};

// `line` is one command without its line feed.
CommandOutcome interpretCommand(const std::string& line, const CardConfig& card);

}  // namespace cardbench
