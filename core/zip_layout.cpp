#include "core/zip_layout.h"

#include "core/bytes.h"
#include "core/file_layer.h"

#include <algorithm>
#include <vector>

namespace tolvane::zip_layout {
namespace {

constexpr std::uint32_t endRecordSignature = 0x06054B50;
constexpr std::uint32_t zip64LocatorSignature = 0x07064B50;
constexpr std::uint32_t zip64EndRecordSignature = 0x06064B50;
constexpr std::uint32_t centralRecordSignature = 0x02014B50;
constexpr std::size_t endRecordSize = 22;
constexpr std::size_t centralRecordSize = 46;
constexpr std::size_t localHeaderSize = 30;
// A central directory of this size would list far more entries than any CAP
// file holds; it is not read for the check.
constexpr std::uint64_t largestDirectoryRead = 16u << 20;

std::optional<std::vector<std::uint8_t>> readAt(int fd, std::uint64_t offset, std::uint64_t count)
{
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count));
    if (files::readBytesAt(fd, bytes.data(), bytes.size(), offset) != static_cast<std::int64_t>(count))
        return std::nullopt;
    return bytes;
}

struct Directory {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

std::optional<Directory> locateDirectory(int fd, std::uint64_t fileSize)
{
    const auto end = findEndOfCentralDirectory(fd, fileSize);
    if (!end)
        return std::nullopt;
    const auto record = readAt(fd, *end, endRecordSize);
    if (!record)
        return std::nullopt;
    Directory directory{*readLe32(*record, 16), *readLe32(*record, 12)};
    if (directory.offset == 0xFFFFFFFF || directory.size == 0xFFFFFFFF || *readLe16(*record, 10) == 0xFFFF) {
        // The ZIP64 end record, found through its locator just before.
        if (*end < 20)
            return std::nullopt;
        const auto locator = readAt(fd, *end - 20, 20);
        if (!locator || readLe32(*locator, 0) != zip64LocatorSignature)
            return std::nullopt;
        const std::uint64_t recordOffset = *readLe64(*locator, 8);
        if (recordOffset > fileSize || fileSize - recordOffset < 56)
            return std::nullopt;
        const auto zip64 = readAt(fd, recordOffset, 56);
        if (!zip64 || readLe32(*zip64, 0) != zip64EndRecordSignature)
            return std::nullopt;
        directory = {*readLe64(*zip64, 48), *readLe64(*zip64, 40)};
    }
    if (directory.offset > fileSize || directory.size > fileSize - directory.offset ||
        directory.size > largestDirectoryRead)
        return std::nullopt;
    return directory;
}

// The values of a ZIP64 extra field that stand in for the 32-bit fields
// marked as too large, in their fixed order.
void applyZip64Extra(Bytes extra, std::uint64_t& compressedSize, std::uint64_t& localOffset, bool uncompressedMarked)
{
    for (std::size_t at = 0; at + 4 <= extra.size();) {
        const std::uint16_t id = *readLe16(extra, at);
        const std::uint16_t length = *readLe16(extra, at + 2);
        if (extra.size() - at - 4 < length)
            return;
        if (id == 0x0001) {
            const auto values = extra.subspan(at + 4, length);
            std::size_t next = uncompressedMarked ? 8 : 0;
            if (compressedSize == 0xFFFFFFFF) {
                if (const auto value = readLe64(values, next))
                    compressedSize = *value;
                next += 8;
            }
            if (localOffset == 0xFFFFFFFF) {
                if (const auto value = readLe64(values, next))
                    localOffset = *value;
            }
            return;
        }
        at += 4 + std::size_t{length};
    }
}

std::optional<std::vector<CentralEntry>> readEntries(Bytes directory)
{
    std::vector<CentralEntry> entries;
    for (std::size_t at = 0; at + centralRecordSize <= directory.size();) {
        const auto record = directory.subspan(at);
        if (readLe32(record, 0) != centralRecordSignature)
            break;
        std::uint64_t compressedSize = *readLe32(record, 20);
        const bool uncompressedMarked = *readLe32(record, 24) == 0xFFFFFFFF;
        const std::uint16_t nameLength = *readLe16(record, 28);
        const std::uint16_t extraLength = *readLe16(record, 30);
        const std::uint16_t commentLength = *readLe16(record, 32);
        std::uint64_t localOffset = *readLe32(record, 42);
        const std::size_t recordLength = centralRecordSize + nameLength + extraLength + commentLength;
        if (record.size() < recordLength)
            return std::nullopt;
        applyZip64Extra(record.subspan(centralRecordSize + nameLength, extraLength), compressedSize, localOffset,
                        uncompressedMarked);
        const auto name = record.subspan(centralRecordSize, nameLength);
        entries.push_back({std::string(name.begin(), name.end()), localOffset, compressedSize});
        at += recordLength;
    }
    return entries;
}

} // namespace

std::optional<std::uint64_t> findEndOfCentralDirectory(int fd, std::uint64_t fileSize)
{
    const std::uint64_t tailSize = std::min<std::uint64_t>(fileSize, endRecordSize + 0xFFFF);
    if (tailSize < endRecordSize)
        return std::nullopt;
    const auto tail = readAt(fd, fileSize - tailSize, tailSize);
    if (!tail)
        return std::nullopt;
    for (std::size_t i = static_cast<std::size_t>(tailSize - endRecordSize) + 1; i-- > 0;) {
        if (readLe32(*tail, i) == endRecordSignature)
            return fileSize - tailSize + i;
    }
    return std::nullopt;
}

std::optional<std::vector<CentralEntry>> readCentralDirectory(int fd, std::uint64_t fileSize)
{
    const auto directory = locateDirectory(fd, fileSize);
    if (!directory)
        return std::nullopt;
    const auto bytes = readAt(fd, directory->offset, directory->size);
    if (!bytes)
        return std::nullopt;
    return readEntries(*bytes);
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

std::optional<std::uint64_t> dataOffset(int fd, std::uint64_t fileSize, const CentralEntry& entry)
{
    if (entry.localOffset > fileSize || fileSize - entry.localOffset < localHeaderSize)
        return std::nullopt;
    const auto header = readAt(fd, entry.localOffset, localHeaderSize);
    if (!header || readLe32(*header, 0) != 0x04034B50u)
        return std::nullopt;
    const std::uint64_t start = entry.localOffset + localHeaderSize + *readLe16(*header, 26) + *readLe16(*header, 28);
    if (start > fileSize || fileSize - start < entry.compressedSize)
        return std::nullopt;
    return start;
}

} // namespace tolvane::zip_layout
