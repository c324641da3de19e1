#pragma once

#include "core/apdu/script.h"
#include "core/cap/load_file.h"

#include <string>

namespace tolvane {

class CapObserver;
struct InputFile;
class ReportSink;
class ZipArchive;

enum class LoadFileAction {
    Write, // write the load file at the IJC path
    Check, // check the CAP file and report, writing nothing
};

// Reads the CAP file at `capPath` through the ZIP library, checks it as a card
// would and makes its load file, telling `report` of it; with Write, the load
// file goes to the IJC path beside the CAP file (or to `ijcPath`, where
// given; "-" for standard output). The input is read once; where `read` is
// given, it receives the bytes read, for whatever else looks at the file.
// Gives the path written (empty for Check). Throws Error when the CAP file
// cannot be read or a card would refuse it, or the load file cannot be
// written whole; a file at the IJC path is then left as it was, and none is
// created where none was.
std::string convertToLoadFile(const std::string& capPath, const LoadFileOptions& options, LoadFileAction action,
                              CapObserver& report, ZipArchive& archive, const std::string& ijcPath = {},
                              InputFile* read = nullptr);

// The same, with the load-file report as text delivered to `sink`.
std::string convertToLoadFile(const std::string& capPath, const LoadFileOptions& options, LoadFileAction action,
                              ReportSink& sink, ZipArchive& archive, InputFile* read = nullptr);

// Makes the load file as convertToLoadFile does, then the commands that load
// and install it, written as a script to NAME.apdu beside the CAP file (or
// to `scriptPath`; "-" for standard output) by the IJC file's rules. Throws
// Error as convertToLoadFile does, and where the commands cannot be made;
// a refused CAP file leaves no script, and an old one as it was.
void convertToApduScript(const std::string& capPath, const LoadFileOptions& options, const apdu::Options& script,
                         CapObserver& report, ZipArchive& archive, const std::string& scriptPath = {});

// The export file that convertToExportFile wrote.
struct ExportFileWritten {
    std::string path;
    std::string package; // its name and version, "com.acme.wallet 1.0"
    std::size_t classes = 0;
    std::size_t bytes = 0;
};

// Checks the CAP file at `capPath` as convertToLoadFile does, then writes its
// package's export file to NAME.exp beside it (or `outputPath`; "-" for
// standard output), only once whole. Throws Error where the CAP file is
// refused, names nothing (no Debug), or the file cannot be written; a file at
// the output path is then left as it was.
ExportFileWritten convertToExportFile(const std::string& capPath, const LoadFileOptions& options, ZipArchive& archive,
                                      const std::string& outputPath = {});

// Makes the load file of a CAP file, IJC file or load file already read, with
// the checks only warning, so that a package a card would refuse can still
// be looked at: what they find is in the load file's findings and refusals.
// Writes nothing. Throws Error where the input does not frame.
// With `exports`, references to imported packages are checked and named
// from their export files.
LoadFile inspectInput(const InputFile& input, ZipArchive& archive,
                      std::shared_ptr<const exp::ExportPath> exports = nullptr);

// Makes a CAP file again from an IJC file or a load file at `inputPath`:
// NAME.cap beside it (or `outputPath`), by the IJC file's rules, holding each
// component under PACKAGE/javacard/ (`packagePath`, else the Header's package
// name, else aid/AID) and a manifest. Throws Error where the input is no
// sequence of components or a card would refuse its package; nothing is
// written then, and a file at the output path is left as it was.
void convertToCapFile(const std::string& inputPath, const LoadFileOptions& options, const std::string& packagePath,
                      CapObserver& report, ZipArchive& archive, const std::string& outputPath = {});

} // namespace tolvane
