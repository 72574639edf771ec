// Pieces of the configuration loader and of the configuration API shared between the files of
// config/ and reached by its tests.
#ifndef TESSEL_CONFIG_CONFIG_INTERNAL_HPP_
#define TESSEL_CONFIG_CONFIG_INTERNAL_HPP_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_record.hpp"
#include "config/ini_reader.hpp"
#include "core/status.hpp"

namespace tessel::config {

// Function name carried by the loader's log lines.
inline constexpr const char* kLoaderName = "load_configuration";

// ---- Value conversions of the file readers ----

// Decimal digits only; a value converting to 0 must be the single digit "0". With
// `allow_minus_one` the exact text "-1" is accepted as well.
std::optional<int32_t> parse_int_value(std::string_view text, bool allow_minus_one);
// Decimal digits only, unsigned 32-bit.
std::optional<uint32_t> parse_long_value(std::string_view text);
// TRUE/ON/YES (any case) or "1"; FALSE/OFF/NO (any case) or "0".
std::optional<bool> parse_bool_value(std::string_view text);
// "<none>", "none", "na" and "n/a" in any case stand for the empty text.
bool is_none_word(std::string_view text);
// Words MEMORY, FILE, SCREEN, OFF (any case) separated by blanks, commas or tabs; unknown words
// are ignored; nothing when no word is recognised.
std::optional<int32_t> parse_destinations(std::string_view text);

// ---- Paths ----

// Expands "$(NAME)", "%NAME%" and the configuration directory macro CV3INIDIR; nothing, after
// the error or warning line is logged, when the expansion fails. Results hold at most
// kMaxPath characters.
std::optional<std::string> expand_variables(const std::string& value);
// Whether a value asks for expansion.
bool needs_expansion(std::string_view value);

// Sets the configuration directory from the path of the initialisation file: absolute, ending in
// a separator.
void set_configuration_directory(const std::string& ini_path);

// The initialisation file to open: the stored path (expanded), else TESSEL_INI, else
// "tessel.ini" along PATH. Nothing when the stored path cannot be expanded (logged).
std::optional<std::string> locate_ini_file();

// ---- File rules ----

// Applies one key line of [Corvane3]; other keys are ignored (an unknown "..._MESSAGE" key is
// reported as an unknown log parameter).
void apply_ini_key(CV_CONFIG_RECORD& record, const std::string& key, const std::string& value);
// Applies one key line of a system-profile section; false when the section is not one of the
// six (the line is skipped silently). An unknown key of the six sections is reported.
bool apply_profile_key(CV_CONFIG_RECORD& record, const std::string& section, const std::string& key,
                       const std::string& value);

// Reads every [Corvane3] section of an open initialisation file; false on a format or read
// error (logged).
bool read_ini_file(CV_CONFIG_RECORD& record, IniReader& reader);
// Reads the six sections of an open system profile; false on a format or read error.
bool read_system_profile(CV_CONFIG_RECORD& record, IniReader& reader);

// LARGE_DATA_STORE and DICTIONARY_ACCESS take M or F by their first character (else M, with two
// warnings); NULL_TYPE3_VALIDATION takes I or W and otherwise E. Shared by file and API.
void apply_char_value(CV_CONFIG_RECORD& record, int32_t parm, const std::string& value,
                      const char* function);

// ---- API rules: each applies the key's rule to the record ----
// `function` names the exported caller in log lines.

Status set_int_value(CV_CONFIG_RECORD& record, int32_t parm, int32_t value, const char* function);
Status set_long_value(CV_CONFIG_RECORD& record, int32_t parm, int32_t value, const char* function);
Status set_bool_value(CV_CONFIG_RECORD& record, int32_t parm, int32_t value);
Status set_string_value(CV_CONFIG_RECORD& record, int32_t parm, std::string_view value,
                        const char* function);
Status set_log_destination(CV_CONFIG_RECORD& record, int32_t level, int32_t destinations);

// The text CV_Get_String_Config_Value returns: the string, or the word of a character-coded key.
std::string string_value(const CV_CONFIG_RECORD& record, int32_t parm);

// ---- Dump ----

// The lines of the configuration dump of the initialisation file and the system profile.
std::vector<std::string> dump_lines(const CV_CONFIG_RECORD& record);
// "Off", "File", "Mem", "Screen" joined by ", ".
std::string destination_words(int32_t destinations);

}  // namespace tessel::config

#endif  // TESSEL_CONFIG_CONFIG_INTERNAL_HPP_
