// Profile (INI) files in memory: reading and editing the bytes of a file the
// way the Windows profile service does. Pure functions: no files, no globals.
//
// The format, as read here:
// - a line whose first non-blank character is '[' and that holds a ']' starts
//   a section; the name is what lies between the '[' and the last ']';
// - any other line holding '=' is a key: the name before the first '=', the
//   value after it (there are no end-of-line comments);
// - every other line is kept but means nothing;
// - section and key names compare without regard to ASCII case; blanks around
//   names and values do not count; of two equal keys in a section the first
//   wins, and of two equal sections the first is the one that is used;
// - lines end with CR LF, LF or CR; a UTF-8 byte-order mark is skipped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qz::ini {

// The value of key in section (blanks around it dropped, quotes kept). False
// when the section or the key is not there.
bool Find(std::string_view text, std::string_view section, std::string_view key, std::string_view* value);

// GetPrivateProfileString on the bytes of a file (fileFound false: there is no
// file, text is ignored). The value, stripped of one pair of matching quotes,
// cut to size-1 bytes and NUL-terminated; the default (its trailing spaces
// dropped; null counts as "") when the key, the section or the file is
// missing. A null key lists the section's key names, a null section lists the
// section names: each name NUL-terminated, the list ended by a second NUL; a
// list that does not fit is cut and the result is size-2. Returns the number
// of bytes copied, not counting the final NUL.
uint32_t GetString(std::string_view text, bool fileFound, const char* section, const char* key,
                   const char* defaultValue, char* buf, uint32_t size);

// GetPrivateProfileInt: an optional sign and the leading decimal digits of the
// value (at most its first 29 bytes); what follows is ignored, so a value
// that does not begin with a number is 0. The default when the key is missing
// or its value is empty.
int32_t GetInt(std::string_view text, bool fileFound, const char* section, const char* key, int32_t defaultValue);

// WritePrivateProfileString on the bytes of a file: *out receives the new
// bytes. Sets key to value (leading blanks of value dropped) in section,
// adding the key at the end of the section, or the section at the end of the
// text, when missing; a null value removes the key, a null key removes the
// section. The line of the key becomes name=value; every other line keeps its
// bytes, and new lines end with CR LF. False when the request is refused: a
// null section, a line break in any argument, or a key name that is empty,
// holds '=' or begins with '['.
bool Write(std::string_view text, const char* section, const char* key, const char* value, std::string* out);

}  // namespace qz::ini
