// cardbench-usb: runs a command with the bench's cards on a umockdev testbed, where they
// are FT2232H chips at the usbfs level that libusb, libftdi1 and FTDI's own library reach
// unchanged. The command runs with umockdev's preload library and the testbed's folder
// in its environment; the launcher ends with its exit status.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/recording_reader.h"
#include "model/scenario.h"
#include "testbed.h"

extern char** environ;

namespace {

constexpr const char* kUsage =
    "usage: cardbench-usb [--scenario FILE] [--] COMMAND [ARGUMENT...]\n"
    "Runs COMMAND with the scenario's cards as FT2232H chips on a umockdev testbed.\n"
    "FILE: a scenario or a recording; default: $CARDBENCH_SCENARIO.\n";
constexpr int kUsageError = 2;

pid_t child = 0;

// An interrupt or termination meant for the command reaches it; the launcher ends with it.
void forward(int signal) {
    if (child > 0) kill(child, signal);
}

cardbench::Scenario loadScenario(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read scenario file " + path);
    std::ostringstream text;
    text << file.rdbuf();
    cardbench::Scenario scenario;
    try {
        scenario = cardbench::isRecording(path, text.str())
                       ? cardbench::scenarioFromRecording(text.str())
                       : cardbench::parseScenario(text.str(), std::filesystem::path(path).parent_path().string());
    } catch (const cardbench::RecordingRefusal& refusal) {
        throw std::runtime_error(path + ":" + std::to_string(refusal.line) + ": " + refusal.reason);
    }
    if (const char* dumps = std::getenv("CARDBENCH_FIFO_DUMP_DIR"); dumps && *dumps) scenario.fifoDumpDir = dumps;
    return scenario;
}

// The command's environment: umockdev's preload library first, and the testbed's folder.
// An ASan build of the command would refuse a library loaded before its runtime.
std::vector<std::string> childEnvironment(const std::string& root) {
    std::vector<std::string> env;
    std::string preload = "libumockdev-preload.so.0", asan = "verify_asan_link_order=0";
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (text.rfind("LD_PRELOAD=", 0) == 0 && text.size() > 11) {
            preload += ":" + text.substr(11);
        } else if (text.rfind("ASAN_OPTIONS=", 0) == 0) {
            asan = text.substr(13) + ":" + asan;
        } else if (text.rfind("UMOCKDEV_DIR=", 0) != 0) {
            env.push_back(text);
        }
    }
    env.push_back("LD_PRELOAD=" + preload);
    env.push_back("ASAN_OPTIONS=" + asan);
    env.push_back("UMOCKDEV_DIR=" + root);
    return env;
}

// The command dies with the launcher, however the launcher ends: without its testbed it
// could only hang on a node that no one answers.
int run(char** command, const std::string& root) {
    std::vector<std::string> env = childEnvironment(root);
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    struct sigaction action {};
    action.sa_handler = forward;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    const pid_t launcher = getpid();
    child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != launcher) _exit(127);
        execvpe(command[0], command, envp.data());
        std::fprintf(stderr, "cardbench-usb: cannot run %s: %s\n", command[0], std::strerror(errno));
        _exit(127);
    }
    if (child < 0) {
        std::fprintf(stderr, "cardbench-usb: cannot start %s: %s\n", command[0], std::strerror(errno));
        return 127;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    std::string scenarioPath = std::getenv("CARDBENCH_SCENARIO") ? std::getenv("CARDBENCH_SCENARIO") : "";
    if (first + 1 < argc && std::strcmp(argv[first], "--scenario") == 0) {
        scenarioPath = argv[first + 1];
        first += 2;
    }
    if (first < argc && std::strcmp(argv[first], "--") == 0) ++first;
    if (first >= argc || argv[first][0] == '-' || scenarioPath.empty()) {
        std::fputs(kUsage, stderr);
        return kUsageError;
    }
    cardbench::Scenario scenario;
    try {
        scenario = loadScenario(scenarioPath);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "cardbench-usb: %s\n", error.what());
        return kUsageError;
    }
    cardbench::usb::UsbTestbed testbed(scenario);
    const int status = run(argv + first, testbed.root());
    testbed.dumpFifos();
    return status;
}
