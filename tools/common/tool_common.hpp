// Shared pieces of the command-line tools: finding the shipped configuration and starting the
// library. Only the public C interface is used.
#ifndef TESSEL_TOOLS_COMMON_TOOL_COMMON_HPP_
#define TESSEL_TOOLS_COMMON_TOOL_COMMON_HPP_

#include <cstdint>
#include <string>

namespace tessel_tools {

// The initialisation file to use: `explicit_path` when given, else TESSEL_INI, else the shipped
// one beside the installed or built program. Empty when none is found.
std::string find_ini(const std::string& explicit_path);

// Code of a native transfer syntax from its symbolic name (IMPLICIT_LITTLE_ENDIAN,
// EXPLICIT_LITTLE_ENDIAN, EXPLICIT_BIG_ENDIAN, DEFLATED_EXPLICIT_LITTLE_ENDIAN); -1 otherwise.
int32_t native_syntax_code(const std::string& name);
// Whether a transfer syntax code is one of those four: a data set moves between them without a
// codec.
bool is_native_syntax(int32_t code);
// The first value of a text attribute without its padding; empty when it has none.
std::string text_value(int32_t id, uint32_t tag);
// A TCP port 1..65535 written in decimal.
bool parse_port(const std::string& text, int32_t* port);
// An application entity title of 1 to 16 characters.
bool valid_title(const std::string& title);

// Stores the initialisation file and initialises the library; prints a line to stderr and
// returns false on failure (the library is released again).
bool start_library(const std::string& ini_path, const char* program);

}  // namespace tessel_tools

#endif  // TESSEL_TOOLS_COMMON_TOOL_COMMON_HPP_
