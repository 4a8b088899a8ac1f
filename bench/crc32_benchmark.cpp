// Our CRC-32 against zlib's on one 64 MiB buffer of random bytes.
#include "update/crc32.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstring>
#include <iostream>
#include <random>
#include <vector>

#include <time.h>

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
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kBufferSize));
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

// CPU time of this thread: the machine is shared, and time spent descheduled
// says nothing about either CRC.
double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
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
        const double start = threadCpuSeconds();
        benchmark::DoNotOptimize(crc32(bytes.data(), bytes.size()));
        const double between = threadCpuSeconds();
        benchmark::DoNotOptimize(zlibCrc32(bytes));
        nexirSeconds += between - start;
        zlibSeconds += threadCpuSeconds() - between;
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
