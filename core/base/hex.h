#pragma once

#include "core/base/bytes.h"

#include <string>

namespace tolvane {

enum class HexCase { Upper, Lower };

// Appends `byte` as exactly two hexadecimal digits.
inline void appendHex(std::string& text, std::uint8_t byte, HexCase letters)
{
    const char* digits = letters == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
    text += digits[byte >> 4];
    text += digits[byte & 0x0F];
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

} // namespace tolvane
