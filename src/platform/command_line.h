#pragma once

#include <string>
#include <vector>

namespace nexir {

// The program's arguments as UTF-8 text, argv[0] first. On Linux they are `argv` as
// given. On Windows they come from the wide command line, since the narrow `argv` is in
// the ANSI code page and loses every character outside it (an image in "Größe/固件.bin").
std::vector<std::string> utf8Arguments(int argc, char** argv);

}  // namespace nexir
