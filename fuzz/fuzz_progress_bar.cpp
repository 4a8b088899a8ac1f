// ProgressBar driven by arbitrary sequences of settings and (stage, percentage)
// events, as the card's status events may bring them, with a fake tick counter.
//
// Input: a byte whose value % 8 + 1 is the number of tick values, the tick values (four
// bytes each, little-endian), then up to 64 operations of a byte each plus arguments:
//   0 setProgress(stage, percentage)   1 redraw(stage)       2 setBarWidth(0..1023)
//   3 setDoneText(one of "#*=@")       4 setRemainingText(one of " .-_")
//   5 setStages(0..6 names)
// The tick counter reads the next tick value at each operation, round and round, so
// the stage timings see arbitrary and wrapping 32-bit readings.
//
// Every call draws into a fresh stream, checked against what the bar must show:
// - a stored percentage above 100 draws nothing (NaN is not above 100);
// - a stage beyond the list writes "Unknown Stage = <n>\n" and nothing else;
// - otherwise "\r[", exactly barWidth cells, "] ", the percentage, "% " and
//   "step <s> of <n>: <name>"; cell k is done when k <= the integer part of
//   barWidth * percentage / 100 taken in single precision; the percentage shown is the
//   integer part capped at 100; a negative percentage draws as 0. A NaN percentage
//   must still draw a well-formed line of barWidth cells;
// - stage 0 writes "Error2: Out of range: invalid vector subscript" to the error stream
//   and draws the bar with no stage name;
// - the table printed at destruction lists each stage with the time from its first
//   drawing to its latest (32-bit difference; a start tick of 0 counts as not started),
//   the stage list and its timings starting afresh at each setStages.
#include <algorithm>
#include <cmath>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "update/progress_bar.h"

namespace {

const char kStageError[] = "Error2: Out of range: invalid vector subscript\n";

float readPercent(fuzz::Input& input) {
    static const float kSpecial[] = {
        0.0f, 100.0f, 100.5f, -1.0f, -0.0f, std::numeric_limits<float>::quiet_NaN(),
        std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(), 1e30f,
        -1e30f, FLT_MAX, -FLT_MAX, std::numeric_limits<float>::denorm_min(), 99.999f, 98.0f, 40.0f,
        2.0f, -100.0f, std::nextafter(100.0f, 200.0f), std::nextafter(0.0f, -1.0f),
        -std::numeric_limits<float>::quiet_NaN(), 4294967296.0f, -2147483648.0f};
    const std::uint8_t kind = input.byte();
    switch (kind % 4) {
        case 0:
            return kSpecial[(kind / 4) % (sizeof kSpecial / sizeof kSpecial[0])];
        case 1:  // what the update procedure hands over: an int converted to float
            return static_cast<float>(static_cast<std::int32_t>(input.u32()));
        case 2: {  // any bit pattern
            const std::uint32_t bits = input.u32();
            float value;
            std::memcpy(&value, &bits, sizeof value);
            return value;
        }
        default:
            return static_cast<float>(static_cast<int>(input.byte()) - 20);
    }
}

std::uint8_t readStage(fuzz::Input& input) {
    const std::uint8_t stage = input.byte();
    return (stage & 0x80) ? stage : stage % 8;
}

std::string secondsText(std::uint32_t milliseconds) {
    std::ostringstream text;
    text << milliseconds / 1000.0;
    return text.str();
}

// What the bar must hold, kept apart from it.
struct Model {
    float progress = 0.0f;
    std::size_t width = 60;
    char done = '#';
    char remaining = ' ';
    std::vector<std::string> names{std::string()};
    std::vector<std::uint32_t> starts{0};
    std::vector<std::uint32_t> durations{0};
    std::string errors;

    void setStages(std::vector<std::string> list) {
        names = std::move(list);
        starts.assign(names.size(), 0);
        durations.assign(names.size(), 0);
    }

    // What one redraw of `stage` writes to its stream; `exact` is false when only the
    // line's form is settled (a NaN percentage).
    std::string redraw(std::uint8_t stage, std::uint32_t now, bool& exact) {
        exact = true;
        if (progress > 100.0f) return std::string();
        if (stage > names.size()) return "Unknown Stage = " + std::to_string(stage) + "\n";
        std::string status = "step " + std::to_string(stage) + " of " + std::to_string(names.size()) + ": ";
        if (stage == 0) {
            errors += kStageError;
        } else {
            status += names[stage - 1u];
            if (starts[stage - 1u] == 0) starts[stage - 1u] = now;
            durations[stage - 1u] = now - starts[stage - 1u];
        }
        exact = !std::isnan(progress);
        const float shown = progress > 0.0f ? progress : 0.0f;
        const auto filled = static_cast<std::size_t>(std::floor(static_cast<float>(width) * shown / 100.0f));
        const std::size_t doneCells = std::min(width, filled + 1);
        const unsigned percent = shown >= 100.0f ? 100u : static_cast<unsigned>(shown);
        return "\r[" + std::string(doneCells, done) + std::string(width - doneCells, remaining) + "] " +
               std::to_string(percent) + "% " + status;
    }

    std::string table() const {
        std::string text = "\n--------- Stage Durations ----------\n";
        for (std::size_t i = 0; i < names.size(); ++i)
            text += names[i] + " >> " + secondsText(durations[i]) + " seconds.\n";
        return text;
    }
};

void checkDrawing(const std::string& drawn, const std::string& expected, bool exact, std::size_t width,
                  char done, char remaining, const std::string& context) {
    const auto detail = [&] {
        return context + "\nexpected " + fuzz::shown(expected) + "\nactual   " + fuzz::shown(drawn);
    };
    if (expected.rfind("\r[", 0) == 0) {
        // A bar: exactly `width` cells between the brackets, done cells first.
        FUZZ_CHECK(drawn.rfind("\r[", 0) == 0, "a bar starts with \\r[", detail());
        FUZZ_CHECK(drawn.size() > width + 2 && drawn[width + 2] == ']',
                    "a bar has exactly barWidth cells between [ and ]", detail());
        const std::string cells = drawn.substr(2, width);
        const std::size_t doneCells = cells.find_first_not_of(done);
        FUZZ_CHECK(cells.find_first_not_of(remaining, doneCells == std::string::npos ? width : doneCells) ==
                        std::string::npos,
                    "the cells are done cells, then remaining cells", detail());
        if (!exact) {
            const std::string tail = drawn.substr(width + 2);
            const std::string status = expected.substr(expected.find('%'));
            FUZZ_CHECK(tail.size() > status.size() &&
                            tail.compare(tail.size() - status.size(), status.size(), status) == 0,
                        "a NaN percentage still shows the stage", detail());
            return;
        }
    }
    FUZZ_CHECK(drawn == expected, "the drawing", detail());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    std::vector<std::uint32_t> ticks(input.byte() % 8 + 1);
    for (auto& tick : ticks) tick = input.u32();
    std::uint32_t now = 0;

    std::ostringstream table, errors;
    Model model;
    std::string log;  // the operations so far, for failure messages
    {
        ProgressBar bar([&now] { return now; }, table, errors);
        for (std::size_t step = 0; step < 64 && !input.empty(); ++step) {
            now = ticks[step % ticks.size()];
            const std::uint8_t operation = input.byte() % 6;
            switch (operation) {
                case 0:
                case 1: {
                    const std::uint8_t stage = readStage(input);
                    std::ostringstream out;
                    if (operation == 0) {
                        const float percent = readPercent(input);
                        bar.setProgress(stage, percent, out);
                        model.progress = percent;
                        std::ostringstream shownPercent;
                        shownPercent << percent;
                        log += "setProgress(" + std::to_string(stage) + ", " + shownPercent.str() + ") ";
                    } else {
                        bar.redraw(stage, out);
                        log += "redraw(" + std::to_string(stage) + ") ";
                    }
                    bool exact = true;
                    const std::string expected = model.redraw(stage, now, exact);
                    checkDrawing(out.str(), expected, exact, model.width, model.done, model.remaining, log);
                    FUZZ_CHECK(errors.str() == model.errors, "the error stream",
                                log + "\nexpected " + fuzz::shown(model.errors) + "\nactual   " +
                                    fuzz::shown(errors.str()));
                    break;
                }
                case 2: {
                    const std::size_t width = input.byte() | (input.byte() & 3u) << 8;
                    bar.setBarWidth(width);
                    model.width = width;
                    log += "setBarWidth(" + std::to_string(width) + ") ";
                    break;
                }
                case 3:
                    model.done = "#*=@"[input.byte() % 4];
                    bar.setDoneText(std::string(1, model.done));
                    log += std::string("setDoneText(") + model.done + ") ";
                    break;
                case 4:
                    model.remaining = " .-_"[input.byte() % 4];
                    bar.setRemainingText(std::string(1, model.remaining));
                    log += std::string("setRemainingText(") + model.remaining + ") ";
                    break;
                default: {
                    std::vector<std::string> names(input.byte() % 7);
                    for (std::size_t i = 0; i < names.size(); ++i) names[i] = "Stage " + std::to_string(i + 1);
                    bar.setStages(names);
                    model.setStages(names);
                    log += "setStages(" + std::to_string(names.size()) + ") ";
                    break;
                }
            }
        }
    }
    FUZZ_CHECK(table.str() == model.table(), "the stage-duration table",
                log + "\nexpected " + fuzz::shown(model.table()) + "\nactual   " + fuzz::shown(table.str()));
    return 0;
}
