// Our CRC-32 against zlib's on one 64 MiB buffer of random bytes.
#include "update/crc32.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <chrono>
#include <cstring>
#include <iostream>
#include <random>
#include <vector>

namespace {

constexpr std::size_t kBufferSize = std::size_t{64} << 20;

const std::vector<std::uint8_t>& sharedBuffer()
{
    static const std::vector<std::uint8_t> buffer = [] {
        std::vector<std::uint8_t> bytes(kBufferSize);
        std::mt19937_64 random(42);
        for (std::size_t i = 0; i < bytes.size(); i += 8) {
            const std::uint64_t word = random();
            std::memcpy(&bytes[i], &word, sizeof word);
        }
        return bytes;
    }();
    return buffer;
}

std::uint32_t zlibCrc32(const std::vector<std::uint8_t>& bytes)
{
    return static_cast<std::uint32_t>(crc32_z(0, bytes.data(), bytes.size()));
}

void setBytesProcessed(benchmark::State& state)
{
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferSize));
}

void BM_Crc32Nexir(benchmark::State& state)
{
    const auto& bytes = sharedBuffer();
    for (auto _ : state)
        benchmark::DoNotOptimize(crc32(bytes.data(), bytes.size()));
    setBytesProcessed(state);
}

void BM_Crc32Zlib(benchmark::State& state)
{
    const auto& bytes = sharedBuffer();
    for (auto _ : state)
        benchmark::DoNotOptimize(zlibCrc32(bytes));
    setBytesProcessed(state);
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Both CRCs back to back in every iteration, so that load from other
// processes on the machine hits both alike; "ratio" is our throughput over
// zlib's.
void BM_Crc32NexirOverZlib(benchmark::State& state)
{
    const auto& bytes = sharedBuffer();
    double nexirSeconds = 0;
    double zlibSeconds = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(crc32(bytes.data(), bytes.size()));
        nexirSeconds += secondsSince(start);
        start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(zlibCrc32(bytes));
        zlibSeconds += secondsSince(start);
    }
    // GiB/s, the unit Google Benchmark uses for bytes_per_second.
    const double totalGiB = static_cast<double>(state.iterations()) * kBufferSize / (1 << 30);
    state.counters["nexir_GiBps"] = totalGiB / nexirSeconds;
    state.counters["zlib_GiBps"] = totalGiB / zlibSeconds;
    state.counters["ratio"] = zlibSeconds / nexirSeconds;
}

BENCHMARK(BM_Crc32Nexir)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc32Zlib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc32NexirOverZlib)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    const auto& bytes = sharedBuffer();
    if (crc32(bytes.data(), bytes.size()) != zlibCrc32(bytes)) {
        std::cerr << "crc32 disagrees with zlib\n";
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
