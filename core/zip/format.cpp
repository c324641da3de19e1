#include "core/zip/format.h"

namespace tolvane::zip {
namespace {

constexpr std::uint16_t zip64ExtraId = 0x0001;

bool expectSignature(ByteCursor& cursor, std::uint32_t signature)
{
    if (cursor.remaining() < 4)
        return false;
    ByteCursor probe = cursor;
    if (probe.le32("signature") != signature)
        return false;
    cursor = probe;
    return true;
}

// The ZIP64 extra field holds, in this order, the values whose 32-bit fields
// carry the marker; a value it lacks leaves the field as it was.
void applyZip64Extra(Bytes extra, CentralRecord& record, bool uncompressedMarked, bool compressedMarked,
                     bool offsetMarked)
{
    ByteCursor fields(extra);
    while (fields.remaining() >= 4) {
        const std::uint16_t id = fields.le16("extra field id");
        const std::uint16_t length = fields.le16("extra field length");
        if (length > fields.remaining())
            return;
        const Bytes data = fields.take(length, "extra field");
        if (id != zip64ExtraId)
            continue;
        ByteCursor values(data);
        const auto next = [&values](std::uint64_t& field) {
            if (values.remaining() >= 8)
                field = values.le64("ZIP64 value");
        };
        if (uncompressedMarked)
            next(record.uncompressedSize);
        if (compressedMarked)
            next(record.compressedSize);
        if (offsetMarked)
            next(record.localOffset);
        return;
    }
}

} // namespace

bool signatureAt(Bytes bytes, std::uint64_t offset, std::uint32_t signature)
{
    if (offset > bytes.size())
        return false;
    ByteCursor cursor(bytes.subspan(static_cast<std::size_t>(offset)));
    return expectSignature(cursor, signature);
}

std::optional<LocalHeader> readLocalHeader(ByteCursor& cursor)
{
    if (!expectSignature(cursor, localHeaderSignature))
        return std::nullopt;
    LocalHeader header;
    cursor.skip(2, "local header version");
    header.flags = cursor.le16("local header flags");
    header.method = cursor.le16("local header method");
    cursor.skip(4, "local header time");
    header.crc = cursor.le32("local header CRC-32");
    header.compressedSize = cursor.le32("local header compressed size");
    header.uncompressedSize = cursor.le32("local header size");
    const std::uint16_t nameLength = cursor.le16("local header name length");
    const std::uint16_t extraLength = cursor.le16("local header extra length");
    header.name = cursor.take(nameLength, "local header name");
    header.extra = cursor.take(extraLength, "local header extra field");
    return header;
}

std::optional<CentralRecord> readCentralRecord(ByteCursor& cursor)
{
    if (!expectSignature(cursor, centralRecordSignature))
        return std::nullopt;
    CentralRecord record;
    cursor.skip(6, "central record versions and flags");
    record.method = cursor.le16("central record method");
    cursor.skip(4, "central record time");
    record.crc = cursor.le32("central record CRC-32");
    const std::uint32_t compressed = cursor.le32("central record compressed size");
    const std::uint32_t uncompressed = cursor.le32("central record size");
    const std::uint16_t nameLength = cursor.le16("central record name length");
    const std::uint16_t extraLength = cursor.le16("central record extra length");
    const std::uint16_t commentLength = cursor.le16("central record comment length");
    cursor.skip(8, "central record disk and attributes");
    const std::uint32_t offset = cursor.le32("central record local header offset");
    record.name = cursor.take(nameLength, "central record name");
    const Bytes extra = cursor.take(extraLength, "central record extra field");
    cursor.skip(commentLength, "central record comment");

    record.compressedSize = compressed;
    record.uncompressedSize = uncompressed;
    record.localOffset = offset;
    applyZip64Extra(extra, record, uncompressed == zip64Marker32, compressed == zip64Marker32, offset == zip64Marker32);
    return record;
}

std::optional<EndRecord> readEndRecord(ByteCursor& cursor)
{
    if (!expectSignature(cursor, endRecordSignature))
        return std::nullopt;
    EndRecord record;
    cursor.skip(4, "end record disk numbers");
    cursor.skip(2, "end record entries on this disk");
    const std::uint16_t entries = cursor.le16("end record entries");
    const std::uint32_t size = cursor.le32("end record directory size");
    const std::uint32_t offset = cursor.le32("end record directory offset");
    record.commentLength = cursor.le16("end record comment length");
    record.directory = {entries, size, offset};
    record.marksZip64 = entries == zip64Marker16 || size == zip64Marker32 || offset == zip64Marker32;
    return record;
}

std::optional<std::uint64_t> readZip64Locator(ByteCursor& cursor)
{
    if (!expectSignature(cursor, zip64LocatorSignature))
        return std::nullopt;
    cursor.skip(4, "ZIP64 locator disk");
    const std::uint64_t offset = cursor.le64("ZIP64 locator end record offset");
    cursor.skip(4, "ZIP64 locator disk count");
    return offset;
}

std::optional<DirectoryExtent> readZip64EndRecord(ByteCursor& cursor)
{
    if (!expectSignature(cursor, zip64EndRecordSignature))
        return std::nullopt;
    cursor.skip(8 + 2 + 2 + 4 + 4, "ZIP64 end record sizes, versions and disks");
    cursor.skip(8, "ZIP64 end record entries on this disk");
    DirectoryExtent extent;
    extent.entries = cursor.le64("ZIP64 end record entries");
    extent.size = cursor.le64("ZIP64 end record directory size");
    extent.offset = cursor.le64("ZIP64 end record directory offset");
    return extent;
}

} // namespace tolvane::zip
