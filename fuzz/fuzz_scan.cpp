// The local-header scanning converter on any bytes presented as a CAP file.

#include "core/base/error.h"
#include "core/convert/scan_converter.h"
#include "core/report/report_sink.h"
#include "report_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tolvane;
    const std::string cap = fuzz::writeInput("input.cap", data, size);
    const std::string ijc = fuzz::workDir() + "/input.ijc";
    LineHolder report;
    try {
        const auto outcome = convertByScanning(cap, report);
        if (outcome == ScanOutcome::Converted) {
            fuzz::checkCompleteReport(report.lines(), fuzz::readBack(ijc).size());
        } else {
            fuzz::require(fuzz::readBack(ijc).empty(), "a file the scan cannot walk leaves the IJC file empty");
        }
    } catch (const Error&) {
        fuzz::require(fuzz::readBack(ijc).empty(), "a failed conversion leaves the IJC file empty");
    }
    fuzz::require(!report.lines().empty() && report.lines().back() == "Done.", "every way out ends with Done.");
    return 0;
}
