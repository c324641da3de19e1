#include "core/zip/layout.h"

#include "core/zip/format.h"

#include <algorithm>
#include <vector>

namespace tolvane::zip {
namespace {

// A central directory of this size would list far more entries than any CAP
// file holds; it is not read for the check.
constexpr std::uint64_t largestDirectoryRead = 16u << 20;

template <typename Record, typename Read>
std::optional<Record> readRecordAt(Bytes file, std::uint64_t offset, std::size_t size, Read read)
{
    if (offset > file.size() || file.size() - offset < size)
        return std::nullopt;
    ByteCursor cursor(file.subspan(static_cast<std::size_t>(offset), size), offset);
    return read(cursor);
}

std::optional<DirectoryExtent> locateDirectory(Bytes file)
{
    const auto end = findEndOfCentralDirectory(file);
    if (!end)
        return std::nullopt;
    const auto record = readRecordAt<EndRecord>(file, *end, endRecordSize, readEndRecord);
    if (!record)
        return std::nullopt;
    DirectoryExtent directory = record->directory;
    if (record->marksZip64) {
        if (*end < zip64LocatorSize)
            return std::nullopt;
        const auto zip64Offset =
            readRecordAt<std::uint64_t>(file, *end - zip64LocatorSize, zip64LocatorSize, readZip64Locator);
        if (!zip64Offset)
            return std::nullopt;
        const auto zip64 = readRecordAt<DirectoryExtent>(file, *zip64Offset, zip64EndRecordSize, readZip64EndRecord);
        if (!zip64)
            return std::nullopt;
        directory = *zip64;
    }
    if (directory.offset > file.size() || directory.size > file.size() - directory.offset ||
        directory.size > largestDirectoryRead)
        return std::nullopt;
    return directory;
}

} // namespace

std::optional<std::uint64_t> findEndOfCentralDirectory(Bytes file)
{
    const std::size_t tailSize = std::min<std::size_t>(file.size(), endRecordSize + 0xFFFF);
    if (tailSize < endRecordSize)
        return std::nullopt;
    const std::size_t tailStart = file.size() - tailSize;
    for (std::size_t i = file.size() - endRecordSize + 1; i-- > tailStart;) {
        if (signatureAt(file, i, endRecordSignature))
            return i;
    }
    return std::nullopt;
}

std::optional<std::vector<CentralEntry>> readCentralDirectory(Bytes file)
{
    const auto directory = locateDirectory(file);
    if (!directory)
        return std::nullopt;

    std::vector<CentralEntry> entries;
    ByteCursor cursor(
        file.subspan(static_cast<std::size_t>(directory->offset), static_cast<std::size_t>(directory->size)),
        directory->offset);
    try {
        while (cursor.remaining() >= centralRecordSize) {
            const auto record = readCentralRecord(cursor);
            if (!record)
                break;
            entries.push_back(
                {std::string(record->name.begin(), record->name.end()), record->localOffset, record->compressedSize});
        }
    } catch (const ByteCursor::ShortRead&) {
        return std::nullopt;
    }
    return entries;
}

std::optional<std::pair<std::string, std::string>> findOverlap(const std::vector<CentralEntry>& entries)
{
    struct Extent {
        std::uint64_t start;
        std::uint64_t end;
        const std::string* name;
    };
    // Sums of three values below 2^62 each cannot wrap.
    constexpr std::uint64_t cap = std::uint64_t{1} << 62;
    std::vector<Extent> extents;
    for (const auto& entry : entries)
        extents.push_back({entry.localOffset,
                           std::min(entry.localOffset, cap) + localHeaderSize + entry.name.size() +
                               std::min(entry.compressedSize, cap),
                           &entry.name});
    std::stable_sort(extents.begin(), extents.end(),
                     [](const Extent& a, const Extent& b) { return a.start < b.start; });
    for (std::size_t i = 1; i < extents.size(); ++i) {
        if (extents[i - 1].end > extents[i].start)
            return std::make_pair(*extents[i - 1].name, *extents[i].name);
    }
    return std::nullopt;
}

} // namespace tolvane::zip
