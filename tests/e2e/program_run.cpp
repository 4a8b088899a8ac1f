#include "program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace {

std::vector<std::string>& tempDirs() {
    static std::vector<std::string> dirs;
    static const bool cleanup = [] {
        std::atexit([] {
            for (const auto& dir : tempDirs()) std::filesystem::remove_all(dir);
        });
        return true;
    }();
    (void)cleanup;
    return dirs;
}

std::vector<std::string> childEnvironment(const RunOptions& options, const std::string& dir) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (text.rfind("LD_LIBRARY_PATH=", 0) == 0 || text.rfind("CARDBENCH_", 0) == 0) continue;
        env.push_back(text);
    }
    env.push_back("LD_LIBRARY_PATH=" + (options.libraryDir.empty() ? std::string(NEXIR_BENCH_DIR)
                                                                    : options.libraryDir));
    if (!options.scenarioJson.empty()) {
        writeFile(dir + "/scenario.json", options.scenarioJson);
        env.push_back("CARDBENCH_SCENARIO=" + dir + "/scenario.json");
    }
    env.push_back("CARDBENCH_CALL_LOG=" + dir + "/calls.jsonl");
    env.insert(env.end(), options.env.begin(), options.env.end());
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (auto& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

// Reads both pipes until they close or the deadline passes.
bool drain(int outFd, int errFd, ProgramRun& run, double timeoutSeconds) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int open = 2;
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            for (const pollfd& fd : fds) {
                if (fd.fd >= 0) close(fd.fd);
            }
            return false;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[65536];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    return true;
}

}  // namespace

std::string makeTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "nexir-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    tempDirs().push_back(pattern);
    return pattern;
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string benchAssetPath(const std::string& relative) {
    return std::string(NEXIR_BENCH_ASSETS) + "/" + relative;
}

ProgramRun runUpdater(const std::vector<std::string>& args, const RunOptions& options) {
    const std::string dir = makeTempDir();
    std::vector<std::string> argv = {NEXIR_UPDATER_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = childEnvironment(options, dir);

    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, outPipe[0]);
    posix_spawn_file_actions_addclose(&actions, errPipe[0]);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    ProgramRun run;
    const auto started = std::chrono::steady_clock::now();
    pid_t pid = 0;
    auto argvPointers = pointers(argv);
    auto envPointers = pointers(env);
    const int spawned = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, argvPointers.data(),
                                    envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (spawned != 0) throw std::runtime_error("could not start " + argv[0]);

    const bool finished = drain(outPipe[0], errPipe[0], run, options.timeoutSeconds);
    if (!finished) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    run.callLog = readFile(dir + "/calls.jsonl");
    return run;
}
