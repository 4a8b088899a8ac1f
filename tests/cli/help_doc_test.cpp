// docs/hardware.md quotes the program's help text, one code block per command, each
// under a line "<!-- help: <command> -->". Runs the built program, named
// "nexir-updater" as it is once installed, and compares.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Output {
    std::string out;
    std::string err;
    int exitCode = -1;
};

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return text;
}

// Runs the program with argv[0] "nexir-updater" and the given arguments.
Output runProgram(std::vector<std::string> args) {
    args.insert(args.begin(), "nexir-updater");
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
        posix_spawn_file_actions_addclose(&actions, fd);
    }
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, NEXIR_UPDATER_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);

    Output output;
    output.out = readAll(outPipe[0]);  // help text is far below a pipe's capacity
    output.err = readAll(errPipe[0]);
    int status = 0;
    if (spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        output.exitCode = WEXITSTATUS(status);
    }
    return output;
}

// The code block right under the command's marker line, with a line feed after every
// line; `found` counts the markers.
std::string documentedHelp(const std::string& command, int& found) {
    std::ifstream doc(NEXIR_HARDWARE_DOC);
    const std::string marker = "<!-- help: " + command + " -->";
    std::string line, block;
    found = 0;
    while (std::getline(doc, line)) {
        if (line != marker) continue;
        ++found;
        if (!std::getline(doc, line) || line.rfind("```", 0) != 0) continue;
        while (std::getline(doc, line) && line != "```") block += line + "\n";
    }
    return block;
}

class HelpDoc : public testing::TestWithParam<std::string> {};

TEST_P(HelpDoc, BlockMatchesTheProgramsHelp) {
    const std::string& command = GetParam();
    int markers = 0;
    const std::string documented = documentedHelp(command, markers);
    ASSERT_EQ(markers, 1) << "markers for '" << command << "' in " << NEXIR_HARDWARE_DOC;
    ASSERT_FALSE(documented.empty()) << "no code block under the marker";

    std::vector<std::string> args;
    if (!command.empty()) args.push_back(command);
    args.push_back("--help");
    const Output run = runProgram(args);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, documented);
}

INSTANTIATE_TEST_SUITE_P(Commands, HelpDoc, testing::Values("", "log", "update", "boot"),
                         [](const testing::TestParamInfo<std::string>& info) {
                             return info.param.empty() ? std::string("top_level") : info.param;
                         });

}  // namespace
