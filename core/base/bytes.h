#pragma once

#include <cstddef>
#include <cstdint>
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

} // namespace tolvane
