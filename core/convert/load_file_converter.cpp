#include "core/convert/load_file_converter.h"

#include "core/base/error.h"
#include "core/base/paths.h"
#include "core/convert/archive_entries.h"
#include "core/convert/conversion.h"
#include "core/output/ijc_output.h"
#include "core/report/load_file_report.h"
#include "core/zip/archive.h"

#include <optional>
#include <vector>

namespace tolvane {
namespace {

// Keeps a copy of every entry met, for a load file is laid out only once all
// of them are known.
class EntryCollector final : public CapObserver {
public:
    void entry(const EntryRecord& record) override
    {
        entries_.push_back({std::string(record.storedName), {record.entry.begin(), record.entry.end()}});
    }
    const std::vector<CapEntry>& entries() const { return entries_; }

private:
    std::vector<CapEntry> entries_;
};

} // namespace

void convertToLoadFile(const std::string& capPath, const LoadFileOptions& options, LoadFileAction action,
                       CapObserver& report, ZipArchive& archive, const std::string& outputPath)
{
    ArchiveCloser closer(archive);
    const bool writes = action == LoadFileAction::Write;
    const std::string ijcPath = ijcPathFor(capPath, outputPath);
    Conversion conversion({ReadingMode::LoadFile, capPath, writes ? ijcPath : std::string()}, report);
    std::optional<IjcOutput> ijc;
    conversion.run([&] {
        refuseUnconvertiblePath(capPath, withExtension(capPath, ".ijc"), conversion);
        if (writes) {
            ijc.emplace(ijcPath, capPath);
            conversion.outputOpened();
        }
        conversion.reading();
        archive.open(capPath);
        EntryCollector collector;
        readArchiveEntries(capPath, archive, collector);
        archive.close();

        const LoadFile loadFile = makeLoadFile(collector.entries(), options, capPath);
        conversion.loadFile(loadFile);
        conversion.endEntries();
        if (ijc) {
            ijc->write(loadFile.bytes);
            ijc->commit();
        }
    });
}

void convertToLoadFile(const std::string& capPath, const LoadFileOptions& options, LoadFileAction action,
                       ReportSink& sink, ZipArchive& archive)
{
    LoadFileReport report(sink);
    convertToLoadFile(capPath, options, action, report, archive);
}

} // namespace tolvane
