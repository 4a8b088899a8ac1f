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
// Every call draws into a fresh stream, which must hold exactly:
// - nothing when the stored percentage is above 100 (NaN is not above 100);
// - "Unknown Stage = <n>\n" for a stage beyond the list;
// - otherwise "\r[", barWidth cells, "] <percent>% step <s> of <n>: <name>", where the
//   first min(barWidth, k + 1) cells are done, k being the integer part of
//   barWidth * percentage / 100 in single precision, and the percentage shown is its
//   integer part capped at 100; negative and NaN percentages draw as 0;
// - stage 0 also writes "Error2: Out of range: invalid vector subscript" to the error
//   stream, and has no name.
// The table printed at destruction lists each stage with the time from its first
// drawing to its latest (32-bit difference; a start tick of 0 counts as not started),
// the stage list and its timings starting afresh at each setStages.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <vector>

#include "fuzz_support.h"
#include "update/progress_bar.h"

namespace {

float readPercent(fuzz::Input& input) {
    using limits = std::numeric_limits<float>;
    static const float kSpecial[] = {0.0f, 100.0f, 100.5f, -1.0f, -0.0f, limits::quiet_NaN(), -limits::quiet_NaN(),
                                     limits::infinity(), -limits::infinity(), 1e30f, -1e30f, FLT_MAX, -FLT_MAX,
                                     limits::denorm_min(), 99.999f, 98.0f, 40.0f, 2.0f, -100.0f,
                                     std::nextafter(100.0f, 200.0f), std::nextafter(0.0f, -1.0f), 4294967296.0f};
    const std::uint8_t kind = input.byte();
    switch (kind % 4) {
        case 0: return kSpecial[(kind / 4) % (sizeof kSpecial / sizeof kSpecial[0])];
        case 1: return static_cast<float>(static_cast<std::int32_t>(input.u32()));  // as the update hands over
        case 2: {  // any bit pattern
            const std::uint32_t bits = input.u32();
            float value;
            std::memcpy(&value, &bits, sizeof value);
            return value;
        }
        default: return static_cast<float>(static_cast<int>(input.byte()) - 20);
    }
}

std::string seconds(std::uint32_t milliseconds) {
    std::ostringstream text;
    text << milliseconds / 1000.0;
    return text.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    std::vector<std::uint32_t> ticks(input.byte() % 8 + 1);
    for (auto& tick : ticks) tick = input.u32();
    std::uint32_t now = 0;

    // What the bar must hold, kept apart from it.
    float progress = 0.0f;
    std::size_t width = 60;
    char done = '#', remaining = ' ';
    std::vector<std::string> names{std::string()};
    std::vector<std::uint32_t> starts{0}, durations{0};
    std::string errors;

    std::ostringstream table, errorStream;
    std::string log;  // the operations so far, for failure messages
    {
        ProgressBar bar([&now] { return now; }, table, errorStream);
        for (std::size_t step = 0; step < 64 && !input.empty(); ++step) {
            now = ticks[step % ticks.size()];
            const std::uint8_t operation = input.byte() % 6;
            switch (operation) {
                case 0:
                case 1: {
                    const std::uint8_t raw = input.byte();
                    const std::uint8_t stage = (raw & 0x80) ? raw : raw % 8;
                    std::ostringstream out;
                    if (operation == 0) {
                        progress = readPercent(input);
                        bar.setProgress(stage, progress, out);
                    } else {
                        bar.redraw(stage, out);
                    }
                    log += "op" + std::to_string(operation) + "(" + std::to_string(stage) + ", " +
                           std::to_string(progress) + ") ";

                    std::string expected;
                    if (progress > 100.0f) {
                        // nothing is drawn
                    } else if (stage > names.size()) {
                        expected = "Unknown Stage = " + std::to_string(stage) + "\n";
                    } else {
                        if (stage == 0) {
                            errors += "Error2: Out of range: invalid vector subscript\n";
                        } else {
                            if (starts[stage - 1u] == 0) starts[stage - 1u] = now;
                            durations[stage - 1u] = now - starts[stage - 1u];
                        }
                        const float shown = progress > 0.0f ? progress : 0.0f;
                        const auto cells =
                            static_cast<std::size_t>(std::floor(static_cast<float>(width) * shown / 100.0f));
                        const std::size_t doneCells = std::min(width, cells + 1);
                        expected = "\r[" + std::string(doneCells, done) + std::string(width - doneCells, remaining) +
                                   "] " + std::to_string(shown >= 100.0f ? 100u : static_cast<unsigned>(shown)) +
                                   "% step " + std::to_string(stage) + " of " + std::to_string(names.size()) + ": " +
                                   (stage == 0 ? "" : names[stage - 1u]);
                    }
                    FUZZ_CHECK(out.str() == expected, "the drawing",
                               log + "\nexpected " + fuzz::shown(expected) + "\nactual   " + fuzz::shown(out.str()));
                    FUZZ_CHECK(errorStream.str() == errors, "the error stream",
                               log + "\nexpected " + fuzz::shown(errors) + "\nactual   " +
                                   fuzz::shown(errorStream.str()));
                    break;
                }
                case 2:
                    width = input.byte() | (input.byte() & 3u) << 8;
                    bar.setBarWidth(width);
                    log += "width(" + std::to_string(width) + ") ";
                    break;
                case 3:
                    done = "#*=@"[input.byte() % 4];
                    bar.setDoneText(std::string(1, done));
                    log += std::string("done(") + done + ") ";
                    break;
                case 4:
                    remaining = " .-_"[input.byte() % 4];
                    bar.setRemainingText(std::string(1, remaining));
                    log += std::string("remaining(") + remaining + ") ";
                    break;
                default:
                    names.assign(input.byte() % 7, "");
                    for (std::size_t i = 0; i < names.size(); ++i) names[i] = "Stage " + std::to_string(i + 1);
                    starts.assign(names.size(), 0);
                    durations.assign(names.size(), 0);
                    bar.setStages(names);
                    log += "stages(" + std::to_string(names.size()) + ") ";
            }
        }
    }
    std::string expectedTable = "\n--------- Stage Durations ----------\n";
    for (std::size_t i = 0; i < names.size(); ++i)
        expectedTable += names[i] + " >> " + seconds(durations[i]) + " seconds.\n";
    FUZZ_CHECK(table.str() == expectedTable, "the stage-duration table",
               log + "\nexpected " + fuzz::shown(expectedTable) + "\nactual   " + fuzz::shown(table.str()));
    return 0;
}
