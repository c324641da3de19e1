#include "core/base/byte_cursor.h"

namespace tolvane {

ByteCursor::ShortRead::ShortRead(const char* field, std::uint64_t offset, std::uint64_t wanted, std::uint64_t available)
    : offset_(offset), text_(std::string(field) + " needs " + std::to_string(wanted) + " bytes at offset " +
                             std::to_string(offset) + ", where " + std::to_string(available) + " remain")
{
}

Bytes ByteCursor::take(std::uint64_t count, const char* field)
{
    if (count > remaining())
        throw ShortRead(field, fileOffset(), count, remaining());
    const Bytes taken = bytes_.subspan(position_, static_cast<std::size_t>(count));
    position_ += static_cast<std::size_t>(count);
    return taken;
}

std::uint8_t ByteCursor::u8(const char* field)
{
    return take(1, field)[0];
}

std::uint16_t ByteCursor::le16(const char* field)
{
    const Bytes b = take(2, field);
    return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}

std::uint32_t ByteCursor::le32(const char* field)
{
    const Bytes b = take(4, field);
    return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
}

std::uint64_t ByteCursor::le64(const char* field)
{
    const Bytes b = take(8, field);
    std::uint64_t value = 0;
    for (std::size_t i = 8; i-- > 0;)
        value = value << 8 | b[i];
    return value;
}

std::uint16_t ByteCursor::be16(const char* field)
{
    const Bytes b = take(2, field);
    return static_cast<std::uint16_t>(b[0] << 8 | b[1]);
}

std::uint32_t ByteCursor::be32(const char* field)
{
    const Bytes b = take(4, field);
    return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | std::uint32_t{b[3]};
}

} // namespace tolvane
