// The bench's reader of D2XX recordings on arbitrary text, as a recording sent from the
// field may hold. Models: the text is either refused on a line of it (from 1 to one past
// its last line feed) with a one-line reason, and no other exception escapes, or makes a
// scenario the bench can run (bench_scenario_check.h). Each replayed card, sent the
// commands its recording has it receive, in order, notes no divergence, and asking it for
// its bytes, failures and unplug at any time stays within the card.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "bench_scenario_check.h"
#include "model/card.h"
#include "model/recording_reader.h"
#include "model/replay.h"

namespace {

void playRecordedCard(const cardbench::CardConfig& config, const std::string& input) {
    using cardbench::Clock;
    cardbench::Card card(config);
    const auto start = Clock::now();
    card.uartOpened(start);
    for (const std::string& command : config.replay->commands) {
        card.uartWrite(command + "\n", start);
    }
    fuzz::check(card.takeReplayDivergences().empty(), "the recorded commands in order leave no divergence", input);
    const auto later = start + std::chrono::hours(24 * 365 * 40);
    card.uartWaiting(later);
    for (const char* function : {"FT_GetStatus", "FT_Read", "FT_Write"}) {
        card.recordedFailure(function, cardbench::Channel::Uart);
    }
    card.recordedUnplugDue(later);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    cardbench::isRecording("recording", text);
    cardbench::Scenario scenario;
    try {
        scenario = cardbench::scenarioFromRecording(text);
    } catch (const cardbench::RecordingRefusal& refusal) {
        const auto lines = std::size_t(std::count(text.begin(), text.end(), '\n'));
        fuzz::check(refusal.line >= 1 && refusal.line <= lines + 1, "a refusal names a line of the recording",
                    std::to_string(refusal.line) + "\n" + text);
        fuzz::checkRefusal(refusal.reason, text);
        return 0;
    }
    fuzz::checkScenarioRuns(scenario, text);
    for (const auto& [name, card] : scenario.cards) {
        if (card.replay) playRecordedCard(card, text);
    }
    return 0;
}
