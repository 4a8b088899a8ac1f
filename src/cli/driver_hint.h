// The line that follows the missing-library error: where the installed documentation
// says how to install FTDI's D2XX driver, which no package of ours can bring.
#pragma once

#include <string>

std::string driverInstallHint();
