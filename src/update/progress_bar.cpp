#include "update/progress_bar.h"

#include <algorithm>
#include <sstream>
#include <utility>

#include "update/console.h"

namespace {

// The integer part of width * percent / 100, in single precision as the
// cards' own tools draw it, so that the first cell is already done at 0 %.
// Clamped because float rounding may land on or past the width.
std::size_t filledCells(std::size_t width, float percent) {
    const float cells = static_cast<float>(width) * percent / 100.0f;
    return cells < static_cast<float>(width) ? static_cast<std::size_t>(cells) : width;
}

// Six significant digits, no trailing zeros: 12345 ms -> "12.345", 0 -> "0".
// Formatted on a fresh stream so that the table never depends on whatever
// flags the caller left on its stream.
std::string secondsText(std::uint32_t milliseconds) {
    std::ostringstream text;
    text << milliseconds / 1000.0;
    return text.str();
}

}  // namespace

ProgressBar::ProgressBar(TickSource ticks, std::ostream& tableOut, std::ostream& errorOut, ColumnSource columns)
    : ticks_(std::move(ticks)),
      columns_(columns ? std::move(columns) : ColumnSource(consoleColumns)),
      tableOut_(tableOut),
      errorOut_(errorOut),
      stageStartTicks_(stageNames_.size(), 0),
      stageDurations_(stageNames_.size(), 0) {}

ProgressBar::~ProgressBar() {
    printDurations();
}

void ProgressBar::setBarWidth(std::size_t width) {
    std::lock_guard<std::mutex> lock(mutex_);
    barWidth_ = width;
}

void ProgressBar::setDoneText(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    doneText_ = std::move(text);
}

void ProgressBar::setRemainingText(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    remainingText_ = std::move(text);
}

void ProgressBar::setStages(std::vector<std::string> names) {
    std::lock_guard<std::mutex> lock(mutex_);
    stageNames_ = std::move(names);
    stageStartTicks_.assign(stageNames_.size(), 0);
    stageDurations_.assign(stageNames_.size(), 0);
}

void ProgressBar::setProgress(std::uint8_t stage, float percent, std::ostream& out) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        progress_ = percent;
    }
    redraw(stage, out);
}

void ProgressBar::redraw(std::uint8_t stage, std::ostream& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (progress_ > 100.0f) return;
    if (stage > stageNames_.size()) {
        out << "Unknown Stage = " << static_cast<unsigned>(stage) << "\n";
        return;
    }
    recordStage(stage);
    drawLine(out);
}

// Sets the status text and extends the stage's duration to now. Stage numbers
// count from 1, so stage 0 has neither a name nor a timing; it is reported but
// the bar is still drawn.
void ProgressBar::recordStage(std::uint8_t stage) {
    statusText_ = "step " + std::to_string(stage) + " of " + std::to_string(stageNames_.size()) + ": ";
    if (stage == 0) {
        errorOut_ << "Error2: Out of range: invalid vector subscript" << std::endl;
        return;
    }
    const std::size_t index = stage - 1u;
    statusText_ += stageNames_[index];
    const std::uint32_t now = ticks_();
    if (stageStartTicks_[index] == 0) stageStartTicks_[index] = now;
    stageDurations_[index] = now - stageStartTicks_[index];
}

// The frame is flushed whole, so that the console shows the latest event at once
// rather than when the next one comes.
void ProgressBar::drawLine(std::ostream& out) const {
    // Negative (and NaN) percentages are drawn as 0.
    const float shown = progress_ >= 0.0f ? progress_ : 0.0f;
    const std::size_t cells = cellsThatFit();
    const std::size_t filled = filledCells(cells, shown);
    out << "\r"
        << "[";
    for (std::size_t cell = 0; cell < cells; ++cell) out << (cell <= filled ? doneText_ : remainingText_);
    out << "]"
        << " " << std::min(static_cast<unsigned>(shown), 100u) << "%"
        << " " << statusText_ << std::flush;
}

// A frame wider than the terminal wraps, and "\r" then goes back only to the start of
// its last row: every redraw would leave a row behind. On a terminal the bar gives up
// cells until the widest frame (100 %) fits in one row. Off a terminal frames keep
// their width.
std::size_t ProgressBar::cellsThatFit() const {
    const std::size_t columns = columns_();
    if (columns == 0) return barWidth_;
    const std::size_t cellWidth = std::max<std::size_t>(1, doneText_.size());
    const std::size_t rest = std::string("[] 100% ").size() + statusText_.size();
    const std::size_t room = columns > rest ? (columns - rest) / cellWidth : 0;
    return std::min(barWidth_, room);
}

void ProgressBar::printDurations() const {
    tableOut_ << "\n"
              << "--------- Stage Durations ----------"
              << "\n";
    for (std::size_t i = 0; i < stageNames_.size(); ++i)
        tableOut_ << stageNames_[i] << " >> " << secondsText(stageDurations_[i]) << " seconds.\n";
}
