#include "bench_instance.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

namespace cardbench {
namespace {

struct Instance {
    std::mutex mutex;
    std::shared_ptr<World> world;
    bool initialised = false;
    std::string lastError;
};

// Deliberately never destroyed: a program may still be inside a D2XX call on another
// thread while the process exits.
Instance& instance() {
    static Instance* single = new Instance;
    return *single;
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The environment wins over the scenario so that tests can put outputs into their own
// temporary folders.
void applyEnvironment(Scenario& scenario) {
    if (auto log = environment("CARDBENCH_CALL_LOG"); !log.empty()) {
        scenario.callLogPath = log;
    }
    if (auto dumps = environment("CARDBENCH_FIFO_DUMP_DIR"); !dumps.empty()) {
        scenario.fifoDumpDir = dumps;
    }
}

std::string folderOf(const std::string& path) { return std::filesystem::path(path).parent_path().string(); }

// Messages name where the scenario came from: its file, or "scenario" for text.
bool install(const std::string& source, const std::string& jsonText, const std::string& baseDir, Instance& bench) {
    try {
        Scenario scenario = parseScenario(jsonText, baseDir);
        applyEnvironment(scenario);
        auto world = std::make_shared<World>(scenario);
        bench.lastError = world->setupProblem();
        if (bench.world) {
            bench.world->log().flushPolls();
        }
        bench.world = std::move(world);
        bench.initialised = true;
        return true;
    } catch (const std::exception& error) {
        bench.lastError = source + ": " + error.what();
        return false;
    }
}

bool installFile(const std::string& path, Instance& bench) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        bench.lastError = "cannot read scenario file " + path;
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return install(path, text.str(), folderOf(path), bench);
}

// A process that loads the bench by accident, or a test that forgot its scenario,
// learns so on the first call; the bench then shows no devices. Said once per process.
void initialiseFromEnvironment(Instance& bench) {
    bench.initialised = true;
    bench.world = std::make_shared<World>(Scenario{});
    const std::string path = environment("CARDBENCH_SCENARIO");
    if (path.empty()) {
        std::fputs(
            "cardbench: the virtual card bench is loaded but has no scenario "
            "(CARDBENCH_SCENARIO is not set), so it shows no devices\n",
            stderr);
        return;
    }
    installFile(path, bench);
    if (!bench.lastError.empty()) {
        std::fprintf(stderr, "cardbench: %s\n", bench.lastError.c_str());
    }
}

// Empty-poll runs still open when the process ends get their line.
__attribute__((destructor)) void flushLogAtExit() {
    Instance& bench = instance();
    std::lock_guard<std::mutex> lock(bench.mutex);
    if (bench.world) {
        bench.world->log().flushPolls();
    }
}

}  // namespace

std::shared_ptr<World> currentWorld() {
    Instance& bench = instance();
    std::lock_guard<std::mutex> lock(bench.mutex);
    if (!bench.initialised) {
        initialiseFromEnvironment(bench);
    }
    return bench.world;
}

bool loadScenarioText(const std::string& jsonText, const std::string& baseDir) {
    Instance& bench = instance();
    std::lock_guard<std::mutex> lock(bench.mutex);
    return install("scenario", jsonText, baseDir, bench);
}

bool loadScenarioFile(const std::string& path) {
    Instance& bench = instance();
    std::lock_guard<std::mutex> lock(bench.mutex);
    return installFile(path, bench);
}

void resetWorld() {
    Instance& bench = instance();
    std::lock_guard<std::mutex> lock(bench.mutex);
    if (bench.world) {
        bench.world->log().flushPolls();
    }
    bench.world = std::make_shared<World>(Scenario{});
    bench.initialised = true;
    bench.lastError.clear();
}

std::string lastLoadError() {
    Instance& bench = instance();
    std::lock_guard<std::mutex> lock(bench.mutex);
    return bench.lastError;
}

}  // namespace cardbench
