// The project's own reading of ZIP records, and what it may and may not
// decide: it refuses archives, but the bytes of an entry are always the ones
// the ZIP library locates.

#include "conversion_fixture.h"
#include "core/base/byte_cursor.h"
#include "core/base/paths.h"
#include "core/cap/component.h"
#include "core/convert/archive_converter.h"
#include "core/zip/archive.h"
#include "core/zip/format.h"
#include "core/zip/layout.h"

#include <functional>
#include <gtest/gtest.h>
#include <zip.h>

namespace tolvane {
namespace {

using namespace testing;

void putLe(ByteVector& out, std::uint64_t value, std::size_t bytes)
{
    for (std::size_t k = 0; k < bytes; ++k)
        out.push_back(k < 8 ? static_cast<std::uint8_t>(value >> (8 * k)) : 0);
}

TEST(ByteCursor, ReadsThatWouldPassTheEndSayWhatAndWhere)
{
    const ByteVector bytes{1, 2, 3, 4, 5, 6};
    const struct {
        const char* name;
        std::function<void(ByteCursor&)> read;
        std::uint64_t failsAt; // 0: the read succeeds
    } cases[] = {
        {"everything", [](ByteCursor& c) { c.take(6, "all"); }, 0},
        {"one byte past", [](ByteCursor& c) { c.take(7, "field"); }, 100},
        {"le32 across the end", [](ByteCursor& c) { c.skip(3, "x"), c.le32("field"); }, 103},
        {"le64 of six bytes", [](ByteCursor& c) { c.le64("field"); }, 100},
        {"a count that would wrap", [](ByteCursor& c) { c.skip(2, "x"), c.take(~std::uint64_t{0}, "field"); }, 102},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ByteCursor cursor(bytes, 100);
        if (c.failsAt == 0) {
            EXPECT_NO_THROW(c.read(cursor));
            continue;
        }
        try {
            c.read(cursor);
            ADD_FAILURE() << "read past the end";
        } catch (const ByteCursor::ShortRead& error) {
            EXPECT_EQ(error.offset(), c.failsAt);
            EXPECT_NE(std::string(error.what()).find("field"), std::string::npos);
        }
    }
    ByteCursor cursor(bytes);
    EXPECT_EQ(cursor.le16("a"), 0x0201);
    EXPECT_EQ(cursor.be16("b"), 0x0304);
    EXPECT_EQ(cursor.be16("c"), 0x0506);
    EXPECT_TRUE(cursor.atEnd());
}

TEST(OverlapCheck, ExtentsCoverHeaderNameAndData)
{
    // Each entry covers its 30-byte local header, its name and its data.
    const struct {
        const char* name;
        std::vector<zip::CentralEntry> entries;
        bool overlaps;
    } cases[] = {
        {"back to back", {{"a", 0, 10}, {"b", 30 + 1 + 10, 5}}, false},
        {"one byte into the next", {{"a", 0, 11}, {"b", 30 + 1 + 10, 5}}, true},
        {"listed out of order", {{"b", 41, 5}, {"a", 0, 11}}, true},
        {"one inside another", {{"a", 0, 1000}, {"b", 100, 1}}, true},
        {"a name longer than the gap", {{"abc", 0, 0}, {"b", 32, 0}}, true},
        {"sizes near the top of 64 bits do not wrap", {{"a", 10, ~std::uint64_t{0} - 5}, {"b", 1000, 1}}, true},
        {"one entry", {{"a", 0, ~std::uint64_t{0}}}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(zip::findOverlap(c.entries).has_value(), c.overlaps) << c.name;
}

// A central-directory record with the given 32-bit fields and extra field.
ByteVector centralRecord(std::uint32_t compressed, std::uint32_t uncompressed, std::uint32_t offset,
                         const ByteVector& extra)
{
    ByteVector record;
    putLe(record, zip::centralRecordSignature, 4);
    putLe(record, 0, 2 + 2 + 2 + 2 + 4 + 4); // versions, flags, method, time, CRC-32
    putLe(record, compressed, 4);
    putLe(record, uncompressed, 4);
    putLe(record, 1, 2);             // name length
    putLe(record, extra.size(), 2);  // extra length
    putLe(record, 0, 2 + 2 + 2 + 4); // comment length, disk, attributes
    putLe(record, offset, 4);
    record.push_back('n');
    record.insert(record.end(), extra.begin(), extra.end());
    return record;
}

ByteVector extraField(std::uint16_t id, const std::vector<std::uint64_t>& values, std::size_t bytes = 0)
{
    ByteVector field;
    putLe(field, id, 2);
    putLe(field, bytes != 0 ? bytes : values.size() * 8, 2);
    for (const auto value : values)
        putLe(field, value, 8);
    return field;
}

TEST(CentralRecord, Zip64ExtraFieldGivesTheMarkedValuesInOrder)
{
    constexpr std::uint32_t marked = 0xFFFFFFFF;
    const struct {
        const char* name;
        ByteVector record;
        std::uint64_t compressed, uncompressed, offset;
    } cases[] = {
        {"nothing marked", centralRecord(5, 6, 7, extraField(1, {100})), 5, 6, 7},
        {"the offset alone", centralRecord(5, 6, marked, extraField(1, {1ull << 40})), 5, 6, 1ull << 40},
        {"sizes then offset", centralRecord(marked, marked, marked, extraField(1, {11, 22, 33})), 22, 11, 33},
        {"the compressed size and the offset", centralRecord(marked, 6, marked, extraField(1, {22, 33})), 22, 6, 33},
        {"after another extra field",
         centralRecord(5, 6, marked, concat({extraField(0x5455, {0}), extraField(1, {44})})), 5, 6, 44},
        {"a value it lacks stays marked", centralRecord(marked, 6, marked, extraField(1, {22})), 22, 6, marked},
        {"a field longer than the extra", centralRecord(5, 6, marked, extraField(1, {44}, 20)), 5, 6, marked},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ByteCursor cursor(c.record);
        const auto record = zip::readCentralRecord(cursor);
        ASSERT_TRUE(record);
        EXPECT_EQ(record->compressedSize, c.compressed);
        EXPECT_EQ(record->uncompressedSize, c.uncompressed);
        EXPECT_EQ(record->localOffset, c.offset);
        EXPECT_TRUE(cursor.atEnd());
    }
    // Cut off within its name: the cursor says so rather than reading on.
    const auto whole = centralRecord(5, 6, 7, {});
    ByteCursor cut(Bytes(whole).first(whole.size() - 1));
    EXPECT_THROW(zip::readCentralRecord(cut), ByteCursor::ShortRead);
}

// Appends four bytes that give `data` the CRC-32 `target`, as an archive made
// to deceive a reader that trusts a matching CRC would.
ByteVector withCrc(ByteVector data, std::uint32_t target)
{
    std::uint32_t table[256];
    std::uint8_t indexOfTop[256];
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[i] = c;
        indexOfTop[c >> 24] = static_cast<std::uint8_t>(i);
    }
    const std::uint32_t state = ~crc32Of(data);
    std::uint32_t r = ~target;
    for (int step = 0; step < 4; ++step) {
        const std::uint8_t index = indexOfTop[r >> 24];
        r = ((r ^ table[index]) << 8) | index;
    }
    r ^= state;
    for (int k = 0; k < 4; ++k)
        data.push_back(static_cast<std::uint8_t>(r >> (8 * k)));
    return data;
}

std::uint32_t le32At(const ByteVector& bytes, std::size_t at)
{
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | std::uint32_t{bytes[at + 3]} << 24;
}

// Two archives one after the other, each with its own end record. The first
// spans more bytes, which is the one libzip keeps; its Header has a twin of
// the same size and CRC-32 in the second.
ByteVector twoEndRecords()
{
    const ByteVector header = component(1, ByteVector(40, 'x'));
    ByteVector twin{1, 0, 40};
    twin.insert(twin.end(), 36, 'y');
    twin = withCrc(twin, crc32Of(header));
    const ByteVector first = buildZip({{"Header.cap", header}, {"Class.cap", component(6, ByteVector(300, 'c'))}});
    return buildZip({{"Header.cap", twin}, {"Class.cap", component(6, {0})}}, {first});
}

// A plain end record for one central directory, behind a ZIP64 locator and
// end record for another.
ByteVector zip64LocatorBesidePlainEndRecord()
{
    const ByteVector header = component(1, ByteVector(40, 'x'));
    ByteVector twin{1, 0, 40};
    twin.insert(twin.end(), 36, 'y');
    twin = withCrc(twin, crc32Of(header));
    const ByteVector zip64Side = buildZip({{"Header.cap", header}});
    const std::size_t firstEnd = zip64Side.size() - 22;
    ByteVector file = buildZip({{"Header.cap", twin}}, {zip64Side});
    const ByteVector plainEnd(file.end() - 22, file.end());
    file.resize(file.size() - 22);

    const std::uint64_t zip64Offset = file.size();
    putLe(file, zip::zip64EndRecordSignature, 4);
    putLe(file, 44, 8); // size of the rest of the record
    putLe(file, 45, 2); // made by
    putLe(file, 45, 2); // needed
    putLe(file, 0, 4);  // this disk
    putLe(file, 0, 4);  // disk of the directory
    putLe(file, 1, 8);  // entries on this disk
    putLe(file, 1, 8);  // entries
    putLe(file, le32At(zip64Side, firstEnd + 12), 8);
    putLe(file, le32At(zip64Side, firstEnd + 16), 8);
    putLe(file, zip::zip64LocatorSignature, 4);
    putLe(file, 0, 4);
    putLe(file, zip64Offset, 8);
    putLe(file, 1, 4);
    file.insert(file.end(), plainEnd.begin(), plainEnd.end());
    return file;
}

// What libzip extracts for each entry, one after the other; nothing when it
// refuses the archive or an entry.
std::optional<ByteVector> extractedByLibzip(const std::string& path)
{
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY, &error);
    if (archive == nullptr)
        return std::nullopt;
    ByteVector all;
    bool whole = true;
    for (zip_int64_t i = 0; whole && i < zip_get_num_entries(archive, 0); ++i) {
        zip_stat_t info;
        zip_file_t* file = zip_stat_index(archive, i, 0, &info) == 0 ? zip_fopen_index(archive, i, 0) : nullptr;
        ByteVector bytes(file != nullptr ? info.size : 0);
        whole = file != nullptr && zip_fread(file, bytes.data(), bytes.size()) == static_cast<zip_int64_t>(info.size);
        if (file != nullptr)
            whole = zip_fclose(file) == 0 && whole;
        all.insert(all.end(), bytes.begin(), bytes.end());
    }
    zip_discard(archive);
    return whole ? std::optional(all) : std::nullopt;
}

class ArchiveBytes : public ConversionTest {};

TEST_F(ArchiveBytes, EveryByteComesFromWhereLibzipLocatesIt)
{
    const struct {
        const char* name;
        ByteVector cap;
    } cases[] = {
        {"two end records", twoEndRecords()},
        {"ZIP64 locator beside a plain end record", zip64LocatorBesidePlainEndRecord()},
    };
    ZipArchive archive;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto cap = writeCap("deceptive.cap", c.cap);
        const auto error = run([&] { convertThroughArchive(cap, report, archive); });
        const auto ijc = readFile(withExtension(cap, ".ijc"));
        const auto expected = extractedByLibzip(cap);
        if (error) {
            EXPECT_TRUE(lastKind == ErrorKind::Archive || lastKind == ErrorKind::CannotExtract) << *error;
            EXPECT_EQ(ijc, ByteVector{});
        } else {
            ASSERT_TRUE(expected) << "converted what libzip refuses";
            EXPECT_EQ(ijc, *expected);
        }
    }
}

} // namespace
} // namespace tolvane
