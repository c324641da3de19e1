// The archive converter on any bytes presented as a CAP file.

#include "core/base/error.h"
#include "core/convert/archive_converter.h"
#include "core/report/report_sink.h"
#include "core/zip/archive.h"
#include "report_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tolvane;
    const std::string cap = fuzz::writeInput("input.cap", data, size);
    const std::string ijc = fuzz::workDir() + "/input.ijc";
    LineHolder report;
    ZipArchive archive;
    try {
        convertThroughArchive(cap, report, archive);
        fuzz::checkCompleteReport(report.lines(), fuzz::readBack(ijc).size());
    } catch (const Error&) {
        fuzz::require(fuzz::readBack(ijc).empty(), "a failed conversion leaves the IJC file empty");
    }
    fuzz::require(!archive.isOpen(), "no archive stays open");
    fuzz::require(fuzz::readBack(cap).size() == size, "the CAP file is never changed");
    return 0;
}
