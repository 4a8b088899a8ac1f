// What the program needs to know about the console it draws on.
#pragma once

#include <cstddef>

// The width in columns of the terminal that standard output shows on; 0 when standard
// output is not a terminal (a file, a pipe) or its width is unknown.
std::size_t consoleColumns();
