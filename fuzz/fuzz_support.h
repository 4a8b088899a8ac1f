// Shared by the fuzz targets: reading values off the fuzzer's bytes, and stopping with a
// readable message when a property does not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// Reads values off the front of the input; once it runs dry every read gives zeros.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return offset_ >= size_; }
    std::uint8_t byte() { return offset_ < size_ ? data_[offset_++] : 0; }
    // Up to `length` bytes, fewer when the input ends first.
    std::string text(std::size_t length) {
        const std::size_t taken = length < size_ - offset_ ? length : size_ - offset_;
        offset_ += taken;
        return std::string(reinterpret_cast<const char*>(data_ + offset_ - taken), taken);
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

}  // namespace fuzz

// Stops the run with a message when `holds` is false.
#define FUZZ_CHECK(holds, what, detail)                                                  \
    do {                                                                                 \
        if (!(holds)) {                                                                  \
            std::fprintf(stderr, "PROPERTY FAILED: %s\n%s\n", what, std::string(detail).c_str()); \
            std::abort();                                                                \
        }                                                                                \
    } while (false)
