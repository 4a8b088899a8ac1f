// The one place that asks the platform about the console.
#include "update/console.h"

#ifdef _WIN32
#include <windows.h>

std::size_t consoleColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    // Fails when standard output is redirected, which is what "not a terminal" means here.
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
    return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
}
#else
#include <sys/ioctl.h>
#include <unistd.h>

std::size_t consoleColumns() {
    winsize size{};
    if (!isatty(STDOUT_FILENO) || ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}
#endif
