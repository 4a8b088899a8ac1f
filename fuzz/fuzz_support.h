// Shared by the fuzz targets: values read off the fuzzer's bytes, and a stop with a
// readable message when a property does not hold.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// Reads values off the front of the input; once it runs dry, bytes are 0 and texts short.
struct Input {
    const std::uint8_t* data;
    std::size_t size, offset = 0;
    bool empty() const { return offset >= size; }
    std::uint8_t byte() { return offset < size ? data[offset++] : 0; }
    std::string text(std::size_t length) {
        const std::size_t start = offset;
        offset += length < size - offset ? length : size - offset;
        return std::string(reinterpret_cast<const char*>(data + start), offset - start);
    }
};

inline void check(bool holds, const char* what, const std::string& detail) {
    if (holds) return;
    std::fprintf(stderr, "PROPERTY FAILED: %s\n%s\n", what, detail.c_str());
    std::abort();
}

}  // namespace fuzz
