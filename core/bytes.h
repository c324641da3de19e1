#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tolvane {

using Bytes = std::span<const std::uint8_t>;

// A byte at `index`, or 0 where `bytes` ends before it: a component's fields
// are read at fixed positions whatever its length, and a byte the component
// does not have reads as 0, never as whatever memory lies beyond.
inline std::uint8_t byteOrZero(Bytes bytes, std::size_t index)
{
    return index < bytes.size() ? bytes[index] : 0;
}

// Little-endian fields at fixed offsets, read only where they lie wholly
// within `bytes`; nothing is read outside them.
inline std::optional<std::uint16_t> readLe16(Bytes bytes, std::size_t offset)
{
    if (offset > bytes.size() || bytes.size() - offset < 2)
        return std::nullopt;
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

inline std::optional<std::uint32_t> readLe32(Bytes bytes, std::size_t offset)
{
    if (offset > bytes.size() || bytes.size() - offset < 4)
        return std::nullopt;
    return static_cast<std::uint32_t>(bytes[offset]) | static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[offset + 2]) << 16 | static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

inline std::optional<std::uint64_t> readLe64(Bytes bytes, std::size_t offset)
{
    const auto low = readLe32(bytes, offset);
    const auto high = offset <= SIZE_MAX - 4 ? readLe32(bytes, offset + 4) : std::nullopt;
    if (!low || !high)
        return std::nullopt;
    return std::uint64_t{*high} << 32 | *low;
}

} // namespace tolvane
