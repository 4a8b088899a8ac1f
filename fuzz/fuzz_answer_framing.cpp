// AnswerFraming fed a stream cut into chunks, as the receive queue may hand it over.
// Input: a byte K, K % 16 cut bytes (low 7 bits a chunk length, 0 an empty read; the top
// bit takes the answer after that chunk, complete or not, as a time-out does), the stream.
// An answer completes exactly on a non-empty chunk ending in a line feed; take() hands
// over every byte since the last take(); nothing is lost or doubled.
#include <algorithm>
#include <memory>

#include "fuzz_support.h"
#include "link/answer_framing.h"

using namespace nexir;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input{data, size};
    std::string cuts(input.byte() % 16, '\0');
    for (auto& cut : cuts) cut = static_cast<char>(input.byte());
    const std::string stream = input.text(size);

    AnswerFraming framing;
    std::string waiting, taken;
    for (std::size_t turn = 0, position = 0; position < stream.size(); ++turn) {
        const std::uint8_t cut = cuts.empty() ? 0x7f : static_cast<std::uint8_t>(cuts[turn % cuts.size()]);
        // Cut lengths that are all 0 would never get through the stream.
        const std::size_t length = std::min<std::size_t>(stream.size() - position, turn > 4 * size ? 0x7f : cut & 0x7f);
        // A buffer of exactly the chunk's size: any read past its end is caught.
        std::unique_ptr<char[]> chunk(new char[length]);
        stream.copy(chunk.get(), length, position);
        position += length;
        waiting.append(chunk.get(), length);
        const bool complete = framing.append(chunk.get(), length);
        fuzz::check(complete == (length > 0 && chunk[length - 1] == '\n'), "completes on a chunk ending in a line feed",
                    std::string(chunk.get(), length));
        fuzz::check(framing.empty() == waiting.empty(), "empty() after append()", waiting);
        if (complete || (cut & 0x80)) {
            const std::string answer = framing.take();
            fuzz::check(answer == waiting && framing.empty(), "take() hands over the bytes since the last take()",
                        waiting + " / " + answer);
            taken += answer;
            waiting.clear();
        }
    }
    taken += framing.take();
    fuzz::check(taken == stream, "the answers put together are the stream", taken);
    return 0;
}
