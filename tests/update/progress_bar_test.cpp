#include "update/progress_bar.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <sstream>
#include <thread>

namespace {

const std::vector<std::string> kFourStages = {"Uploading update      ", "Checking CRC          ",
                                              "Writing to flash      ", "Verifying flash write "};

std::string line(std::size_t done, const std::string& percent, const std::string& status)
{
    return "\r[" + std::string(done, '#') + std::string(50 - done, ' ') + "] " + percent + "% " + status;
}

// Records what had been written at each flush.
class FlushRecorder : public std::stringbuf {
public:
    std::vector<std::string> flushed;

protected:
    int sync() override
    {
        flushed.push_back(str());
        return 0;
    }
};

class ProgressBarTest : public ::testing::Test {
protected:
    // Configured as the update procedure configures it.
    std::unique_ptr<ProgressBar> makeBar(const std::vector<std::string>& stages = kFourStages)
    {
        auto made = std::make_unique<ProgressBar>([this] { return now.load(); }, table, errors,
                                                  [this] { return columns; });
        made->setBarWidth(50);
        made->setDoneText("#");
        made->setRemainingText(" ");
        made->setStages(stages);
        return made;
    }

    std::string draw(std::uint8_t stage, float percent)
    {
        std::ostringstream out;
        bar->setProgress(stage, percent, out);
        return out.str();
    }

    std::atomic<std::uint32_t> now{1000};
    std::size_t columns = 0;  // not a terminal
    std::ostringstream table;
    std::ostringstream errors;
    std::unique_ptr<ProgressBar> bar = makeBar();
};

}  // namespace

TEST_F(ProgressBarTest, CellsAndPercentage)
{
    const std::string status = "step 1 of 4: Uploading update      ";
    EXPECT_EQ(draw(1, 0.0f), line(1, "0", status));
    EXPECT_EQ(draw(1, 40.0f), line(21, "40", status));
    EXPECT_EQ(draw(1, 97.9f), line(49, "97", status));
    EXPECT_EQ(draw(1, 98.0f), line(50, "98", status));
    EXPECT_EQ(draw(1, 100.0f), line(50, "100", status));
    EXPECT_EQ(draw(1, -7.5f), line(1, "0", status));
    EXPECT_EQ(draw(1, 100.5f), "");
}

TEST_F(ProgressBarTest, FlushesEachFrameWhole)
{
    FlushRecorder recorder;
    std::ostream out(&recorder);
    bar->setProgress(2, 10.0f, out);
    EXPECT_EQ(recorder.flushed, std::vector<std::string>{line(6, "10", "step 2 of 4: Checking CRC          ")});
}

// A frame is 93 columns with four stages; a narrower terminal gets fewer cells, so
// that the widest frame still fits one row. Wide terminals and files see 50 cells.
TEST_F(ProgressBarTest, ShrinksToFitANarrowTerminal)
{
    const std::string status = "step 1 of 4: Uploading update      ";
    for (const auto& [width, cells] : std::vector<std::pair<std::size_t, std::size_t>>{
             {0, 50}, {200, 50}, {93, 50}, {92, 49}, {80, 37}, {44, 1}, {43, 0}, {10, 0}}) {
        columns = width;
        const std::string frame = draw(1, 100.0f);
        EXPECT_EQ(frame, "\r[" + std::string(cells, '#') + "] 100% " + status) << width;
        if (width >= 43) {
            EXPECT_LE(frame.size() - 1, width);
        }
    }
}

// A stage beyond the list draws nothing but a notice, and reports no error.
TEST_F(ProgressBarTest, StatusCountsTheStagesThatWereSet)
{
    EXPECT_EQ(draw(2, 10.0f), line(6, "10", "step 2 of 4: Checking CRC          "));
    EXPECT_EQ(draw(5, 50.0f), "Unknown Stage = 5\n");
    EXPECT_EQ(draw(255, 50.0f), "Unknown Stage = 255\n");
    bar = makeBar({kFourStages.begin(), kFourStages.begin() + 3});
    EXPECT_EQ(draw(2, 10.0f), line(6, "10", "step 2 of 3: Checking CRC          "));
    EXPECT_EQ(draw(4, 10.0f), "Unknown Stage = 4\n");
    EXPECT_EQ(errors.str(), "");
}

TEST_F(ProgressBarTest, StageZeroIsReportedButStillDrawn)
{
    EXPECT_EQ(draw(0, 10.0f), line(6, "10", "step 0 of 4: "));
    EXPECT_EQ(errors.str(), "Error2: Out of range: invalid vector subscript\n");
}

TEST_F(ProgressBarTest, TableListsEachStageFromFirstToLatestDrawing)
{
    draw(1, 0.0f);
    now = 13345;
    draw(1, 100.0f);
    draw(2, 0.0f);
    now = 14845;
    draw(2, 100.0f);
    draw(0, 10.0f);
    now = 20000;
    draw(3, 100.5f);
    draw(4, 100.0f);
    bar.reset();
    EXPECT_EQ(table.str(),
              "\n--------- Stage Durations ----------\n"
              "Uploading update       >> 12.345 seconds.\n"
              "Checking CRC           >> 1.5 seconds.\n"
              "Writing to flash       >> 0 seconds.\n"
              "Verifying flash write  >> 0 seconds.\n");
}

TEST_F(ProgressBarTest, DurationSurvivesTheTickCounterWrapping)
{
    now = 0xFFFFF000u;
    draw(1, 0.0f);
    now = 0x00000100u;
    draw(1, 50.0f);
    bar.reset();
    EXPECT_NE(table.str().find("Uploading update       >> 4.352 seconds.\n"), std::string::npos);
}

// Meant for ThreadSanitizer: every member is reached from two threads at once.
TEST_F(ProgressBarTest, ConcurrentCallsAreSerialised)
{
    std::thread drawer([this] {
        std::ostringstream out;
        for (int i = 0; i < 200; ++i)
            bar->setProgress(static_cast<std::uint8_t>(i % 6), static_cast<float>(i % 120), out);
    });
    for (int i = 0; i < 200; ++i) {
        bar->setBarWidth(static_cast<std::size_t>(i % 60));
        bar->setDoneText(i % 2 ? "#" : "=");
        bar->setStages(kFourStages);
        now = static_cast<std::uint32_t>(i);
    }
    drawer.join();
    EXPECT_EQ(errors.str().find("Error2"), 0u);
}
