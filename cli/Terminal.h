#pragma once

#include <optional>
#include <string>

// What tarvoctl needs of the terminal.
namespace tarvo::cli {

// A line from the terminal with echo off, or from standard input when it
// isn't a terminal; nothing at end of input. The caller wipes it.
std::optional<std::string> readSecretLine(const char* prompt);
bool isTerminal(int fd);

} // namespace tarvo::cli
