// What the recorder needs of the process and the platform, with paths and texts in
// UTF-8 on both platforms.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace recorder {
// The variable's value; empty when it is not set.
std::string environment(const char* name);
// The process's arguments, the program's name first.
std::vector<std::string> commandLine();
std::string currentFolder();
long processId();
// "linux-x86_64", "windows-x86_64", ...
const char* platformName();
// Creates or empties the file for writing; null with errno's text in `reason`.
std::FILE* createFile(const std::string& path, std::string& reason);
// The calendar time `when` as local time or UTC, in strftime's `format`.
std::string formatTime(std::time_t when, const char* format, bool utc);

#if defined(_WIN32)
std::string utf8FromWide(const std::wstring& text);
std::wstring wideFromUtf8(const std::string& text);
#endif

}  // namespace recorder
