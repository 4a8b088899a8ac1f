// Text between the program's UTF-8 and the UTF-16 of the wide Windows API. The program
// never goes through the ANSI code page, which cannot hold every file name.
#pragma once

#include <string>

#if defined(_WIN32)
namespace nexir {

std::string utf8FromWide(const std::wstring& text);
std::wstring wideFromUtf8(const std::string& text);

}  // namespace nexir
#endif
