#include "core/base/whole_file.h"

#include "core/base/error.h"
#include "core/base/file_layer.h"

#include <new>

namespace tolvane {

void refuseOversizedCapFile(const std::string& path, std::uint64_t size)
{
    if (size > capFileSizeLimit)
        throw Error(ErrorKind::CannotOpen, path,
                    "It holds " + std::to_string(size) + " bytes, more than the " + std::to_string(capFileSizeLimit) +
                        " bytes allowed for a CAP file");
}

FileBytes readWholeFile(int fd, std::uint64_t size, const std::string& path)
{
    refuseOversizedCapFile(path, size);
    FileBytes bytes;
    try {
        bytes.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        throw Error(ErrorKind::CannotOpen, path, "Not enough memory to read its " + std::to_string(size) + " bytes");
    }
    const std::int64_t got = files::readBytesAt(fd, bytes.data(), bytes.size(), 0);
    if (got < 0)
        throw Error(ErrorKind::CannotOpen, path, files::lastErrorText());
    bytes.resize(static_cast<std::size_t>(got));
    return bytes;
}

} // namespace tolvane
