#include "core/convert/load_file_converter.h"

#include "core/base/error.h"
#include "core/base/file_layer.h"
#include "core/base/paths.h"
#include "core/cap/components_file.h"
#include "core/checks/checks.h"
#include "core/convert/archive_entries.h"
#include "core/convert/cap_writer.h"
#include "core/convert/conversion.h"
#include "core/convert/input_file.h"
#include "core/exp/export_file.h"
#include "core/exp/links.h"
#include "core/output/ijc_output.h"
#include "core/report/load_file_report.h"
#include "core/zip/archive.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace tolvane {
namespace {

// Checks the entries' load file, telling the conversion what the checks
// found before a refusal ends it.
LoadFile checkedLoadFile(const std::vector<CapEntry>& entries, const std::string& path, const LoadFileOptions& options,
                         Conversion& conversion)
{
    LoadFile file = checkLoadFile(entries, options, path);
    conversion.checked(file);
    throwIfRefused(file, path);
    return file;
}

// Runs `body`, which replaces the file at `path` only with whole and checked
// content: an error it throws says, on a line of its own, that the file there
// was left as it was (or not created).
template <typename Body> void keepingOutput(const std::string& path, Body body)
{
    try {
        body();
    } catch (Error& error) {
        if (const std::string note = untouchedOutputNote(path); !note.empty())
            error.addLine(note);
        throw;
    }
}

// Runs the conversion's `body` so.
template <typename Body> void runKeepingOutput(Conversion& conversion, const std::string& path, Body body)
{
    keepingOutput(path, [&] { conversion.run(body); });
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
    Conversion conversion({ReadingMode::LoadFile, capPath, path}, report);
    std::optional<IjcOutput> output;
    runKeepingOutput(conversion, path, [&] {
        if (path == capPath)
            throw Error(ErrorKind::CannotCreate, path, "It is the CAP file itself");
        conversion.reading();
        const InputFile input = readInput(capPath);
        if (!input.components)
            refuseUnconvertiblePath(capPath, withExtension(capPath, ".ijc"), conversion);
        // The script's file is made only once its commands are: a refused
        // CAP file leaves none.
        const LoadFile loadFile = checkedLoadFile(entriesOf(input, archive), input.path, options, conversion);
        const apdu::Script commands = apdu::makeScript(loadFile, script, capPath);
        output.emplace(path, capPath, OnFailure::KeepOld);
        conversion.outputOpened();
        conversion.loadFile(loadFile);
        conversion.script(commands);
        conversion.endEntries();
        output->write({reinterpret_cast<const std::uint8_t*>(commands.text.data()), commands.text.size()});
        output->commit();
    });
}

std::string convertToLoadFile(const std::string& capPath, const LoadFileOptions& options, LoadFileAction action,
                              CapObserver& report, ZipArchive& archive, const std::string& outputPath, InputFile* read)
{
    ArchiveCloser closer(archive);
    const bool writes = action == LoadFileAction::Write;
    // What the input is, and so where its load file goes, is known once it
    // is read; the report begins before, with the output to come. The bytes
    // read stay in `read`, where given, however the conversion ends: a
    // refused package is still looked at.
    InputFile local;
    InputFile& input = read != nullptr ? *read : local;
    input = {};
    std::optional<Error> unreadable;
    try {
        input = readInput(capPath);
    } catch (const Error& error) {
        unreadable = error; // reported through the conversion, as every failure is
    }
    std::string ijcPath;
    if (writes)
        ijcPath = besideInput(capPath, input.components, outputPath);
    Conversion conversion({ReadingMode::LoadFile, capPath, ijcPath}, report);
    std::optional<IjcOutput> ijc;
    runKeepingOutput(conversion, ijcPath, [&] {
        if (unreadable)
            throw *unreadable;
        if (!input.components)
            refuseUnconvertiblePath(capPath, withExtension(capPath, ".ijc"), conversion);
        if (writes) {
            ijc.emplace(ijcPath, capPath, OnFailure::KeepOld);
            conversion.outputOpened();
        }
        conversion.reading();
        const LoadFile loadFile = checkedLoadFile(entriesOf(input, archive), input.path, options, conversion);
        conversion.loadFile(loadFile);
        conversion.endEntries();
        if (ijc) {
            ijc->write(loadFile.bytes);
            ijc->commit();
        }
    });
    return ijcPath;
}

void convertToCapFile(const std::string& inputPath, const LoadFileOptions& options, const std::string& packagePath,
                      CapObserver& report, ZipArchive& archive, const std::string& outputPath)
{
    ArchiveCloser closer(archive);
    const std::string path = outputPath.empty() ? withExtension(inputPath, ".cap") : outputPath;
    Conversion conversion({ReadingMode::LoadFile, inputPath, path}, report);
    std::optional<IjcOutput> output;
    runKeepingOutput(conversion, path, [&] {
        conversion.reading();
        const InputFile input = readInput(inputPath);
        if (!input.components) {
            // Says where the file stops being a sequence of components.
            componentsOf(Bytes(input.bytes.data(), std::min<std::size_t>(input.bytes.size(), 7)), inputPath);
            throw Error(ErrorKind::NotLoadable, inputPath, "It is no sequence of components");
        }
        const std::vector<CapEntry> entries = entriesOf(input, archive);
        const LoadFile loadFile = checkedLoadFile(entries, inputPath, options, conversion);
        const CapFileLayout layout = capFileLayout(loadFile, packagePath);
        const auto bytes = capFileBytes(loadFile, entries, layout, path);
        output.emplace(path, inputPath, OnFailure::KeepOld);
        conversion.outputOpened();
        conversion.loadFile(loadFile);
        conversion.capFile(layout.packagePath + "/javacard/", layout.pathFromAid);
        conversion.endEntries();
        output->write(bytes);
        output->commit();
    });
}

ExportFileWritten convertToExportFile(const std::string& capPath, const LoadFileOptions& options, ZipArchive& archive,
                                      const std::string& outputPath)
{
    ArchiveCloser closer(archive);
    ExportFileWritten written;
    written.path = outputPath.empty() ? withExtension(capPath, ".exp") : outputPath;
    keepingOutput(written.path, [&] {
        const InputFile input = readInput(capPath);
        const exp::ExportFile made = exp::exportFileOf(makeLoadFile(entriesOf(input, archive), options, input.path));
        const auto bytes = exp::writeExportFile(made);
        IjcOutput output(written.path, capPath, OnFailure::KeepOld);
        output.write(bytes);
        output.commit();
        written.package = made.package.text();
        written.classes = made.classes.size();
        written.bytes = bytes.size();
    });
    return written;
}

LoadFile inspectInput(const InputFile& input, ZipArchive& archive, std::shared_ptr<const exp::ExportPath> exports)
{
    ArchiveCloser closer(archive);
    LoadFileOptions options;
    options.verify = false;
    options.exports = std::move(exports);
    return checkLoadFile(entriesOf(input, archive), options, input.path);
}

std::string convertToLoadFile(const std::string& capPath, const LoadFileOptions& options, LoadFileAction action,
                              ReportSink& sink, ZipArchive& archive, InputFile* read)
{
    LoadFileReport report(sink);
    return convertToLoadFile(capPath, options, action, report, archive, {}, read);
}

} // namespace tolvane
