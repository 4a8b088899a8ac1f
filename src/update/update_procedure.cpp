// One whole firmware update of one card: announce the image on the UART channel, send
// it on the FIFO channel from the transfer task, and follow the card's status events
// until it reports DONE or FAIL.
#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "link/nexir.h"
#include "update/progress_bar.h"
#include "update/transfer_task.h"
#include "update/upgrade_events.h"
#include "update/upload_image.h"

namespace {

constexpr std::uint32_t kEventPollLimit = 2000;
constexpr std::uint8_t kToleratedTimeouts = 5;
const char kSubscription[] = "SET EVT_ENA FW_UPGRADE_STATUS ON";
const char kSubscriptionAccepted[] = "RSET EVT_ENA FW_UPGRADE_STATUS OK\n";

std::vector<std::string> stageNames(bool skipVerify) {
    std::vector<std::string> names = {"Uploading update      ", "Checking CRC          ",
                                      "Writing to flash      "};
    if (!skipVerify) names.push_back("Verifying flash write ");
    return names;
}

// Shows a status event on the bar; a number that does not convert drops the event
// with one line on standard error, prefixed by the phase's tag ("Error", "Error1").
void showStatusEvent(const std::vector<std::string>& words, ProgressBar& bar, const char* tag) {
    const StatusEvent event = parseStatusEvent(words);
    if (!event.isStatus) return;
    if (!event.error.empty()) {
        std::cerr << tag << ": " << event.error << std::endl;
        return;
    }
    bar.setProgress(static_cast<std::uint8_t>(event.stage), static_cast<float>(event.percent), std::cout);
}

void reportFailEvent(const std::string& line) {
    std::cout << "Received '" << line << "' . Upgrade failed\n";
}

void reportMalformed(const char* tag, const std::string& line) {
    std::cout << tag << "Malformed response. Looking for 2 param response FW_UPGRADE_STATUS, got: '"
              << line << "'\n";
}

void reportSuccess(std::chrono::steady_clock::time_point start, bool reconfigure) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    std::cout << "\nUpdate Successful - Elapsed Time " << elapsed / 60 << "mins " << elapsed % 60
              << "secs" << std::endl;
    if (reconfigure) std::cout << "NEXIR Rebooting..." << std::endl;
}

enum class PhaseOutcome { Continue, Failed, TimedOut };

// One line read while the transfer task still runs.
PhaseOutcome handleTransferLine(const std::string& line, ProgressBar& bar) {
    const EventLine event = classifyEventLine(line);
    switch (event.kind) {
        case EventKind::Timeout:
            return PhaseOutcome::TimedOut;
        case EventKind::FourWords:
            showStatusEvent(event.words, bar, "Error");
            return PhaseOutcome::Continue;
        case EventKind::Fail:
            reportFailEvent(line);
            return PhaseOutcome::Failed;
        case EventKind::Done:  // DONE before the whole image is out cannot be believed
        case EventKind::Malformed:
            reportMalformed("Error: ", line);
            return PhaseOutcome::Continue;
    }
    return PhaseOutcome::Continue;
}

}  // namespace

std::int32_t NEXIR::runUpdate(std::string updateType, std::string imageChoice, std::string imagePath,
                              bool skipVerify, bool reconfigure) {
    // Declared first so that it is destroyed last: its table closes every attempt.
    ProgressBar bar;
    bar.setBarWidth(50);
    bar.setDoneText("#");
    bar.setRemainingText(" ");
    bar.setStages(stageNames(skipVerify));

    UploadImage image;
    if (loadUpdateImage(imagePath, updateType, image) != 0) return -1;

    std::cout << "Subscribing to upgrade events" << std::endl;
    std::string answer = sendCommand(kSubscription);
    if (answer != kSubscriptionAccepted) {
        std::cout << "Subscription failed: '" << answer << "'\n";
        return -1;
    }

    const std::string request = upgradeRequest(updateType, image.size, imageChoice, skipVerify, reconfigure);
    std::cout << "Sending UART command: <" << request << ">" << std::endl;
    answer = sendCommand(request);
    std::cout << "UART response: <" << answer << ">" << std::endl;

    if (fifoStatus != FT_OK) {
        std::cout << "Error: Fifo is not ok" << std::endl;
        return -1;
    }

    const auto start = std::chrono::steady_clock::now();
    // Declared after the image: on every return the task is stopped and waited for
    // before the image is released.
    TransferTask transfer(*this, image);
    while (!transfer.finishedWithin(std::chrono::milliseconds(10))) {
        const std::string line = readResponse(kEventPollLimit);
        switch (handleTransferLine(line, bar)) {
            case PhaseOutcome::TimedOut:
                transfer.stop();
                return abortUpdate(
                    "Error: Update timeout while waiting for file transfer, aborting automatically: ");
            case PhaseOutcome::Failed:
                return -1;
            case PhaseOutcome::Continue:
                break;
        }
    }
    const UpdateResult result = transfer.result();
    if (result.code < 0) {
        std::cout << result.message << std::endl;
        return result.code;
    }
    if (awaitCompletion(bar) != 0) return -1;
    reportSuccess(start, reconfigure);
    return 0;
}

// After the transfer: wait for DONE or FAIL, tolerating five silent reads in a row.
// Only a four-word line breaks a row of time-outs; a malformed line leaves it as is.
std::int32_t NEXIR::awaitCompletion(ProgressBar& bar) {
    std::uint8_t timeouts = 0;
    for (;;) {
        const std::string line = readResponse(kEventPollLimit);
        const EventLine event = classifyEventLine(line);
        bool done = false;
        switch (event.kind) {
            case EventKind::Timeout:
                if (timeouts < kToleratedTimeouts) {
                    ++timeouts;
                    continue;
                }
                return abortUpdate("Error: Update timeout, aborting automatically: ");
            case EventKind::FourWords:
                showStatusEvent(event.words, bar, "Error1");
                break;
            case EventKind::Fail:
                std::cout << "\n";
                reportFailEvent(line);
                return -1;
            case EventKind::Done:
                done = true;
                showStatusEvent(event.words, bar, "Error1");
                break;
            case EventKind::Malformed:
                reportMalformed("Error2: ", line);
                continue;
        }
        if (done) return 0;
        timeouts = 0;
    }
}

std::int32_t NEXIR::abortUpdate(const char* reason) {
    const std::string answer = sendCommand("SET FW_ABORT_UPGRADE");
    std::cout << reason << answer << std::endl;
    std::cout << "Error: Update Failed" << std::endl;
    return -1;
}
