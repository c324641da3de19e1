#include "core/report/report_sink.h"

#include "core/base/hex.h"

#include <cstdint>

namespace tolvane {

namespace {

// The length of the well-formed UTF-8 sequence at `at` that encodes no
// control character, or 0: a C1 control (U+0080 to U+009F) is as much a
// terminal command as ESC is, and a stray byte may be one to a terminal
// that reads Latin-1.
std::size_t printableSequence(std::string_view text, std::size_t at)
{
    const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byteAt(at);
    const std::size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || at + length > text.size())
        return 0;
    std::uint32_t point = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byteAt(at + i) & 0xC0) != 0x80)
            return 0;
        point = (point << 6) | (byteAt(at + i) & 0x3F);
    }
    const std::uint32_t least = length == 2 ? 0xA0 : length == 3 ? 0x800 : 0x10000;
    if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

std::string withControlsEscaped(std::string_view text)
{
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        const std::size_t length = byte < 0x80 ? (byte < 0x20 || byte == 0x7F ? 0 : 1) : printableSequence(text, at);
        if (length == 0) {
            shown += "\\x";
            appendHex(shown, byte, HexCase::Upper);
            ++at;
        } else {
            shown.append(text.substr(at, length));
            at += length;
        }
    }
    return shown;
}

std::string LineHolder::text() const
{
    std::string result;
    for (const auto& line : lines_) {
        result += line;
        result += '\n';
    }
    return result;
}

} // namespace tolvane
