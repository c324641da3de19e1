#pragma once

#include "core/base/bytes.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane {

// A CAP component is a tag byte, a big-endian 16-bit size and `size` bytes of
// content; its length counts all three.
constexpr std::uint8_t headerTag = 1;
constexpr std::uint32_t largestComponentLength = 0xFFFF + 3;

// Byte 1 * 256 + byte 2 + 3, missing bytes reading as 0: from 3 to 65,538.
std::uint32_t componentLength(Bytes component);

// The Header component fields that the report shows.
struct HeaderFields {
    unsigned major = 0; // byte 8
    unsigned minor = 0; // byte 7
    std::string aid;    // AID bytes as upper-case hex pairs
    std::string packageName;
};

// Reads the fields at their fixed positions; a byte beyond `header` reads as 0.
HeaderFields readHeaderFields(Bytes header);

// An entry name less everything up to and including its last '/' or '\'.
std::string_view entryBaseName(std::string_view entryName);

} // namespace tolvane
