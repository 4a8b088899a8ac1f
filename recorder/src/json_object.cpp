#include "json_object.h"

#include <cstring>

namespace recorder {
void appendByteString(std::string& out, const void* data, std::size_t size) {
    static const char hex[] = "0123456789abcdef";
    const auto* bytes = static_cast<const unsigned char*>(data);
    out += '"';
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char byte = bytes[i];
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte >= 0x7F) {
            // Not raw UTF-8: a byte above 0x7F is the code point of the same value.
            out += "\\u00";
            out += hex[byte >> 4];
            out += hex[byte & 15];
        } else {
            out += static_cast<char>(byte);
        }
    }
    out += '"';
}

void JsonObject::key(const char* key) {
    if (!members_.empty()) members_ += ',';
    appendByteString(members_, key, std::strlen(key));
    members_ += ':';
}

JsonObject& JsonObject::number(const char* key, long long value) {
    this->key(key);
    members_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::bytes(const char* key, const void* data, std::size_t size) {
    this->key(key);
    appendByteString(members_, data, size);
    return *this;
}

JsonObject& JsonObject::boundedText(const char* key, const char* text, std::size_t capacity) {
    const void* end = std::memchr(text, '\0', capacity);
    return bytes(key, text, end ? static_cast<std::size_t>(static_cast<const char*>(end) - text) : capacity);
}

JsonObject& JsonObject::json(const char* key, const std::string& value) {
    this->key(key);
    members_ += value;
    return *this;
}

JsonObject& JsonObject::null(const char* key) { return json(key, "null"); }

}  // namespace recorder
