#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "platform/ticks.h"

namespace nexir {

// A millisecond counter that wraps around every 2^32 ms (about 49.7 days);
// durations are taken modulo 2^32, so a wrap between two readings is harmless.
using TickSource = std::function<std::uint32_t()>;

// The columns of the terminal the bar is drawn on; 0: not a terminal, no limit.
using ColumnSource = std::function<std::size_t()>;

// One console line, redrawn in place, showing the card's progress through the
// stages of an update, plus how long each stage took: the time from its first
// drawing to its latest, printed as a table when the bar is destroyed. Only the
// thread that follows the card's events uses it, so it takes no lock.
class ProgressBar {
public:
    explicit ProgressBar(TickSource ticks = platformTickCount, std::ostream& tableOut = std::cout,
                         std::ostream& errorOut = std::cerr, ColumnSource columns = nullptr);
    ~ProgressBar();  // prints the stage-duration table to tableOut

    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void setBarWidth(std::size_t width);
    void setDoneText(std::string text);
    void setRemainingText(std::string text);
    // Stage 1 is names[0]. Resets every stage's timing.
    void setStages(std::vector<std::string> names);

    // Stores the percentage, then redraws.
    void setProgress(std::uint8_t stage, float percent, std::ostream& out);
    void redraw(std::uint8_t stage, std::ostream& out);
    // Call before writing a line while the bar may be shown: on a terminal, ends the
    // row of the last frame, so that the line starts on a row of its own.
    void endRow(std::ostream& out);

private:
    void recordStage(std::uint8_t stage);
    void drawLine(std::ostream& out);
    std::size_t cellsThatFit(std::size_t columns) const;
    void printDurations() const;

    TickSource ticks_;
    ColumnSource columns_;
    std::ostream& tableOut_;
    std::ostream& errorOut_;

    float progress_ = 0.0f;
    std::size_t barWidth_ = 60;
    std::string doneText_ = "#";
    std::string remainingText_ = " ";
    std::string statusText_;
    std::vector<std::string> stageNames_{std::string()};
    // A start tick of 0 means the stage has not been drawn yet.
    std::vector<std::uint32_t> stageStartTicks_;
    std::vector<std::uint32_t> stageDurations_;
    bool rowOpen_ = false;  // a frame was drawn and no line end has followed it
};

}  // namespace nexir
