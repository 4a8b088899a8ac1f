// The exported query interface declared in cardbench.h.
#include "cardbench.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "bench_instance.h"

namespace {

size_t copyText(const std::string& text, char* buffer, size_t capacity) {
    if (buffer != nullptr && capacity > 0) {
        const size_t length = std::min(text.size(), capacity - 1);
        std::memcpy(buffer, text.data(), length);
        buffer[length] = '\0';
    }
    return text.size();
}

}  // namespace

extern "C" {

int cardbench_load_scenario(const char* json_text, const char* base_dir) {
    if (json_text == nullptr) {
        return -1;
    }
    return cardbench::loadScenarioText(json_text, base_dir ? base_dir : "") ? 0 : -1;
}

int cardbench_load_scenario_file(const char* path) {
    return path != nullptr && cardbench::loadScenarioFile(path) ? 0 : -1;
}

void cardbench_reset(void) { cardbench::resetWorld(); }

size_t cardbench_last_error(char* buffer, size_t capacity) {
    return copyText(cardbench::lastLoadError(), buffer, capacity);
}

size_t cardbench_call_log(char* buffer, size_t capacity) {
    return copyText(cardbench::currentWorld()->log().text(), buffer, capacity);
}

int cardbench_double_close_count(int device) { return cardbench::currentWorld()->devices().doubleCloses(device); }

}  // extern "C"
