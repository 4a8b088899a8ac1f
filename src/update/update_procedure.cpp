// One whole firmware update of one card: announce the image on the UART channel, send
// it on the FIFO channel from the transfer task, and follow the card's status events
// until it reports DONE or FAIL.
//
// Once the card has accepted the upgrade request it waits for the image; every way out
// on our side from then on tells it to abort, so that no card is left waiting.
#include "update/update_procedure.h"

#include <chrono>
#include <deque>
#include <exception>
#include <iostream>
#include <sstream>
#include <vector>

#include "platform/interruption.h"
#include "update/progress_bar.h"
#include "update/transfer_task.h"
#include "update/upgrade_events.h"
#include "update/upload_image.h"

namespace nexir {
namespace {

constexpr std::uint32_t kEventPollLimit = 2000;
constexpr std::uint8_t kToleratedTimeouts = 5;
constexpr int kAbortAnswerReads = 3;
constexpr std::chrono::milliseconds kLastWriteReturning{250};
constexpr std::uint32_t kAbortAnswerPollLimit = 1000;
const char kSubscription[] = "SET EVT_ENA FW_UPGRADE_STATUS ON";
const char kSubscriptionAccepted[] = "RSET EVT_ENA FW_UPGRADE_STATUS OK\n";

std::vector<std::string> stageNames(bool skipVerify) {
    std::vector<std::string> names = {"Uploading update      ", "Checking CRC          ", "Writing to flash      "};
    if (!skipVerify) names.push_back("Verifying flash write ");
    return names;
}

// Shows a status event on the bar and returns its stage (0: none shown); a number that
// does not convert drops the event with one line on standard error, prefixed by the
// phase's tag ("Error", "Error1").
int showStatusEvent(const std::vector<std::string>& words, ProgressBar& bar, const char* tag) {
    const StatusEvent event = parseStatusEvent(words);
    if (!event.isStatus) return 0;
    if (!event.error.empty()) {
        bar.endRow(std::cout);
        std::cerr << tag << ": " << event.error << std::endl;
        return 0;
    }
    bar.setProgress(static_cast<std::uint8_t>(event.stage), static_cast<float>(event.percent), std::cout);
    return event.stage;
}

// What the card does on its own once it has the whole image, by the last stage it
// reported: until it reports a later stage it is checking the image it received.
std::string workOnItsOwn(int stage) {
    if (stage <= 2) return "checking the image's CRC";
    if (stage == 3) return "writing its flash";
    if (stage == 4) return "verifying its flash write";
    return "with the update";
}

void reportFailEvent(const std::string& line) { std::cout << "Received '" << line << "' . Upgrade failed\n"; }

void reportMalformed(ProgressBar& bar, const char* tag, const std::string& line) {
    bar.endRow(std::cout);
    std::cout << tag << "Malformed response. Looking for 2 param response FW_UPGRADE_STATUS, got: '" << line << "'\n";
}

void reportSuccess(std::chrono::steady_clock::time_point start, bool reconfigure) {
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    std::cout << "\nUpdate Successful - Elapsed Time " << elapsed / 60 << "mins " << elapsed % 60 << "secs"
              << std::endl;
    if (reconfigure) std::cout << "NEXIR Rebooting..." << std::endl;
}

// The card's lines one at a time. The driver hands over whatever has arrived, so two
// lines sent a few milliseconds apart come in one answer: they are split here and
// handed out in order, each as if it had been read alone.
class EventLines {
public:
    explicit EventLines(NEXIR& card) : card_(card) {}

    bool pending() const { return !lines_.empty(); }

    // The next line, line feed included, or "TIMEOUT". Throws Interrupted when an
    // interruption comes while waiting.
    std::string next() {
        if (lines_.empty()) split(card_.readResponse(kEventPollLimit));
        std::string line = std::move(lines_.front());
        lines_.pop_front();
        return line;
    }

private:
    void split(const std::string& answer) {
        std::size_t begin = 0;
        while (begin < answer.size()) {
            const std::size_t end = answer.find('\n', begin);
            const std::size_t length = end == std::string::npos ? std::string::npos : end + 1 - begin;
            lines_.push_back(answer.substr(begin, length));
            if (end == std::string::npos) break;
            begin = end + 1;
        }
        if (lines_.empty()) lines_.push_back(answer);
    }

    NEXIR& card_;
    std::deque<std::string> lines_;
};

// Sends the abort and returns the card's answer, one line without its line feed. Event
// lines that were queued before the command come back first and are passed over.
std::string tellCardToAbort(NEXIR& card) {
    std::string answer = card.sendCommand("SET FW_ABORT_UPGRADE");
    for (int reads = 1; answer != "TIMEOUT"; ++reads) {
        std::istringstream lines(answer);
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.rfind("EVT ", 0) != 0) return line;
        }
        if (reads == kAbortAnswerReads) break;
        answer = card.readResponse(kAbortAnswerPollLimit);
    }
    return answer;
}

// The abort of a run that cannot go on, with the phase's reason and the card's answer.
std::int32_t abortUpdate(NEXIR& card, ProgressBar& bar, const char* reason) {
    const std::string answer = card.sendCommand("SET FW_ABORT_UPGRADE");
    bar.endRow(std::cout);
    std::cout << reason << answer << std::endl;
    std::cout << "Error: Update Failed" << std::endl;
    return -1;
}

// The card is gone: nothing can be sent to it any more. Once the upload had begun, the
// card may hold part of an image, which only a new update mends.
std::int32_t reportDisconnected(const NEXIR& card, ProgressBar& bar, bool uploadBegun) {
    bar.endRow(std::cout);
    std::cout << card.disconnectedMessage()
              << (uploadBegun ? "; the image on the card may be incomplete: update it again once the card is back" : "")
              << std::endl;
    std::cout << "Error: Update Failed" << std::endl;
    return -1;
}

// A failure on our side after the request, already reported: the card is told too.
std::int32_t abortAfterFailure(NEXIR& card) {
    if (card.disconnected()) return -1;
    std::cout << "The card was told to abort the upgrade: " << tellCardToAbort(card) << std::endl;
    return -1;
}

// The operator stopped the run: the card is told, and the interruption goes on up so
// that every channel is closed on the way out.
[[noreturn]] void abortOnInterruption(NEXIR& card, int signal) {
    if (card.disconnected()) throw Interrupted{signal};
    const std::string answer = tellCardToAbort(card);
    std::cout << "\nUpdate interrupted; the card was told to abort the upgrade: " << answer << std::endl;
    throw Interrupted{signal};
}

enum class PhaseOutcome { Continue, Failed, TimedOut, Done };

// One line read while the transfer task still runs (or had just finished when the
// line was read).
PhaseOutcome handleTransferLine(const std::string& line, ProgressBar& bar, TransferTask& transfer) {
    const EventLine event = classifyEventLine(line);
    switch (event.kind) {
        case EventKind::Timeout:
            return PhaseOutcome::TimedOut;
        case EventKind::FourWords:
            showStatusEvent(event.words, bar, "Error");
            return PhaseOutcome::Continue;
        case EventKind::Fail:
            bar.endRow(std::cout);
            reportFailEvent(line);
            return PhaseOutcome::Failed;
        case EventKind::Done:
            // The card may send DONE as it takes the last byte, before this loop has seen
            // the task end, or even before the write has returned: the task is given a
            // moment. DONE before the whole image is out cannot be believed.
            if (transfer.finishedWithin(kLastWriteReturning) && transfer.result().code >= 0) {
                return PhaseOutcome::Done;
            }
            reportMalformed(bar, "Error: ", line);
            return PhaseOutcome::Continue;
        case EventKind::Malformed:
            reportMalformed(bar, "Error: ", line);
            return PhaseOutcome::Continue;
    }
    return PhaseOutcome::Continue;
}

// After the transfer: wait for DONE or FAIL, tolerating five silent reads in a row.
// Only a four-word line breaks a row of time-outs; a malformed line leaves it as is.
// The card checks and writes its flash on its own by now, and leaving would not stop
// it: a first interruption only warns, a second one aborts.
std::int32_t awaitCompletion(NEXIR& card, EventLines& lines, ProgressBar& bar) {
    std::uint8_t timeouts = 0;
    bool warned = false;
    int stage = 1;  // the last stage the card reported
    for (;;) {
        std::string line;
        try {
            line = lines.next();
        } catch (const Interrupted& interruption) {
            if (warned) abortOnInterruption(card, interruption.signal);
            warned = true;
            std::cout << "\nInterrupted: the card goes on " << workOnItsOwn(stage)
                      << " on its own; interrupt again to tell it to abort" << std::endl;
            continue;
        }
        const EventLine event = classifyEventLine(line);
        bool done = false;
        switch (event.kind) {
            case EventKind::Timeout:
                if (card.disconnected()) return reportDisconnected(card, bar, true);
                if (timeouts < kToleratedTimeouts) {
                    ++timeouts;
                    continue;
                }
                return abortUpdate(card, bar, "Error: Update timeout, aborting automatically: ");
            case EventKind::FourWords:
                if (const int shown = showStatusEvent(event.words, bar, "Error1")) stage = shown;
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
                reportMalformed(bar, "Error2: ", line);
                continue;
        }
        if (done) return 0;
        timeouts = 0;
    }
}

// Everything from the start of the transfer to the card's last word.
std::int32_t transferAndComplete(NEXIR& card, const UploadImage& image, ProgressBar& bar, bool reconfigure) {
    const auto start = std::chrono::steady_clock::now();
    EventLines lines(card);
    // Declared after the image: on every return the task is stopped and waited for
    // before the image is released.
    TransferTask transfer(card, image);
    bool done = false;
    while (!done && !transfer.finishedWithin(std::chrono::milliseconds(lines.pending() ? 0 : 10))) {
        std::string line;
        try {
            line = lines.next();
        } catch (const Interrupted& interruption) {
            transfer.stop();
            abortOnInterruption(card, interruption.signal);
        }
        switch (handleTransferLine(line, bar, transfer)) {
            case PhaseOutcome::TimedOut:
                transfer.stop();
                if (card.disconnected()) return reportDisconnected(card, bar, true);
                return abortUpdate(card, bar,
                                   "Error: Update timeout while waiting for file transfer, aborting automatically: ");
            case PhaseOutcome::Failed:
                return -1;
            case PhaseOutcome::Done:
                done = true;
                break;
            case PhaseOutcome::Continue:
                break;
        }
    }
    const UpdateResult& result = transfer.result();
    if (result.code < 0 && card.disconnected()) return reportDisconnected(card, bar, true);
    if (result.code < 0) {
        bar.endRow(std::cout);
        std::cout << result.message << std::endl;
        abortAfterFailure(card);
        return result.code;
    }
    if (!done && awaitCompletion(card, lines, bar) != 0) return -1;
    reportSuccess(start, reconfigure);
    return 0;
}

}  // namespace

std::int32_t runUpdate(NEXIR& card, std::string updateType, std::string imageChoice, std::string imagePath,
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
    std::string answer = card.sendCommand(kSubscription);
    if (card.disconnected()) return reportDisconnected(card, bar, false);
    if (answer != kSubscriptionAccepted) {
        std::cout << "Subscription failed: '" << answer << "'\n";
        return -1;
    }

    const std::string request = upgradeRequest(updateType, image.size, imageChoice, skipVerify, reconfigure);
    std::cout << "Sending UART command: <" << request << ">" << std::endl;
    try {
        answer = card.sendCommand(request);
    } catch (const Interrupted& interruption) {
        abortOnInterruption(card, interruption.signal);  // the request went out
    }
    if (card.disconnected()) return reportDisconnected(card, bar, false);
    std::cout << "UART response: <" << answer << ">" << std::endl;

    if (card.fifoStatus != FT_OK) {
        std::cout << "Error: Fifo is not ok" << std::endl;
        return abortAfterFailure(card);
    }
    try {
        return transferAndComplete(card, image, bar, reconfigure);
    } catch (const std::exception&) {  // an Interrupted, no std::exception, has told the card already
        abortAfterFailure(card);
        throw;
    }
}

}  // namespace nexir
