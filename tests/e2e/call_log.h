// Reading the bench's JSON-lines call log in end-to-end tests.
#pragma once

#include <map>
#include <string>
#include <vector>

// The log's lines without the empty polls of the receive queue, whose number depends
// on timing; every other call is kept, in order.
std::vector<std::string> significantCalls(const std::string& log);

// The same, reduced to the calls of one function.
std::vector<std::string> callsOf(const std::string& log, const std::string& function);

// Per device: successful opens minus closes. A run that closes every handle it
// opened exactly once gives all zeros.
std::map<int, int> openHandlesByDevice(const std::string& log);

// Texts the program wrote on UART channels, in order.
std::vector<std::string> uartCommands(const std::string& log);
