#include "core/convert/archive_converter.h"

#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/convert/archive_entries.h"
#include "core/convert/conversion.h"
#include "core/output/ijc_output.h"
#include "core/report/text_report.h"
#include "core/zip/archive.h"

#include <cstdint>

namespace tolvane {

void convertThroughArchive(const std::string& capPath, CapObserver& report, ZipArchive& archive,
                           const std::string& outputPath)
{
    ArchiveCloser closer(archive);
    const std::string ijcPath = outputPath.empty() ? withExtension(capPath, ".ijc") : outputPath;
    Conversion conversion({ReadingMode::Archive, capPath, ijcPath}, report);
    std::optional<IjcOutput> ijc;
    conversion.run([&] {
        if (capPath.empty())
            throw Error(ErrorKind::NoCapFile, capPath);
        // A CAP path ending in .ijc is its own IJC path; no archive kind has
        // that extension, so it is refused before the file could be emptied.
        if (outputPath.empty() && ijcPath == capPath) {
            conversion.reading();
            throw Error(ErrorKind::UnhandledArchiveType, capPath);
        }
        ijc.emplace(ijcPath, capPath);
        conversion.observe(*ijc);
        conversion.outputOpened();

        conversion.reading();
        archive.open(capPath);
        conversion.entriesEnded(readArchiveEntries(capPath, archive, conversion));
    });
}

void convertThroughArchive(const std::string& capPath, ReportSink& sink, ZipArchive& archive)
{
    TextReport report(sink);
    convertThroughArchive(capPath, report, archive);
}

} // namespace tolvane
