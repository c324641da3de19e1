#include "core/cap/component.h"

#include "core/base/hex.h"

namespace tolvane {

std::uint32_t componentLength(Bytes component)
{
    return byteOrZero(component, 1) * 256u + byteOrZero(component, 2) + 3u;
}

HeaderFields readHeaderFields(Bytes header)
{
    HeaderFields fields;
    fields.major = byteOrZero(header, 8);
    fields.minor = byteOrZero(header, 7);

    const std::size_t aidLength = byteOrZero(header, 12);
    for (std::size_t i = 0; i < aidLength; ++i) {
        const auto byte = byteOrZero(header, 13 + i);
        appendHex(fields.aid, byte, HexCase::Upper);
    }

    const std::size_t nameLength = byteOrZero(header, 13 + aidLength);
    for (std::size_t i = 0; i < nameLength; ++i) {
        // A zero byte, which is also what a byte beyond the component reads
        // as, cannot stand in a line of text and adds nothing to the name.
        if (const auto byte = byteOrZero(header, 14 + aidLength + i); byte != 0)
            fields.packageName += static_cast<char>(byte);
    }
    return fields;
}

std::string_view entryBaseName(std::string_view entryName)
{
    const auto separator = entryName.find_last_of("/\\");
    return separator == std::string_view::npos ? entryName : entryName.substr(separator + 1);
}

} // namespace tolvane
