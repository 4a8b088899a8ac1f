// Shared by the fuzz targets: reading structured values off the fuzzer's bytes, and
// stopping with a readable message when a property does not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fuzz {

// Reads values off the front of the input; once it runs dry every read gives zeros.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return offset_ >= size_; }
    std::size_t remaining() const { return size_ - offset_; }

    std::uint8_t byte() { return offset_ < size_ ? data_[offset_++] : 0; }

    std::uint32_t u32() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(byte()) << (8 * i);
        return value;
    }

    // Up to `length` bytes, fewer when the input ends first.
    std::string text(std::size_t length) {
        const std::size_t taken = length < remaining() ? length : remaining();
        std::string result(reinterpret_cast<const char*>(data_ + offset_), taken);
        offset_ += taken;
        return result;
    }

    std::string rest() { return text(remaining()); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

// Printable form of a text for failure messages: escapes and quotes.
inline std::string shown(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        char escaped[8];
        const char* format = c == '\\' || c == '"' ? "\\%c" : c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x";
        std::snprintf(escaped, sizeof escaped, format, c);
        out += escaped;
    }
    return out + "\"";
}

[[noreturn]] inline void fail(const char* what, const std::string& detail = std::string()) {
    std::fprintf(stderr, "PROPERTY FAILED: %s\n%s\n", what, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace fuzz

// Stops the run when `holds` is false: FUZZ_CHECK(holds, what[, detail]). The detail
// text is built only on failure, which keeps the passing runs fast.
#define FUZZ_CHECK(holds, ...)                        \
    do {                                              \
        if (!(holds)) ::fuzz::fail(__VA_ARGS__);      \
    } while (false)
