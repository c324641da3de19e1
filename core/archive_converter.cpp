#include "core/archive_converter.h"

#include "core/cap.h"
#include "core/error.h"
#include "core/file_layer.h"
#include "core/ijc_output.h"
#include "core/paths.h"
#include "core/report_sink.h"
#include "core/zip_archive.h"

#include <cstdint>
#include <vector>

namespace tolvane {
namespace {

// Closes the archive on every way out of a conversion.
class ArchiveCloser {
public:
    explicit ArchiveCloser(ZipArchive& archive) : archive_(archive) {}
    ~ArchiveCloser() { archive_.close(); }
    ArchiveCloser(const ArchiveCloser&) = delete;
    ArchiveCloser& operator=(const ArchiveCloser&) = delete;

private:
    ZipArchive& archive_;
};

void appendHeaderLines(ReportSink& sink, Bytes header)
{
    const HeaderFields fields = readHeaderFields(header);
    sink.appendLine(report::versionLine(fields.major, fields.minor));
    sink.appendLine(report::aidLine(fields.aid));
    sink.appendLine(report::packageNameLine(fields.packageName));
    sink.appendLine(report::componentsHeading());
    sink.appendLine(report::ruleLine());
}

} // namespace

void convertThroughArchive(const std::string& capPath, ReportSink& sink, ZipArchive& archive)
{
    ArchiveCloser closer(archive);
    sink.clear();
    if (capPath.empty())
        throw Error(ErrorKind::NoCapFile, "No CAP file chosen");

    // A CAP path ending in .ijc is its own IJC path; no archive kind has that
    // extension, so it is refused before the file could be emptied.
    const std::string ijcPath = withExtension(capPath, ".ijc");
    if (ijcPath == capPath) {
        sink.appendLine(report::fileLine(capPath));
        throw Error(ErrorKind::UnhandledArchiveType, "Unhandled Archive Type");
    }
    IjcOutput ijc(ijcPath, capPath);

    sink.appendLine(report::fileLine(capPath));
    std::uint64_t total = 0;
    archive.open(capPath);

    // One stream serves every entry; it holds only the current entry's bytes.
    EntryStream entry;
    const std::int64_t count = archive.entryCount();
    for (std::int64_t index = 0; index < count; ++index) {
        const std::string name = archive.entryName(index);
        archive.extract(index, entry);

        const Bytes bytes(entry);
        const std::uint32_t length = componentLength(bytes);
        const std::uint8_t tag = byteOrZero(bytes, 0);
        if (bytes.size() < length) {
            // Not a whole component: a manifest, a class file, a folder, or a
            // component cut off, which a CAP file must never hold.
            if (endsWithNoCase(name, ".cap"))
                throw Error(ErrorKind::CutOffComponent, "Cut-off component \"" + name + "\": the entry holds " +
                                                            std::to_string(bytes.size()) +
                                                            " bytes of its component length " + std::to_string(length));
            sink.appendLine(report::componentLine(tag, entryBaseName(name), 0));
            continue;
        }

        // The Header's fields are read from the entry's own bytes, which may
        // run past the component's length; a byte it does not have reads as 0.
        const Bytes component = bytes.first(length);
        if (tag == headerTag)
            appendHeaderLines(sink, bytes);
        sink.appendLine(report::componentLine(tag, entryBaseName(name), length));
        ijc.write(component);
        total += length;
    }

    sink.appendLine(report::ruleLine());
    sink.appendLine(report::totalLine(total));
    ijc.commit();
    sink.appendLine(report::emptyLine());
    sink.appendLine(report::closingLine());
}

} // namespace tolvane
