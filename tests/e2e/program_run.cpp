#include "program_run.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

// Paths are UTF-8 text on both platforms, as the program takes them.
void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(std::filesystem::u8path(path), std::ios::binary) << content;
}

std::string readFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(std::filesystem::u8path(path), std::ios::binary).rdbuf();
    return text.str();
}

std::string benchAssetPath(const std::string& relative) { return std::string(NEXIR_BENCH_ASSETS) + "/" + relative; }

// Folders below one per process, removed at exit.
std::string makeTempDir() {
    namespace fs = std::filesystem;
    static const std::string root = [] {
        std::random_device random;
        fs::path path;
        do path = fs::temp_directory_path() / ("nexir-test-" + std::to_string(random()));
        while (!fs::create_directory(path));
        static const fs::path removed = path;
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(removed, ignored);
        });
        return path.generic_u8string();
    }();
    static std::atomic<int> next{0};
    const std::string dir = root + "/" + std::to_string(next++);
    fs::create_directory(fs::u8path(dir));
    return dir;
}

// The bench's settings for a run whose files go to `dir`.
static std::vector<std::string> benchSettings(const std::string& dir, const RunOptions& options) {
    std::vector<std::string> env = {"CARDBENCH_CALL_LOG=" + dir + "/calls.jsonl",
                                    "CARDBENCH_FIFO_DUMP_DIR=" + dir + "/fifo"};
    if (!options.scenarioJson.empty()) {
        writeFile(dir + "/scenario.json", options.scenarioJson);
        env.push_back("CARDBENCH_SCENARIO=" + dir + "/scenario.json");
    }
    env.insert(env.end(), options.env.begin(), options.env.end());
    return env;
}

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

extern char** environ;

static std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (auto& text : texts) result.push_back(text.data());
    return result.push_back(nullptr), result;
}

// A pseudo-terminal's master side, read without blocking; its other side shows the
// program's output unchanged (no line-end conversion), 120 columns wide.
static int openTerminal() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("no terminal");
    const int side = open(ptsname(master), O_RDWR | O_NOCTTY);
    termios settings{};
    tcgetattr(side, &settings);
    cfmakeraw(&settings);
    tcsetattr(side, TCSANOW, &settings);
    const winsize size{24, 120, 0, 0};
    ioctl(side, TIOCSWINSZ, &size);
    close(side);
    return master;
}

// The child's output goes to files in a fresh folder, read once it has ended.
ProgramRun runUpdater(const std::vector<std::string>& args, const RunOptions& options, const Interference& interference,
                      const std::string& folder) {
    const std::string dir = folder.empty() ? makeTempDir() : folder;
    std::vector<std::string> argv = options.wrapper;
    argv.push_back(options.argv0.empty() || !argv.empty() ? NEXIR_UPDATER_PATH : options.argv0);
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (text.rfind("LD_LIBRARY_PATH=", 0) != 0 && text.rfind("CARDBENCH_", 0) != 0) env.push_back(text);
    }
    env.push_back("LD_LIBRARY_PATH=" + (options.libraryDir.empty() ? NEXIR_BENCH_DIR : options.libraryDir));
    for (const std::string& setting : benchSettings(dir, options)) env.push_back(setting);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    int unread[2] = {-1, -1};
    const int terminal = interference.terminal ? openTerminal() : -1;
    if (terminal >= 0) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, ptsname(terminal), O_WRONLY, 0);
    } else if (interference.closedStdout && pipe(unread) == 0) {
        close(unread[0]);  // every write of the child fails with EPIPE
        posix_spawn_file_actions_adddup2(&actions, unread[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, unread[1]);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (dir + "/out").c_str(), O_WRONLY | O_CREAT, 0600);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (dir + "/err").c_str(), O_WRONLY | O_CREAT, 0600);
    ProgramRun run{"", "", -1, "", 0, dir};
    const auto started = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const std::string program = options.wrapper.empty() ? NEXIR_UPDATER_PATH : options.wrapper[0];
    const int spawned =
        posix_spawnp(&pid, program.c_str(), &actions, nullptr, pointers(argv).data(), pointers(env).data());
    posix_spawn_file_actions_destroy(&actions);
    if (unread[1] >= 0) close(unread[1]);
    if (spawned != 0) throw std::runtime_error("could not start " + program);

    const auto deadline = started + std::chrono::duration<double>(options.timeoutSeconds);
    const auto& signals = interference.signals;
    int status = 0;
    std::size_t next = 0;
    auto since = started;  // when the next signal's delay began: its log text, or the signal before
    bool armed = !signals.empty() && signals[0].afterLogText.empty();
    const auto readTerminal = [&] {
        char chunk[4096];
        for (ssize_t got; terminal >= 0 && (got = read(terminal, chunk, sizeof chunk)) > 0;) run.out.append(chunk, got);
    };
    while (waitpid(pid, &status, WNOHANG) == 0) {
        readTerminal();
        const auto now = std::chrono::steady_clock::now();
        if (next < signals.size() && !armed &&
            readFile(dir + "/calls.jsonl").find(signals[next].afterLogText) != std::string::npos) {
            armed = true, since = now;
        }
        if (armed && now - since >= std::chrono::duration<double>(signals[next].delaySeconds)) {
            kill(pid, signals[next].signal);
            since = now;
            armed = ++next < signals.size() && signals[next].afterLogText.empty();
        }
        if (now > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    readTerminal();
    if (terminal >= 0) close(terminal);
    if (!interference.terminal) run.out = readFile(dir + "/out");
    run.err = readFile(dir + "/err");
    run.callLog = readFile(dir + "/calls.jsonl");
    return run;
}
#else
// On Windows the program loads FTD2XX.dll only from its own folder, so it runs as a copy
// beside the library that the run asks for.
#include <windows.h>

#include "platform/text.h"

using nexir::wideFromUtf8;

namespace {

// One argument in quotes, as the C runtime reads it back. No test passes a quote or a
// trailing backslash, which would need escaping.
std::wstring quoted(const std::wstring& argument) {
    if (argument.find(L'"') != std::wstring::npos || (!argument.empty() && argument.back() == L'\\')) {
        throw std::logic_error("an argument that needs escaping");
    }
    return L"\"" + argument + L"\"";
}

// This process's environment without the bench's variables, then `extra`.
std::wstring environmentBlock(const std::vector<std::string>& extra) {
    std::wstring block;
    wchar_t* own = GetEnvironmentStringsW();
    for (const wchar_t* entry = own; *entry; entry += wcslen(entry) + 1) {
        if (wcsncmp(entry, L"CARDBENCH_", 10) != 0) block.append(entry).push_back(L'\0');
    }
    FreeEnvironmentStringsW(own);
    for (const std::string& entry : extra) block.append(wideFromUtf8(entry)).push_back(L'\0');
    return block + L'\0';
}

HANDLE inheritableFile(const std::string& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE file = CreateFileW(wideFromUtf8(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + path);
    return file;
}

// Standard output and error are in text mode, so every line end arrives as CR LF: undo
// exactly that. A bare line feed, from a stream left in binary mode, shows as "<LF>".
std::string withoutTextModeLineEnds(const std::string& text) {
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "\r\n") == 0)
            result += text[++i];
        else
            result += text[i] == '\n' ? std::string("<LF>") : std::string(1, text[i]);
    }
    return result;
}

// The program beside the library it is to load: the build puts it beside the bench and
// the recorder, a test's own folder gets a copy. The copy is made under a name of its
// own and then renamed, so that a test beside this one never starts half a program.
std::string programIn(const std::string& folder) {
    namespace fs = std::filesystem;
    const fs::path program = fs::u8path(folder) / "nexir-updater.exe";
    if (!fs::exists(program)) {
        const fs::path part = program.parent_path() / ("nexir-updater." + std::to_string(GetCurrentProcessId()));
        fs::copy_file(fs::u8path(NEXIR_UPDATER_PATH), part, fs::copy_options::overwrite_existing);
        std::error_code taken;  // another test's copy came first
        fs::rename(part, program, taken);
        fs::remove(part, taken);
    }
    return program.u8string();
}

}  // namespace

// The child's output goes to files in a fresh folder, read once it has ended. Signals
// and a closed standard output are POSIX matters; their tests do not run here.
ProgramRun runUpdater(const std::vector<std::string>& args, const RunOptions& options, const Interference& interference,
                      const std::string& folder) {
    if (!interference.signals.empty() || interference.closedStdout) {
        throw std::logic_error("signals and a closed standard output are not modelled on Windows");
    }
    const std::string dir = folder.empty() ? makeTempDir() : folder;
    const std::string program = programIn(options.libraryDir.empty() ? NEXIR_BENCH_DIR : options.libraryDir);
    std::wstring commandLine = quoted(wideFromUtf8(options.argv0.empty() ? program : options.argv0));
    for (const std::string& argument : args) commandLine += L" " + quoted(wideFromUtf8(argument));

    std::wstring environment = environmentBlock(benchSettings(dir, options));

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inheritableFile("NUL", GENERIC_READ, OPEN_EXISTING);
    startup.hStdOutput = inheritableFile(dir + "/out", GENERIC_WRITE, CREATE_ALWAYS);
    startup.hStdError = inheritableFile(dir + "/err", GENERIC_WRITE, CREATE_ALWAYS);
    PROCESS_INFORMATION process{};
    ProgramRun run;
    run.dir = dir;
    const auto started = std::chrono::steady_clock::now();
    const BOOL created =
        CreateProcessW(wideFromUtf8(program).c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment.data(), nullptr, &startup, &process);
    for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) CloseHandle(handle);
    if (!created) throw std::runtime_error("could not start " + program);

    DWORD exitCode = 0;
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(options.timeoutSeconds * 1000)) == WAIT_TIMEOUT) {
        TerminateProcess(process.hProcess, 9);
        WaitForSingleObject(process.hProcess, INFINITE);
        run.exitCode = -9;
    } else {
        GetExitCodeProcess(process.hProcess, &exitCode);
        run.exitCode = static_cast<int>(exitCode);
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    run.out = withoutTextModeLineEnds(readFile(dir + "/out"));
    run.err = withoutTextModeLineEnds(readFile(dir + "/err"));
    run.callLog = readFile(dir + "/calls.jsonl");
    return run;
}
#endif
