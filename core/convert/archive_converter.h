#pragma once

#include <string>

namespace tolvane {

class CapObserver;
class ReportSink;
class ZipArchive;

// Converts the CAP file at `capPath` into the IJC file beside it (or at
// `ijcPath`, where given; "-" for standard output) through the ZIP library,
// telling `report` what it meets. Throws Error when the conversion fails; the
// IJC file is then left empty and `archive` closed, and the report keeps what
// it was told before the failure.
void convertThroughArchive(const std::string& capPath, CapObserver& report, ZipArchive& archive,
                           const std::string& ijcPath = {});

// The same, with the text report delivered to `sink`.
void convertThroughArchive(const std::string& capPath, ReportSink& sink, ZipArchive& archive);

} // namespace tolvane
