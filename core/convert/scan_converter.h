#pragma once

#include <string>

namespace tolvane {

class CapObserver;
class ReportSink;

// Converts the CAP file at `capPath` into the IJC file beside it by walking
// the ZIP local file headers from the file's first byte, without the ZIP
// library: every entry is taken as it lies in the file. It serves CAP files
// whose entries are stored with their sizes in their local headers; a file it
// cannot walk so gets the format-error line.
//
// The report always ends with the empty line and "Done.", an error included;
// the error is then thrown, and the IJC file is left empty.
enum class ScanOutcome {
    Converted,
    WrongFormat, // the format-error line was reported, and the IJC file left empty
};
// `ijcPath`, where given, is written in place of the IJC file beside the CAP
// file; "-" is standard output.
ScanOutcome convertByScanning(const std::string& capPath, CapObserver& report, const std::string& ijcPath = {});

// The same, with the text report delivered to `sink`.
ScanOutcome convertByScanning(const std::string& capPath, ReportSink& sink);

} // namespace tolvane
