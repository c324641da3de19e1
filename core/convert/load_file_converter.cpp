#include "core/convert/load_file_converter.h"

#include "core/base/error.h"
#include "core/base/file_layer.h"
#include "core/base/paths.h"
#include "core/base/whole_file.h"
#include "core/cap/components_file.h"
#include "core/convert/archive_entries.h"
#include "core/convert/cap_writer.h"
#include "core/convert/conversion.h"
#include "core/output/ijc_output.h"
#include "core/report/load_file_report.h"
#include "core/zip/archive.h"

#include <optional>
#include <sys/stat.h>
#include <vector>

namespace tolvane {
namespace {

// Keeps a copy of every entry met, for a load file is laid out only once all
// of them are known.
class EntryCollector final : public CapObserver {
public:
    void entry(const EntryRecord& record) override
    {
        entries_.push_back({std::string(record.storedName), {record.entry.begin(), record.entry.end()}, std::nullopt});
    }
    const std::vector<CapEntry>& entries() const { return entries_; }

private:
    std::vector<CapEntry> entries_;
};

// Whether the file at `path` is a sequence of components (an IJC file or a
// load file) rather than a CAP file: it is told by its first bytes, not its name.
bool isComponentsFile(const std::string& path)
{
    files::FileHandle file(files::openForReading(path, files::Sharing::ReadAndWrite));
    std::uint8_t start[7];
    return file.valid() && files::readBytesAt(file.get(), start, sizeof start, 0) == sizeof start &&
           looksLikeComponents(start);
}

// The components of an IJC file or load file, as entries.
std::vector<CapEntry> readComponentsFile(const std::string& path)
{
    struct stat info {};
    files::FileHandle file(files::openForReading(path, files::Sharing::ReadAndWrite, &info));
    if (!file.valid())
        throw Error(ErrorKind::CannotOpen, path, files::lastErrorText());
    const FileBytes bytes = readWholeFile(file.get(), static_cast<std::uint64_t>(info.st_size), path);
    return componentsOf(Bytes(bytes.data(), bytes.size()), path);
}

// Reads every entry of the CAP file, or every component of an IJC file.
std::vector<CapEntry> readEntries(const std::string& capPath, bool components, ZipArchive& archive)
{
    if (components)
        return readComponentsFile(capPath);
    archive.open(capPath);
    EntryCollector collector;
    readArchiveEntries(capPath, archive, collector);
    archive.close();
    return collector.entries();
}

// Reads the input and makes its load file.
LoadFile readLoadFile(const std::string& capPath, bool components, const LoadFileOptions& options, ZipArchive& archive,
                      Conversion& conversion)
{
    conversion.reading();
    return makeLoadFile(readEntries(capPath, components, archive), options, capPath);
}

// The output beside an input: NAME.ijc beside a CAP file, NAME.load.ijc
// beside an IJC file, so that its input is never written over.
std::string besideInput(const std::string& input, bool components, const std::string& given)
{
    if (!given.empty())
        return given;
    return withExtension(input, components ? ".load.ijc" : ".ijc");
}

} // namespace

void convertToApduScript(const std::string& capPath, const LoadFileOptions& options, const apdu::Options& script,
                         CapObserver& report, ZipArchive& archive, const std::string& scriptPath)
{
    ArchiveCloser closer(archive);
    const std::string path = scriptPath.empty() ? withExtension(capPath, ".apdu") : scriptPath;
    const bool components = isComponentsFile(capPath);
    Conversion conversion({ReadingMode::LoadFile, capPath, path}, report);
    std::optional<IjcOutput> output;
    conversion.run([&] {
        if (!components)
            refuseUnconvertiblePath(capPath, withExtension(capPath, ".ijc"), conversion);
        if (path == capPath)
            throw Error(ErrorKind::CannotCreate, path, "It is the CAP file itself");
        // The script's file is made only once its commands are: a refused
        // CAP file leaves none.
        const LoadFile loadFile = readLoadFile(capPath, components, options, archive, conversion);
        const apdu::Script commands = apdu::makeScript(loadFile, script, capPath);
        output.emplace(path, capPath);
        conversion.outputOpened();
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
    const bool components = isComponentsFile(capPath);
    const std::string ijcPath = besideInput(capPath, components, outputPath);
    Conversion conversion({ReadingMode::LoadFile, capPath, writes ? ijcPath : std::string()}, report);
    std::optional<IjcOutput> ijc;
    conversion.run([&] {
        if (!components)
            refuseUnconvertiblePath(capPath, withExtension(capPath, ".ijc"), conversion);
        if (writes) {
            ijc.emplace(ijcPath, capPath);
            conversion.outputOpened();
        }
        const LoadFile loadFile = readLoadFile(capPath, components, options, archive, conversion);
        conversion.loadFile(loadFile);
        conversion.endEntries();
        if (ijc) {
            ijc->write(loadFile.bytes);
            ijc->commit();
        }
    });
}

void convertToCapFile(const std::string& inputPath, const LoadFileOptions& options, const std::string& packagePath,
                      CapObserver& report, ZipArchive& archive, const std::string& outputPath)
{
    ArchiveCloser closer(archive);
    const std::string path = outputPath.empty() ? withExtension(inputPath, ".cap") : outputPath;
    Conversion conversion({ReadingMode::LoadFile, inputPath, path}, report);
    std::optional<IjcOutput> output;
    conversion.run([&] {
        if (!isComponentsFile(inputPath)) {
            conversion.reading();
            files::FileHandle file(files::openForReading(inputPath, files::Sharing::ReadAndWrite));
            if (!file.valid())
                throw Error(ErrorKind::CannotOpen, inputPath, files::lastErrorText());
            std::uint8_t start[7] = {};
            const auto got = files::readBytesAt(file.get(), start, sizeof start, 0);
            componentsOf(Bytes(start, got < 0 ? 0 : static_cast<std::size_t>(got)), inputPath);
            throw Error(ErrorKind::NotLoadable, inputPath, "It is no sequence of components");
        }
        conversion.reading();
        const std::vector<CapEntry> entries = readEntries(inputPath, true, archive);
        const LoadFile loadFile = makeLoadFile(entries, options, inputPath);
        const CapFileLayout layout = capFileLayout(loadFile, packagePath);
        const auto bytes = capFileBytes(loadFile, entries, layout);
        output.emplace(path, inputPath);
        conversion.outputOpened();
        conversion.loadFile(loadFile);
        conversion.capFile(layout.packagePath + "/javacard/", layout.pathFromAid);
        conversion.endEntries();
        output->write(bytes);
        output->commit();
    });
}

std::string loadFilePathFor(const std::string& input)
{
    return besideInput(input, isComponentsFile(input), {});
}

LoadFile inspectInput(const std::string& path, ZipArchive& archive)
{
    ArchiveCloser closer(archive);
    // Reading a missing CAP file through the archive would leave an empty
    // archive in its place: only a file that is there is looked at.
    struct stat info {};
    if (path.empty())
        throw Error(ErrorKind::NoCapFile, path);
    if (::stat(path.c_str(), &info) != 0)
        throw Error(ErrorKind::CannotOpen, path, files::lastErrorText());
    if (!S_ISREG(info.st_mode))
        throw Error(ErrorKind::CannotOpen, path, "Not a regular file");
    LoadFileOptions options;
    options.verify = false;
    return makeLoadFile(readEntries(path, isComponentsFile(path), archive), options, path);
}

void convertToLoadFile(const std::string& capPath, const LoadFileOptions& options, LoadFileAction action,
                       ReportSink& sink, ZipArchive& archive)
{
    LoadFileReport report(sink);
    convertToLoadFile(capPath, options, action, report, archive);
}

} // namespace tolvane
