#include "core/report/text_report.h"

#include "core/base/hex.h"
#include "core/report/report_sink.h"

namespace tolvane {

namespace report {

std::string fileLine(std::string_view capPath)
{
    return "CAP file name: " + std::string(capPath);
}
std::string sizeLine(std::uint64_t bytes)
{
    return "CAP file size: " + std::to_string(bytes) + " bytes";
}
std::string formatErrorLine()
{
    return "Wrong CAP file format. Exiting.";
}
std::string versionLine(unsigned major, unsigned minor)
{
    return " Javacard version: " + std::to_string(major) + "." + std::to_string(minor);
}
std::string aidLine(std::string_view aid)
{
    return " Package AID: " + std::string(aid);
}
std::string packageNameLine(std::string_view name)
{
    return " Package name: " + std::string(name);
}
std::string componentsHeading()
{
    return "CAP components:";
}
std::string ruleLine()
{
    return " ---";
}
std::string componentLine(unsigned tag, std::string_view baseName, std::uint64_t bytes)
{
    return std::to_string(tag) + ". " + std::string(baseName) + " " + std::to_string(bytes) + " bytes";
}
std::string totalLine(std::uint64_t bytes)
{
    return " Total IJC: " + std::to_string(bytes) + " bytes";
}
std::string emptyLine()
{
    return {};
}
std::string closingLine()
{
    return "Done.";
}

} // namespace report

void TextReport::begin(const ConversionStart& start)
{
    start_ = start;
    outputOpened_ = false;
    sink_.clear();
}

void TextReport::reading()
{
    sink_.appendLine(report::fileLine(start_.capPath));
}

void TextReport::fileSize(std::uint64_t bytes)
{
    sink_.appendLine(report::sizeLine(bytes));
}

void TextReport::formatError()
{
    sink_.appendLine(report::formatErrorLine());
}

void TextReport::entry(const EntryRecord& record)
{
    if (record.header) {
        // The scan shows only the version of a Header; the archive converter
        // its AID and package name as well.
        sink_.appendLine(report::versionLine(record.header->major, record.header->minor));
        if (start_.mode == ReadingMode::Archive) {
            sink_.appendLine(report::aidLine(record.header->aid));
            sink_.appendLine(report::packageNameLine(record.header->packageName));
        }
        sink_.appendLine(report::componentsHeading());
        sink_.appendLine(report::ruleLine());
    }
    sink_.appendLine(report::componentLine(record.tag, record.baseName, record.taken.size()));
}

void TextReport::entriesEnded(std::uint64_t total)
{
    sink_.appendLine(report::ruleLine());
    sink_.appendLine(report::totalLine(total));
}

void TextReport::end(const Outcome& outcome)
{
    // The scan closes its report on every way out once its files are open;
    // the archive converter only when the conversion succeeded.
    const bool closes = start_.mode == ReadingMode::Scan ? outputOpened_ : !outcome.error;
    if (closes) {
        sink_.appendLine(report::emptyLine());
        sink_.appendLine(report::closingLine());
    }
}

} // namespace tolvane
