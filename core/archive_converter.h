#pragma once

#include <string>

namespace tolvane {

class ReportSink;
class ZipArchive;

// Converts the CAP file at `capPath` into the IJC file beside it through the
// ZIP library, reporting to `sink`. Throws Error when the conversion fails; the
// IJC file is then left empty and `archive` closed, and the report keeps the
// lines appended before the failure.
void convertThroughArchive(const std::string& capPath, ReportSink& sink, ZipArchive& archive);

} // namespace tolvane
