// Framing of the card's line-based text protocol on the UART channel.
#include <chrono>
#include <iostream>
#include <thread>
#include <vector>

#include "link/answer_framing.h"
#include "link/d2xx_library.h"
#include "link/nexir.h"
#include "platform/interruption.h"

namespace nexir {

namespace {
constexpr std::uint32_t kCommandPollLimit = 1000;
// The driver's receive queue holds far less than this; a larger count could only come
// from a misbehaving library, and is taken in pieces rather than in one huge buffer.
constexpr DWORD kLargestRead = 1 << 20;
const char kTimeout[] = "TIMEOUT";
}  // namespace

// A card that is gone hears nothing more: its answer is "TIMEOUT" at once.
std::string NEXIR::sendCommand(std::string command) {
    if (disconnected()) return kTimeout;
    if (command.empty() || command.back() != '\n') command.push_back('\n');
    DWORD written = 0;
    uartStatus = d2xx().write(uartHandle, command.data(), static_cast<DWORD>(command.size()), &written);
    uartGone_.note(uartStatus);
    return readResponse(kCommandPollLimit);
}

std::string NEXIR::disconnectedMessage() const {
    const FT_STATUS status = uartGone_.gone() ? uartGone_.status() : fifoGone_.status();
    return "error: card " + serialNumber + " was disconnected (D2XX status " + std::to_string(status) + ")";
}

// Polls the receive queue up to `pollLimit` times. An answer is complete when the
// newest chunk ends in a line feed; an empty poll sleeps one millisecond, a poll that
// found data goes on at once. An interruption is noticed between answers, never in
// the middle of one, so that no line is cut in two. A card that is gone ends the wait.
std::string NEXIR::readResponse(std::uint32_t pollLimit) {
    const D2xxFunctions& ft = d2xx();
    AnswerFraming framing;
    std::vector<char> chunk;
    for (std::uint32_t poll = 0; poll < pollLimit && !disconnected(); ++poll) {
        if (framing.empty()) leaveIfInterrupted();
        DWORD waiting = 0, transmitQueue = 0, events = 0;
        uartStatus = ft.getStatus(uartHandle, &waiting, &transmitQueue, &events);
        if (uartGone_.note(uartStatus)) break;
        if (uartStatus != FT_OK) waiting = 0;
        DWORD received = 0;
        if (waiting > 0) {
            if (waiting > kLargestRead) waiting = kLargestRead;
            chunk.resize(waiting);
            uartStatus = ft.read(uartHandle, chunk.data(), waiting, &received);
            if (received > waiting) received = waiting;  // never trust a count beyond the buffer
            if (uartGone_.note(uartStatus)) break;
        }
        // A pass that got no data waits, even when the queue claimed bytes that the read
        // then failed to deliver: the poll limit stays a time, not a spin.
        if (received == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (framing.append(chunk.data(), received)) return framing.take();
    }
    if (!framing.empty()) {
        std::cout << "info: "
                  << "Partial response while reading uart message : '" << framing.take() << "'" << std::endl;
    }
    return kTimeout;
}

}  // namespace nexir
