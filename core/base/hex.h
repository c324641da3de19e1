#pragma once

#include "core/base/bytes.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

enum class HexCase { Upper, Lower };

// Appends `byte` as exactly two hexadecimal digits.
inline void appendHex(std::string& text, std::uint8_t byte, HexCase letters)
{
    const char* digits = letters == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
    text += digits[byte >> 4];
    text += digits[byte & 0x0F];
}

// One byte as two upper-case hexadecimal digits.
inline std::string byteHex(std::uint8_t byte)
{
    std::string text;
    appendHex(text, byte, HexCase::Upper);
    return text;
}

// Two hexadecimal digits a byte, without separators.
inline std::string hexText(Bytes bytes, HexCase letters)
{
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const auto byte : bytes)
        appendHex(text, byte, letters);
    return text;
}

// Upper-case digits, a space between bytes: "80 30 00 00", as commands and
// answers are shown.
inline std::string spacedHex(Bytes bytes)
{
    std::string text;
    text.reserve(bytes.size() * 3);
    for (const auto byte : bytes) {
        if (!text.empty())
            text += ' ';
        appendHex(text, byte, HexCase::Upper);
    }
    return text;
}

enum class HexSpaces { Refused, Ignored };

// Hexadecimal digits, two a byte, in either case, into bytes; nothing for an
// odd count or anything else (white space, where `spaces` ignores it, may
// stand anywhere).
inline std::optional<std::vector<std::uint8_t>> bytesFromHex(std::string_view text,
                                                             HexSpaces spaces = HexSpaces::Refused)
{
    const auto value = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (const char c : text) {
        if (spaces == HexSpaces::Ignored && (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'))
            continue;
        const int digit = value(c);
        if (digit < 0)
            return std::nullopt;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0)
        return std::nullopt;
    return bytes;
}

} // namespace tolvane
