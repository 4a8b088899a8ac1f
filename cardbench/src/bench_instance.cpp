#include "bench_instance.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

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

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read scenario file " + path);
    }
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool install(const std::string& jsonText, const std::string& baseDir, Instance& bench) {
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
        bench.lastError = error.what();
        return false;
    }
}

std::string folderOf(const std::string& path) {
    return std::filesystem::path(path).parent_path().string();
}

void initialiseFromEnvironment(Instance& bench) {
    bench.initialised = true;
    bench.world = std::make_shared<World>(Scenario{});
    const std::string path = environment("CARDBENCH_SCENARIO");
    if (path.empty()) {
        return;
    }
    try {
        install(readFile(path), folderOf(path), bench);
    } catch (const std::exception& error) {
        bench.lastError = error.what();
    }
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
    return install(jsonText, baseDir, bench);
}

bool loadScenarioFile(const std::string& path) {
    Instance& bench = instance();
    std::lock_guard<std::mutex> lock(bench.mutex);
    try {
        return install(readFile(path), folderOf(path), bench);
    } catch (const std::exception& error) {
        bench.lastError = error.what();
        return false;
    }
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
