#pragma once

#include "core/bytes.h"

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

// The lines of the conversion report, in their fixed wordings.
namespace report {
std::string fileLine(std::string_view capPath);
std::string sizeLine(std::uint64_t bytes);
std::string formatErrorLine();
std::string versionLine(unsigned major, unsigned minor);
std::string aidLine(std::string_view aid);
std::string packageNameLine(std::string_view name);
std::string componentsHeading();
std::string ruleLine();
std::string componentLine(unsigned tag, std::string_view baseName, std::uint64_t bytes);
std::string totalLine(std::uint64_t bytes);
std::string emptyLine();
std::string closingLine();
} // namespace report

} // namespace tolvane
