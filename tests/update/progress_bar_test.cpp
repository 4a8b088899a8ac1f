#include "update/progress_bar.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "../reference.h"

using namespace nexir;

namespace {

// Records what had been written at each flush.
struct FlushRecorder : std::stringbuf {
    std::vector<std::string> flushed;
    int sync() override { return flushed.push_back(str()), 0; }
};

class ProgressBarTest : public ::testing::Test {
protected:
    // Configured as the update procedure configures it.
    std::unique_ptr<ProgressBar> makeBar(int stages = 4) {
        auto made = std::make_unique<ProgressBar>([this] { return now; }, table, errors, [this] { return columns; });
        made->setBarWidth(50), made->setDoneText("#"), made->setRemainingText(" ");
        made->setStages(std::vector<std::string>(names.begin(), names.begin() + stages));
        return made;
    }

    // One drawing; a frame reaches the stream in a single flush, so the terminal shows it whole.
    std::string draw(std::uint8_t stage, float percent) {
        FlushRecorder recorder;
        std::ostream out(&recorder);
        bar->setProgress(stage, percent, out);
        EXPECT_TRUE(recorder.str().rfind('\r', 0) != 0 || recorder.flushed == std::vector<std::string>{recorder.str()});
        return recorder.str();
    }

    const std::vector<std::string> names = {reference::stageName(1), reference::stageName(2), reference::stageName(3),
                                            reference::stageName(4)};
    std::uint32_t now = 1000;
    std::size_t columns = 0;  // not a terminal
    std::ostringstream table;
    std::ostringstream errors;
    std::unique_ptr<ProgressBar> bar = makeBar();
};

}  // namespace

// Cells and percentage; above 100 % nothing is drawn, a stage beyond the list draws a
// notice, stage 0 is reported but still drawn.
TEST_F(ProgressBarTest, Drawings) {
    using reference::bar;
    const std::pair<std::pair<int, float>, std::string> cases[] = {{{1, 0.0f}, bar(1, 0, 4)},
                                                                   {{1, 40.0f}, bar(1, 40, 4)},
                                                                   {{1, 97.9f}, bar(1, 97, 4)},
                                                                   {{1, 98.0f}, bar(1, 98, 4)},
                                                                   {{1, 100.0f}, bar(1, 100, 4)},
                                                                   {{1, -7.5f}, bar(1, 0, 4)},
                                                                   {{1, 100.5f}, ""},
                                                                   {{2, 10.0f}, bar(2, 10, 4)},
                                                                   {{5, 50.0f}, "Unknown Stage = 5\n"},
                                                                   {{255, 50.0f}, "Unknown Stage = 255\n"}};
    for (const auto& [input, drawn] : cases) EXPECT_EQ(draw(input.first, input.second), drawn) << input.second;
    EXPECT_EQ(errors.str(), "");
    EXPECT_EQ(draw(0, 10.0f), reference::bar(0, 10, 4));
    EXPECT_EQ(errors.str(), "Error2: Out of range: invalid vector subscript\n");
    this->bar = makeBar(3);
    EXPECT_EQ(draw(2, 10.0f), reference::bar(2, 10, 3));
    EXPECT_EQ(draw(4, 10.0f), "Unknown Stage = 4\n");
}

// A frame is 93 columns with four stages; a narrower terminal gets fewer cells, so that
// the widest frame still fits one row, and below 43 columns the stage text is cut. Wide
// terminals and files see 50 cells.
TEST_F(ProgressBarTest, ShrinksToFitANarrowTerminal) {
    const std::string status = "step 1 of 4: " + reference::stageName(1);
    for (const auto& [width, cells] : std::vector<std::pair<std::size_t, std::size_t>>{
             {0, 50}, {200, 50}, {93, 50}, {92, 49}, {80, 37}, {44, 1}, {43, 0}}) {
        columns = width;
        EXPECT_EQ(draw(1, 100.0f), "\r[" + std::string(cells, '#') + "] 100% " + status) << width;
    }
    for (const auto& [width, frame] : std::vector<std::pair<std::size_t, std::string>>{
             {30, "[] 100% step 1 of 4: Uploading"}, {10, "[] 100% st"}, {3, "[] "}}) {
        columns = width;
        EXPECT_EQ(draw(1, 100.0f), "\r" + frame) << width;
        EXPECT_EQ(draw(1, 5.0f), "\r" + (std::string("[] 5% ") + status).substr(0, width)) << width;
    }
}

// Each stage lasts from its first drawing to its latest, modulo 2^32 ms.
TEST_F(ProgressBarTest, TableListsEachStageFromFirstToLatestDrawing) {
    const std::tuple<std::uint32_t, int, float> steps[] = {
        {1000, 1, 0.0f},   {13345, 1, 100.0f},       {13345, 2, 0.0f},       {14845, 2, 100.0f},
        {14845, 0, 10.0f}, {0xFFFFF000u, 3, 100.5f}, {0xFFFFF000u, 4, 0.0f}, {0x100, 4, 50.0f}};
    for (const auto& [time, stage, percent] : steps) now = time, draw(stage, percent);
    bar.reset();
    EXPECT_EQ(table.str(),
              "\n--------- Stage Durations ----------\n"
              "Uploading update       >> 12.345 seconds.\n"
              "Checking CRC           >> 1.5 seconds.\n"
              "Writing to flash       >> 0 seconds.\n"
              "Verifying flash write  >> 4.352 seconds.\n");
}
