// One JSON object of the recording, built member by member into its text. Byte
// strings become JSON strings in which each character U+0000 to U+00FF stands for one
// byte, so that whatever a card sends survives exactly and ASCII stays readable.
#pragma once

#include <cstddef>
#include <string>

namespace recorder {
class JsonObject {
public:
    JsonObject& number(const char* key, long long value);
    JsonObject& bytes(const char* key, const void* data, std::size_t size);
    // A NUL-terminated text in a buffer of `capacity` bytes, which may lack the NUL.
    JsonObject& boundedText(const char* key, const char* text, std::size_t capacity);
    // A value that is already JSON text: a nested object or an array.
    JsonObject& json(const char* key, const std::string& value);
    JsonObject& null(const char* key);

    // The members without the braces, comma-separated.
    const std::string& members() const { return members_; }
    std::string text() const { return "{" + members_ + "}"; }

private:
    void key(const char* key);
    std::string members_;
};

// Appends `data` to `out` as a JSON string, quotes included.
void appendByteString(std::string& out, const void* data, std::size_t size);

}  // namespace recorder
