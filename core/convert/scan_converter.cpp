#include "core/convert/scan_converter.h"

#include "core/base/error.h"
#include "core/base/file_layer.h"
#include "core/base/paths.h"
#include "core/base/whole_file.h"
#include "core/convert/conversion.h"
#include "core/output/ijc_output.h"
#include "core/report/text_report.h"
#include "core/zip/archive.h"
#include "core/zip/format.h"

namespace tolvane {
namespace {

// The entry whose local header the cursor is at, taken as it lies: nothing
// when it cannot be, its data compressed, encrypted or followed by its sizes,
// or any part of it beyond the end of the file.
std::optional<std::pair<zip::LocalHeader, Bytes>> entryAt(ByteCursor& cursor)
{
    try {
        const auto header = zip::readLocalHeader(cursor);
        if (!header || header->method != zip::methodStored ||
            (header->flags & (zip::flagEncrypted | zip::flagSizesAfterData)) != 0)
            return std::nullopt;
        return std::make_pair(*header, cursor.take(header->uncompressedSize, "entry data"));
    } catch (const ByteCursor::ShortRead&) {
        return std::nullopt;
    }
}

// Walks the local headers from the file's first byte, telling `conversion`
// of each entry; stops at the format-error line where the walk cannot go on.
void scan(int capFile, const std::string& capPath, Conversion& conversion)
{
    const std::int64_t fileSize = files::seekFromEnd(capFile, 0);
    if (fileSize < 0)
        throw Error(ErrorKind::CannotOpen, capPath, files::lastErrorText());
    const auto buffer = readWholeFile(capFile, static_cast<std::uint64_t>(fileSize), capPath);
    const Bytes file(buffer.data(), buffer.size());

    conversion.reading();
    conversion.fileSize(static_cast<std::uint64_t>(fileSize));
    if (!zip::signatureAt(file, 0, zip::localHeaderSignature)) {
        conversion.formatError();
        return;
    }

    ByteCursor cursor(file);
    for (std::size_t index = 0; zip::signatureAt(file, cursor.position(), zip::localHeaderSignature); ++index) {
        const auto entry = entryAt(cursor);
        if (!entry) {
            conversion.formatError();
            return;
        }
        const auto& [header, data] = *entry;
        const std::string name(header.name.begin(), header.name.end());
        EntryRecord record;
        record.index = index;
        record.storedName = name;
        record.baseName = entryBaseName(name);
        record.tag = byteOrZero(data, 0);
        record.componentLength = componentLength(data);
        record.entry = data;
        record.taken = data;
        // An entry of no bytes has no tag of its own and is never a Header.
        if (!data.empty() && record.tag == headerTag)
            record.header = readHeaderFields(data);
        conversion.entry(record);
    }
    // The walk ends where the archive's directory begins; anything else means
    // entries it could not see, and a conversion without them is no success.
    const std::uint64_t end = cursor.position();
    if (!zip::signatureAt(file, end, zip::centralRecordSignature) &&
        !zip::signatureAt(file, end, zip::endRecordSignature) &&
        !zip::signatureAt(file, end, zip::zip64EndRecordSignature) &&
        !zip::signatureAt(file, end, zip::archiveExtraDataSignature)) {
        conversion.formatError();
        return;
    }
    conversion.endEntries();
}

} // namespace

ScanOutcome convertByScanning(const std::string& capPath, CapObserver& report, const std::string& outputPath)
{
    const std::string ijcPath = ijcPathFor(capPath, outputPath);
    Conversion conversion({ReadingMode::Scan, capPath, ijcPath}, report);
    std::optional<IjcOutput> ijc;
    conversion.run([&] {
        if (capPath.empty())
            throw Error(ErrorKind::NoCapFile, capPath);
        // Both files are opened before anything is read; a CAP file that
        // cannot be opened leaves the IJC file untouched.
        files::FileHandle capFile(files::openForReading(capPath, files::Sharing::Nobody));
        if (!capFile.valid())
            throw Error(ErrorKind::CannotOpen, capPath, files::lastErrorText());
        // The scan holds the whole file in memory; one larger than an archive
        // may declare in all is refused before any of it is read.
        const std::int64_t size = files::seekFromEnd(capFile.get(), 0);
        if (size < 0)
            throw Error(ErrorKind::CannotOpen, capPath, files::lastErrorText());
        refuseOversizedCapFile(capPath, static_cast<std::uint64_t>(size));
        ijc.emplace(ijcPath, capPath);
        conversion.observe(*ijc);
        conversion.outputOpened();
        scan(capFile.get(), capPath, conversion);
    });
    return conversion.outcome().formatError ? ScanOutcome::WrongFormat : ScanOutcome::Converted;
}

ScanOutcome convertByScanning(const std::string& capPath, ReportSink& sink)
{
    TextReport report(sink);
    return convertByScanning(capPath, report);
}

} // namespace tolvane
