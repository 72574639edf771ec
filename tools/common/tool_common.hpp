// Shared pieces of the command-line tools: finding the shipped configuration and starting the
// library. Only the public C interface is used.
#ifndef TESSEL_TOOLS_COMMON_TOOL_COMMON_HPP_
#define TESSEL_TOOLS_COMMON_TOOL_COMMON_HPP_

#include <string>

namespace tessel_tools {

// The initialisation file to use: `explicit_path` when given, else TESSEL_INI, else the shipped
// one beside the installed or built program. Empty when none is found.
std::string find_ini(const std::string& explicit_path);

// Stores the initialisation file and initialises the library; prints a line to stderr and
// returns false on failure (the library is released again).
bool start_library(const std::string& ini_path, const char* program);

}  // namespace tessel_tools

#endif  // TESSEL_TOOLS_COMMON_TOOL_COMMON_HPP_
