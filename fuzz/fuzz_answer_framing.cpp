// AnswerFraming fed one byte stream cut into chunks at fuzzer-chosen points, the way
// the receive queue may hand it over. Input: one byte K (K % 16 cut lengths follow),
// the cut lengths, then the stream. A cut byte's low 7 bits are the chunk length (0 is
// an empty read); its top bit takes the answer after that chunk even when it is not
// complete, as a time-out does with a partial answer. The lengths are used in turn,
// round and round, until the stream is used up.
//
// Properties: append() reports a complete answer exactly when the chunk just added is
// non-empty and ends in a line feed; take() hands over every byte appended since the
// last take(), in order; empty() tells whether anything is waiting; and all answers
// taken, put together, are the stream itself, nothing lost or doubled.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "link/answer_framing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    std::vector<std::uint8_t> cuts(input.byte() % 16);
    for (auto& cut : cuts) cut = input.byte();
    const std::string stream = input.rest();

    AnswerFraming framing;
    std::string waiting;   // what the framing should hold
    std::string taken;     // every answer handed over, put together
    std::size_t position = 0;
    std::size_t emptyReadsInARow = 0;
    for (std::size_t turn = 0; position < stream.size(); ++turn) {
        std::size_t length = stream.size() - position;
        bool takeAfter = false;
        if (!cuts.empty()) {
            const std::uint8_t cut = cuts[turn % cuts.size()];
            takeAfter = (cut & 0x80) != 0;
            if ((cut & 0x7f) < length) length = cut & 0x7f;
        }
        // Cut lengths that are all 0 would never get through the stream.
        emptyReadsInARow = length == 0 ? emptyReadsInARow + 1 : 0;
        if (emptyReadsInARow > cuts.size()) length = stream.size() - position;

        // A buffer of exactly the chunk's size, as the reader hands over: any read past
        // its end is caught.
        std::unique_ptr<char[]> chunk(new char[length]);
        stream.copy(chunk.get(), length, position);
        position += length;

        const bool complete = framing.append(chunk.get(), length);
        waiting.append(stream, position - length, length);
        const bool expected = length > 0 && chunk[length - 1] == '\n';
        FUZZ_CHECK(complete == expected, "append() completes exactly on a chunk ending in a line feed",
                    "chunk " + fuzz::shown(std::string(chunk.get(), length)) + " gave " +
                        (complete ? "complete" : "incomplete"));
        FUZZ_CHECK(framing.empty() == waiting.empty(), "empty() after append()",
                    "waiting " + fuzz::shown(waiting));

        if (complete || takeAfter) {
            const std::string answer = framing.take();
            FUZZ_CHECK(answer == waiting, "take() hands over exactly the bytes since the last take()",
                        "expected " + fuzz::shown(waiting) + "\nactual   " + fuzz::shown(answer));
            FUZZ_CHECK(framing.empty(), "empty() right after take()");
            taken += answer;
            waiting.clear();
        }
    }
    const std::string last = framing.take();
    FUZZ_CHECK(last == waiting, "the final take() hands over the rest",
                "expected " + fuzz::shown(waiting) + "\nactual   " + fuzz::shown(last));
    taken += last;
    FUZZ_CHECK(taken == stream, "the answers put together are the stream",
                "stream " + fuzz::shown(stream) + "\nanswers " + fuzz::shown(taken));
    FUZZ_CHECK(framing.take().empty() && framing.empty(), "a second take() finds nothing");
    return 0;
}
