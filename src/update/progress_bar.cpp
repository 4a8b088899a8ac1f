#include "update/progress_bar.h"

#include <algorithm>
#include <limits>
#include <sstream>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace nexir {
namespace {

// The width in columns of the terminal that standard output shows on; 0 when standard
// output is not a terminal (a file, a pipe).
std::size_t consoleColumns() {
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    // Fails when standard output is redirected, which is what "not a terminal" means here.
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
    return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
#else
    if (!isatty(STDOUT_FILENO)) return 0;
    winsize size{};
    // A terminal that does not tell its width (a bare pseudo-terminal) counts as wide.
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0)
        return std::numeric_limits<std::size_t>::max();
    return size.ws_col;
#endif
}

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

ProgressBar::~ProgressBar() { printDurations(); }

void ProgressBar::setBarWidth(std::size_t width) { barWidth_ = width; }

void ProgressBar::setDoneText(std::string text) { doneText_ = std::move(text); }

void ProgressBar::setRemainingText(std::string text) { remainingText_ = std::move(text); }

void ProgressBar::setStages(std::vector<std::string> names) {
    stageNames_ = std::move(names);
    stageStartTicks_.assign(stageNames_.size(), 0);
    stageDurations_.assign(stageNames_.size(), 0);
}

void ProgressBar::setProgress(std::uint8_t stage, float percent, std::ostream& out) {
    progress_ = percent;
    redraw(stage, out);
}

void ProgressBar::redraw(std::uint8_t stage, std::ostream& out) {
    if (progress_ > 100.0f) return;
    if (stage > stageNames_.size()) {
        endRow(out);
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
void ProgressBar::drawLine(std::ostream& out) {
    // Negative (and NaN) percentages are drawn as 0.
    const float shown = progress_ >= 0.0f ? progress_ : 0.0f;
    const std::size_t columns = columns_();
    const std::size_t cells = cellsThatFit(columns);
    const std::size_t filled = filledCells(cells, shown);
    std::string frame = "[";
    for (std::size_t cell = 0; cell < cells; ++cell) frame += cell <= filled ? doneText_ : remainingText_;
    frame += "] " + std::to_string(std::min(static_cast<unsigned>(shown), 100u)) + "% " + statusText_;
    // With no room left for cells, the stage text gives way: a frame wider than the
    // terminal would wrap on every redraw.
    if (columns != 0 && frame.size() > columns) frame.resize(columns);
    out << "\r" << frame << std::flush;
    rowOpen_ = true;
}

// A frame leaves the cursor at the end of its row, ready for the next "\r". A line
// written now would run on after the frame; on a terminal it gets a row of its own.
// Files and pipes see the frames and lines exactly as written.
void ProgressBar::endRow(std::ostream& out) {
    if (rowOpen_ && columns_() != 0) out << "\n" << std::flush;
    rowOpen_ = false;
}

// A frame wider than the terminal wraps, and "\r" then goes back only to the start of
// its last row: every redraw would leave a row behind. On a terminal the bar gives up
// cells until the widest frame (100 %) fits in one row. Off a terminal (`columns` 0)
// frames keep their width.
std::size_t ProgressBar::cellsThatFit(std::size_t columns) const {
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

}  // namespace nexir
