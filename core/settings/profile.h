#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Private profile (INI) files, with the semantics the window settings rely on:
// section and key names compared without regard to letter case; a write
// replaces the key's value in place, or adds the key at the end of its
// section, or the section at the end of the file, keeping every other line;
// values are written as they stand (quoted where blanks end them). Reading a
// missing file, section or key gives the default. Each write replaces the
// whole file atomically; files of any size are read and written a piece at a
// time.
namespace tolvane::profile {

// The longest value a read gives, as a reader with a 2048-character buffer sees it.
constexpr std::size_t maxValueLength = 2047;

std::string readString(std::string_view section, std::string_view key, std::string_view defaultValue,
                       const std::string& path);

// The value of `key` in the profile text `content`, or nothing.
std::optional<std::string> findValue(std::string_view content, std::string_view section, std::string_view key);

// The profile text `content` with `key` set to `value`.
std::string withValue(std::string_view content, std::string_view section, std::string_view key, std::string_view value);

// False when the file cannot be written; it is then left as it was.
bool writeString(std::string_view section, std::string_view key, std::string_view value, const std::string& path);

struct Value {
    std::string key;
    std::string value;
};

// Writes all `values` in one step, under a lock that two writers of the same
// folder's settings take in turn, so that their values never mix. A value
// with blanks at either end is written in double quotes, which reading takes
// off, so that it reads back as written. A symbolic link is written through
// to its target; a file without write permission is never replaced; in a
// folder that takes no new file, a writable file is written in place.
bool writeStrings(std::string_view section, const std::vector<Value>& values, const std::string& path);

// A 32-bit integer from text: blanks first, then a sign, then decimal digits
// or hexadecimal ones after "$", "x", "X", "0x" or "0X"; eight hexadecimal
// digits are the integer's bit pattern. Nothing else may follow.
std::optional<std::int32_t> parseInteger(std::string_view text);

// Reads `key` as an integer, or gives the default when it is missing or no
// integer. A leading "0x" is taken as "$" first, as long as more follows it.
std::int32_t readInteger(std::string_view section, std::string_view key, std::int32_t defaultValue,
                         const std::string& path);

} // namespace tolvane::profile
