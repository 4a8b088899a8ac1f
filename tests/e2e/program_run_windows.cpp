// The process runner on Windows (see program_run.h). The program loads FTD2XX.dll only
// from its own folder, so it runs as a copy beside the library that the run asks for.
#include "program_run.h"

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>

#include "platform/text.h"

namespace fs = std::filesystem;

namespace {

// One argument as the C runtime's parser reads it back: quoted when it holds blanks or
// quotes, with the backslashes before a quote doubled.
std::wstring quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
    std::wstring result = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        result.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        result += c;
    }
    result.append(2 * backslashes, L'\\');
    return result + L"\"";
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

// Standard output and error are in text mode, so every line end arrives as CR LF.
// Undo exactly that, so that the tests compare the program's own texts; a line feed
// without its carriage return would mean a stream left in binary mode, and stays
// visible as "<LF>".
std::string withoutTextModeLineEnds(const std::string& text) {
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
            result += "<LF>";
            continue;
        }
        result += text[i];
    }
    return result;
}

// The program beside the library it is to load, copied there once.
std::string programIn(const std::string& folder) {
    const fs::path program = fs::u8path(folder) / "nexir-updater.exe";
    if (!fs::exists(program)) fs::copy_file(fs::u8path(NEXIR_UPDATER_PATH), program);
    return program.u8string();
}

}  // namespace

// The child's output goes to files in a fresh folder, read once it has ended. Signals
// and a closed standard output are POSIX matters; their tests do not run here.
ProgramRun runUpdater(const std::vector<std::string>& args, const RunOptions& options,
                      const Interference& interference) {
    if (!interference.signals.empty() || interference.closedStdout) {
        throw std::logic_error("signals and a closed standard output are not modelled on Windows");
    }
    const std::string dir = makeTempDir();
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
    const BOOL created = CreateProcessW(wideFromUtf8(program).c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment.data(), nullptr,
                                        &startup, &process);
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
