#include "core/scan_converter.h"

#include "core/cap.h"
#include "core/error.h"
#include "core/file_layer.h"
#include "core/ijc_output.h"
#include "core/paths.h"
#include "core/report_sink.h"

#include <exception>
#include <memory>
#include <new>
#include <vector>

namespace tolvane {
namespace {

constexpr std::size_t localHeaderSize = 30;

bool isLocalHeaderSignature(Bytes file, std::uint64_t offset)
{
    return readLe32(file, offset) == 0x04034B50u;
}

// Where an entry's bytes lie in the file, and what they are called.
struct LocalEntry {
    std::string name;
    Bytes data;
};

// The entry whose local header begins at `offset`, or nothing when it cannot be
// taken as it lies: its data compressed, encrypted or followed by its sizes, or
// any part of it beyond the end of the file.
std::optional<LocalEntry> entryAt(Bytes file, std::uint64_t offset)
{
    const auto header = file.subspan(offset);
    if (header.size() < localHeaderSize)
        return std::nullopt;
    const std::uint16_t flags = *readLe16(header, 6);
    const std::uint16_t method = *readLe16(header, 8);
    const std::uint32_t size = *readLe32(header, 22);
    const std::uint16_t nameLength = *readLe16(header, 26);
    const std::uint16_t extraLength = *readLe16(header, 28);

    constexpr std::uint16_t encrypted = 0x0001, sizesAfterData = 0x0008;
    if (method != 0 || (flags & (encrypted | sizesAfterData)) != 0)
        return std::nullopt;
    const std::uint64_t dataStart = localHeaderSize + std::uint64_t{nameLength} + extraLength;
    if (dataStart + size > header.size())
        return std::nullopt;

    const auto name = header.subspan(localHeaderSize, nameLength);
    return LocalEntry{std::string(name.begin(), name.end()), header.subspan(dataStart, size)};
}

// The CAP file's bytes, read with one read.
struct FileBuffer {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t size = 0;
};

FileBuffer readWholeFile(int fd, std::uint64_t size, const std::string& path)
{
    FileBuffer buffer;
    // Left uninitialised: only the bytes the read gives are ever looked at.
    buffer.bytes.reset(new (std::nothrow) std::uint8_t[size == 0 ? 1 : size]);
    if (!buffer.bytes)
        throw Error(ErrorKind::CannotOpen, "Cannot open file \"" + path + "\". Not enough memory to read its " +
                                               std::to_string(size) + " bytes");
    const std::int64_t got = files::seekFromStart(fd, 0) < 0 ? -1 : files::readBytes(fd, buffer.bytes.get(), size);
    if (got < 0)
        throw Error(ErrorKind::CannotOpen, "Cannot open file \"" + path + "\". " + files::lastErrorText());
    buffer.size = static_cast<std::size_t>(got);
    return buffer;
}

// Steps from the file size to the total line. True when the scan ran to its
// end; false when it stopped at the format-error line.
bool scan(int capFile, const std::string& capPath, IjcOutput& ijc, ReportSink& sink)
{
    const std::int64_t fileSize = files::seekFromEnd(capFile, 0);
    if (fileSize < 0)
        throw Error(ErrorKind::CannotOpen, "Cannot open file \"" + capPath + "\". " + files::lastErrorText());
    const auto buffer = readWholeFile(capFile, static_cast<std::uint64_t>(fileSize), capPath);
    const Bytes file(buffer.bytes.get(), buffer.size);

    sink.appendLine(report::fileLine(capPath));
    sink.appendLine(report::sizeLine(static_cast<std::uint64_t>(fileSize)));
    if (!isLocalHeaderSignature(file, 0)) {
        sink.appendLine(report::formatErrorLine());
        return false;
    }

    std::uint64_t offset = 0;
    std::uint64_t total = 0;
    while (isLocalHeaderSignature(file, offset)) {
        const auto entry = entryAt(file, offset);
        if (!entry) {
            sink.appendLine(report::formatErrorLine());
            return false;
        }
        total += entry->data.size();
        ijc.write(entry->data);
        // An entry of no bytes has no tag of its own and is never a Header.
        const std::uint8_t tag = byteOrZero(entry->data, 0);
        if (!entry->data.empty() && tag == headerTag) {
            sink.appendLine(report::versionLine(byteOrZero(entry->data, 8), byteOrZero(entry->data, 7)));
            sink.appendLine(report::componentsHeading());
            sink.appendLine(report::ruleLine());
        }
        sink.appendLine(report::componentLine(tag, entryBaseName(entry->name), entry->data.size()));
        offset = static_cast<std::uint64_t>(entry->data.data() - file.data()) + entry->data.size();
    }
    sink.appendLine(report::ruleLine());
    sink.appendLine(report::totalLine(total));
    return true;
}

} // namespace

ScanOutcome convertByScanning(const std::string& capPath, ReportSink& sink)
{
    sink.clear();
    if (capPath.empty())
        throw Error(ErrorKind::NoCapFile, "No CAP file chosen");

    // Both files are opened before anything is read; a CAP file that cannot be
    // opened leaves the IJC file untouched.
    files::FileHandle capFile(files::openForReading(capPath, files::Sharing::Nobody));
    if (!capFile.valid())
        throw Error(ErrorKind::CannotOpen, "Cannot open file \"" + capPath + "\". " + files::lastErrorText());
    IjcOutput ijc(withExtension(capPath, ".ijc"), capPath);

    // The closing steps run on every way out from here; an error is passed on
    // after them.
    std::exception_ptr failure;
    bool complete = false;
    try {
        complete = scan(capFile.get(), capPath, ijc, sink);
    } catch (...) {
        failure = std::current_exception();
    }
    capFile.reset();
    if (complete && !failure) {
        try {
            ijc.commit();
        } catch (...) {
            failure = std::current_exception();
        }
    }
    ijc.abandon();
    sink.appendLine(report::emptyLine());
    sink.appendLine(report::closingLine());
    if (failure)
        std::rethrow_exception(failure);
    return complete ? ScanOutcome::Converted : ScanOutcome::WrongFormat;
}

} // namespace tolvane
