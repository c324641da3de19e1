#include "core/convert/input_file.h"

#include "core/base/error.h"
#include "core/base/file_layer.h"
#include "core/cap/components_file.h"
#include "core/cap/record.h"
#include "core/convert/archive_entries.h"
#include "core/zip/archive.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace tolvane {
namespace {

// Keeps a copy of every entry met, for a load file is laid out only once all
// of them are known.
class EntryCollector final : public CapObserver {
public:
    void entry(const EntryRecord& record) override
    {
        entries_.push_back({std::string(record.storedName), {record.entry.begin(), record.entry.end()}, std::nullopt});
    }
    std::vector<CapEntry> take() { return std::move(entries_); }

private:
    std::vector<CapEntry> entries_;
};

} // namespace

InputFile readInput(const std::string& path)
{
    if (path.empty())
        throw Error(ErrorKind::NoCapFile, path);
    struct stat info {};
    files::FileHandle file(files::openForReading(path, files::Sharing::ReadAndWrite, &info));
    if (!file.valid())
        throw Error(ErrorKind::CannotOpen, path, files::lastErrorText());
    if (S_ISDIR(info.st_mode))
        throw Error(ErrorKind::CannotOpen, path, std::strerror(EISDIR));
    if (!S_ISREG(info.st_mode))
        throw Error(ErrorKind::CannotOpen, path, "Not a regular file");
    InputFile input;
    input.path = path;
    input.bytes = readWholeFile(file.get(), static_cast<std::uint64_t>(info.st_size), path);
    input.components = looksLikeComponents(Bytes(input.bytes.data(), input.bytes.size()));
    return input;
}

std::vector<CapEntry> entriesOf(const InputFile& input, ZipArchive& archive)
{
    if (input.components)
        return componentsOf(Bytes(input.bytes.data(), input.bytes.size()), input.path);
    archive.open(input.path, input.bytes);
    EntryCollector collector;
    readArchiveEntries(input.path, archive, collector);
    archive.close();
    return collector.take();
}

} // namespace tolvane
