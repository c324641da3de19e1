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
    const std::string ijcPath = ijcPathFor(capPath, outputPath);
    Conversion conversion({ReadingMode::Archive, capPath, ijcPath}, report);
    std::optional<IjcOutput> ijc;
    conversion.run([&] {
        refuseUnconvertiblePath(capPath, withExtension(capPath, ".ijc"), conversion);
        ijc.emplace(ijcPath, capPath);
        conversion.observe(*ijc);
        conversion.outputOpened();

        conversion.reading();
        archive.open(capPath);
        readArchiveEntries(capPath, archive, conversion);
        conversion.endEntries();
    });
}

void convertThroughArchive(const std::string& capPath, ReportSink& sink, ZipArchive& archive)
{
    TextReport report(sink);
    convertThroughArchive(capPath, report, archive);
}

} // namespace tolvane
