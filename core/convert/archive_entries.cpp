#include "core/convert/archive_entries.h"

#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/cap/record.h"
#include "core/zip/archive.h"

namespace tolvane {
namespace {

// The record of the entry at `index`, whose bytes `bytes` are.
EntryRecord recordOf(std::int64_t index, const std::string& name, Bytes bytes, const std::string& capPath)
{
    EntryRecord record;
    record.index = static_cast<std::size_t>(index);
    record.storedName = name;
    record.baseName = entryBaseName(name);
    record.tag = byteOrZero(bytes, 0);
    record.componentLength = componentLength(bytes);
    record.entry = bytes;
    if (bytes.size() < record.componentLength) {
        // Not a whole component: a manifest, a class file, a folder, or a
        // component cut off, which a CAP file must never hold.
        if (endsWithNoCase(name, ".cap"))
            throw Error(ErrorKind::CutOffComponent, capPath,
                        "the entry holds " + std::to_string(bytes.size()) + " bytes of its component length " +
                            std::to_string(record.componentLength),
                        name);
        return record;
    }
    record.taken = bytes.first(record.componentLength);
    // The Header's fields are read from the entry's own bytes, which may run
    // past the component's length; a byte it does not have reads as 0.
    if (record.tag == headerTag)
        record.header = readHeaderFields(bytes);
    return record;
}

} // namespace

void refuseUnconvertiblePath(const std::string& capPath, const std::string& ijcPath, CapObserver& report)
{
    if (capPath.empty())
        throw Error(ErrorKind::NoCapFile, capPath);
    if (ijcPath == capPath) {
        report.reading();
        throw Error(ErrorKind::UnhandledArchiveType, capPath);
    }
}

ArchiveCloser::~ArchiveCloser()
{
    archive_.close();
}

void readArchiveEntries(const std::string& capPath, ZipArchive& archive, CapObserver& observer)
{
    // One stream serves every entry; it holds only the current entry's bytes.
    EntryStream stream;
    const std::int64_t count = archive.entryCount();
    for (std::int64_t index = 0; index < count; ++index) {
        const std::string name = archive.entryName(index);
        archive.extract(index, stream);
        const EntryRecord record = recordOf(index, name, Bytes(stream), capPath);
        observer.entry(record);
    }
}

} // namespace tolvane
