#pragma once

#include "core/cap/record.h"
#include "core/report/report_sink.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane {

// The lines of the conversion report, in their fixed wordings.
namespace report {
std::string fileLine(std::string_view capPath);
std::string sizeLine(std::uint64_t bytes);
std::string formatErrorLine();
std::string versionLine(unsigned major, unsigned minor);
std::string aidLine(std::string_view aid);
std::string packageNameLine(std::string_view name);
std::string componentsHeading();
std::string ruleLine();
std::string componentLine(unsigned tag, std::string_view baseName, std::uint64_t bytes);
std::string totalLine(std::uint64_t bytes);
std::string emptyLine();
std::string closingLine();
} // namespace report

// The conversion report as the window's log pane and the command line show
// it, delivered line by line to a sink as the conversion goes.
class TextReport final : public CapObserver {
public:
    explicit TextReport(ReportSink& sink) : sink_(sink) {}

    void begin(const ConversionStart& start) override;
    void outputOpened() override { outputOpened_ = true; }
    void reading() override;
    void fileSize(std::uint64_t bytes) override;
    void formatError() override;
    void entry(const EntryRecord& record) override;
    void entriesEnded(std::uint64_t total) override;
    void end(const Outcome& outcome) override;

private:
    ReportSink& sink_;
    ConversionStart start_;
    bool outputOpened_ = false;
};

} // namespace tolvane
