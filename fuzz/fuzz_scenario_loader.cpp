// The bench's scenario loader on arbitrary text, as a scenario file from elsewhere may
// hold. Models: the text is either refused with a std::runtime_error of one line (no
// other exception escapes) or makes a scenario the bench can run (bench_scenario_check.h).
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "bench_scenario_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    cardbench::Scenario scenario;
    try {
        scenario = cardbench::parseScenario(text, "");
    } catch (const std::runtime_error& refusal) {
        fuzz::checkRefusal(refusal.what(), text);
        return 0;
    }
    fuzz::checkScenarioRuns(scenario, text);
    return 0;
}
