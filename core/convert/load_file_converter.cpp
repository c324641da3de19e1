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

// Reads every entry of the CAP file and makes its load file.
LoadFile readLoadFile(const std::string& capPath, const LoadFileOptions& options, ZipArchive& archive,
                      Conversion& conversion)
{
    conversion.reading();
    archive.open(capPath);
    EntryCollector collector;
    readArchiveEntries(capPath, archive, collector);
    archive.close();
    return makeLoadFile(collector.entries(), options, capPath);
}

} // namespace

void convertToApduScript(const std::string& capPath, const LoadFileOptions& options, const apdu::Options& script,
                         CapObserver& report, ZipArchive& archive, const std::string& scriptPath)
{
    ArchiveCloser closer(archive);
    const std::string path = scriptPath.empty() ? withExtension(capPath, ".apdu") : scriptPath;
    Conversion conversion({ReadingMode::LoadFile, capPath, path}, report);
    std::optional<IjcOutput> output;
    conversion.run([&] {
        refuseUnconvertiblePath(capPath, withExtension(capPath, ".ijc"), conversion);
        if (path == capPath)
            throw Error(ErrorKind::CannotCreate, path, "It is the CAP file itself");
        output.emplace(path, capPath);
        conversion.outputOpened();
        const LoadFile loadFile = readLoadFile(capPath, options, archive, conversion);
        const apdu::Script commands = apdu::makeScript(loadFile, script, capPath);
        conversion.loadFile(loadFile);
        conversion.script(commands);
        conversion.endEntries();
        output->write({reinterpret_cast<const std::uint8_t*>(commands.text.data()), commands.text.size()});
        output->commit();
    });
}

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
        const LoadFile loadFile = readLoadFile(capPath, options, archive, conversion);
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
