// Peak memory and wall time of loading a 256 MiB update image, against the
// least any loader must do: read the file into a fresh buffer and run one
// zlib CRC over it.
//
// usage: update_load_benchmark [image-file [repetitions]]
// Without a file, one of 256 MiB random bytes is made in the temp directory
// and removed at the end. The file is read once beforehand, so every run
// reads from the page cache.
#include "update/upload_image.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

using namespace nexir;

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::uint64_t kDefaultImageSize = 256 * kMiB;
constexpr std::size_t kChunkSize = kMiB;
constexpr std::uint64_t kAllowedOverhead = 16 * kMiB;
constexpr double kAllowedSlowdown = 1.3;

// A field of /proc/self/status such as "VmHWM:   1234 kB", in bytes.
std::uint64_t processStatusBytes(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, field.size() + 1, field + ":") == 0) {
            std::istringstream value(line.substr(field.size() + 1));
            std::uint64_t kib = 0;
            value >> kib;
            return kib * 1024;
        }
    }
    return 0;
}

void makeRandomFile(const fs::path& path, std::uint64_t size) {
    std::ofstream file(path, std::ios::binary);
    std::mt19937_64 random(7);
    std::vector<std::uint64_t> chunk(kChunkSize / sizeof(std::uint64_t));
    for (std::uint64_t written = 0; written < size; written += kChunkSize) {
        std::generate(chunk.begin(), chunk.end(), random);
        file.write(reinterpret_cast<const char*>(chunk.data()),
                   static_cast<std::streamsize>(std::min<std::uint64_t>(kChunkSize, size - written)));
    }
}

void readThroughCache(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> chunk(kChunkSize);
    while (file.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || file.gcount() > 0) {
    }
}

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

volatile std::uint32_t resultSink;

double timeLoad(const fs::path& path) {
    const auto start = Clock::now();
    UploadImage image;
    if (loadUpdateImage(path.string(), "FPGA", image) != 0) std::exit(1);
    resultSink = image.bytes[16];
    image.bytes.reset();
    return millisecondsSince(start);
}

double timeReadAndZlibCrc(const fs::path& path) {
    const auto start = Clock::now();
    const std::uint64_t size = fs::file_size(path);
    std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[size + 32]);
    std::ifstream file(path, std::ios::binary);
    if (!file.read(reinterpret_cast<char*>(bytes.get() + 32), static_cast<std::streamsize>(size))) std::exit(1);
    resultSink = static_cast<std::uint32_t>(crc32_z(0, bytes.get() + 32, size));
    bytes.reset();
    return millisecondsSince(start);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double inMiB(std::uint64_t bytes) { return static_cast<double>(bytes) / kMiB; }

const char* verdict(bool met) { return met ? "met" : "NOT met"; }

}  // namespace

int main(int argc, char** argv) {
    const bool madeFile = argc < 2;
    const fs::path path =
        madeFile ? fs::temp_directory_path() / ("nexir_load_benchmark_" + std::to_string(::getpid()) + ".bin")
                 : fs::path(argv[1]);
    const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 9;
    if (madeFile) makeRandomFile(path, kDefaultImageSize);
    readThroughCache(path);
    const std::uint64_t fileSize = fs::file_size(path);
    const std::uint64_t imageSize = 32 + (fileSize + 3) / 4 * 4;

    // The first load runs alone, so the peak it leaves is its own.
    const std::uint64_t rssBefore = processStatusBytes("VmRSS");
    const double firstLoad = timeLoad(path);
    const std::uint64_t peak = processStatusBytes("VmHWM");

    std::vector<double> loads{firstLoad};
    std::vector<double> references;
    for (int run = 0; run < repetitions; ++run) {
        references.push_back(timeReadAndZlibCrc(path));
        if (run + 1 < repetitions) loads.push_back(timeLoad(path));
    }
    if (madeFile) fs::remove(path);

    const double loadMs = median(loads);
    const double referenceMs = median(references);
    std::cout << std::fixed << std::setprecision(1) << "image file          " << inMiB(fileSize) << " MiB (" << fileSize
              << " bytes), read from the page cache\n"
              << "RSS before load     " << inMiB(rssBefore) << " MiB\n"
              << "peak RSS (VmHWM)    " << inMiB(peak) << " MiB = image " << inMiB(imageSize) << " MiB + "
              << inMiB(peak - imageSize)
              << " MiB; limit image + 16 MiB: " << verdict(peak <= imageSize + kAllowedOverhead) << "\n"
              << "load, median of " << loads.size() << "   " << loadMs << " ms\n"
              << "read + zlib CRC     " << referenceMs << " ms (median of " << references.size() << ")\n"
              << std::setprecision(3) << "ratio               " << loadMs / referenceMs << "; limit "
              << kAllowedSlowdown << ": " << verdict(loadMs <= kAllowedSlowdown * referenceMs) << "\n";
    return 0;
}
