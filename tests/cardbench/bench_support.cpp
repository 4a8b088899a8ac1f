#include "bench_support.h"

#include <sstream>
#include <thread>

namespace benchtest {

void BenchTest::load(const std::string& json, const std::string& baseDir) {
    if (cardbench_load_scenario(json.c_str(), baseDir.c_str()) != 0) {
        std::string error(cardbench_last_error(nullptr, 0) + 1, '\0');
        cardbench_last_error(error.data(), error.size());
        FAIL() << "scenario refused: " << error;
    }
}

FT_HANDLE BenchTest::open(int index) {
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(FT_Open(index, &handle), FT_OK) << "device " << index;
    return handle;
}

std::vector<nlohmann::json> BenchTest::logLines() {
    std::string text(cardbench_call_log(nullptr, 0) + 1, '\0');
    cardbench_call_log(text.data(), text.size());
    std::vector<nlohmann::json> lines;
    std::istringstream stream(text.c_str());
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(nlohmann::json::parse(line));
    }
    return lines;
}

std::vector<nlohmann::json> BenchTest::logLinesOf(const std::string& function) {
    std::vector<nlohmann::json> selected;
    for (auto& line : logLines()) {
        if (line["fn"] == function) {
            selected.push_back(line);
        }
    }
    return selected;
}

std::string oneCardScenario(const std::string& cardExtra, const std::string& topExtra) {
    return R"({ "devices": [
        {"description": "KRO_NX|2.1 A", "serial": "NX0001A", "card": "c", "channel": "fifo"},
        {"description": "KRO_NX|2.1 B", "serial": "NX0001B", "card": "c", "channel": "uart"},
        {"description": "FT232R USB UART", "serial": "A50285BI"}],
      "cards": {"c": {"slot": 2, "fpga_version": "2.1.0", "sw_version": "1.4.2", "latency_ms": 1)" +
           (cardExtra.empty() ? "" : ", " + cardExtra) + "}}" + (topExtra.empty() ? "" : ", " + topExtra) + "}";
}

void send(FT_HANDLE uart, const std::string& text) {
    DWORD written = 0;
    std::string copy = text;
    ASSERT_EQ(FT_Write(uart, copy.data(), DWORD(copy.size()), &written), FT_OK);
    ASSERT_EQ(written, copy.size());
}

std::string drain(FT_HANDLE uart) {
    DWORD waiting = 0, tx = 0, events = 0;
    if (FT_GetStatus(uart, &waiting, &tx, &events) != FT_OK || waiting == 0) {
        return "";
    }
    std::string bytes(waiting, '\0');
    DWORD got = 0;
    EXPECT_EQ(FT_Read(uart, bytes.data(), waiting, &got), FT_OK);
    bytes.resize(got);
    return bytes;
}

std::vector<std::string> collectLines(FT_HANDLE uart, const std::function<bool(const std::string&)>& stop,
                                      std::chrono::milliseconds limit) {
    std::vector<std::string> lines;
    std::string partial;
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        partial += drain(uart);
        for (auto end = partial.find('\n'); end != std::string::npos; end = partial.find('\n')) {
            lines.push_back(partial.substr(0, end + 1));
            partial.erase(0, end + 1);
            if (stop(lines.back())) {
                return lines;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return lines;
}

std::uint32_t referenceCrc32(const std::uint8_t* data, std::size_t length) {
    std::uint32_t reg = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i) {
        reg ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg >> 1) ^ (0xEDB88320u & (0u - (reg & 1u)));
        }
    }
    return ~reg;
}

namespace {

void putLittleEndian(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[offset + std::size_t(i)] = std::uint8_t(value >> (8 * i));
    }
}

}  // namespace

std::vector<std::uint8_t> uploadImage(const std::string& type, std::size_t payloadBytes) {
    std::vector<std::uint8_t> image(32 + payloadBytes, 0);
    std::string tag = "NEXIR-" + type;
    tag.resize(12, ' ');
    std::copy(tag.begin(), tag.end(), image.begin());
    for (std::size_t i = 0; i < payloadBytes; ++i) {
        image[32 + i] = std::uint8_t(i * 7 + 3);
    }
    putLittleEndian(image, 12, std::uint32_t(payloadBytes));
    putLittleEndian(image, 16, referenceCrc32(image.data() + 32, payloadBytes));
    return image;
}

}  // namespace benchtest
