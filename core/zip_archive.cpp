#include "core/zip_archive.h"

#include "core/error.h"
#include "core/file_layer.h"
#include "core/paths.h"
#include "core/zip_layout.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <libdeflate.h>
#include <sys/stat.h>
#include <zip.h>

namespace tolvane {
namespace {

enum class ArchiveKind { Zip, NotHandled };

std::string libzipText(int code)
{
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    std::string text = zip_error_strerror(&error);
    zip_error_fini(&error);
    return text;
}

std::string libzipText(zip_error_t* error)
{
    return zip_error_strerror(error);
}

std::string fullPathOf(const std::string& path)
{
    std::error_code ignored;
    const auto full = std::filesystem::absolute(path, ignored);
    return full.empty() ? path : full.string();
}

[[noreturn]] void cannotOpen(const std::string& path, const std::string& reason)
{
    throw Error(ErrorKind::CannotOpen, "Cannot open file \"" + fullPathOf(path) + "\". " + reason);
}

// The first bytes of a ZIP archive spanned over several files, or of a single
// part written as though it were one.
bool beginsWithSpanningMarker(const std::array<std::uint8_t, 4>& head)
{
    return head[0] == 'P' && head[1] == 'K' && ((head[2] == 7 && head[3] == 8) || (head[2] == '0' && head[3] == '0'));
}

bool hasEndOfCentralDirectory(int fd, std::int64_t fileSize)
{
    return zip_layout::findEndOfCentralDirectory(fd, static_cast<std::uint64_t>(fileSize)).has_value();
}

// The content test: does the file, whose name gives `extension`, hold a ZIP
// archive of that kind?
ArchiveKind kindByContent(const std::string& extension, int fd, std::int64_t fileSize)
{
    std::array<std::uint8_t, 4> head{};
    if (files::readBytes(fd, head.data(), head.size()) < 0)
        return ArchiveKind::NotHandled;
    if (extension == ".CAP" || extension == ".ZIP" || extension == ".JAR") {
        // A spanning marker is left for the ZIP library to accept or refuse.
        if (beginsWithSpanningMarker(head) || hasEndOfCentralDirectory(fd, fileSize))
            return ArchiveKind::Zip;
        return ArchiveKind::NotHandled;
    }
    if (extension == ".EXE" && head[0] == 'M' && head[1] == 'Z' && hasEndOfCentralDirectory(fd, fileSize))
        return ArchiveKind::Zip;
    return ArchiveKind::NotHandled;
}

bool isZipExtension(const std::string& extension)
{
    return extension == ".CAP" || extension == ".ZIP" || extension == ".JAR";
}

[[noreturn]] void cannotExtract(const std::string& name, const std::string& reason)
{
    throw Error(ErrorKind::CannotExtract, "Cannot extract \"" + name + "\". " + reason);
}

} // namespace

ZipArchive::ZipArchive() = default;

ZipArchive::~ZipArchive()
{
    close();
}

void ZipArchive::open(const std::string& path)
{
    close();
    if (path.empty())
        return;

    const std::string extension = upperAscii(extensionOf(path));
    struct stat info {};
    bool exists = ::stat(path.c_str(), &info) == 0;
    if (!exists && errno != ENOENT && errno != ENOTDIR)
        cannotOpen(path, std::strerror(errno));

    // The extension names the content test; only the names that have one are
    // opened for it. TAR and gzip archives are not read.
    files::FileHandle file;
    ArchiveKind kind = ArchiveKind::NotHandled;
    if (exists && info.st_size > 0 && (isZipExtension(extension) || extension == ".EXE")) {
        file = files::FileHandle(files::openForReading(path, files::Sharing::ReadAndWrite));
        if (!file.valid())
            cannotOpen(path, files::lastErrorText());
        kind = kindByContent(extension, file.get(), info.st_size);
    } else if (!exists || info.st_size == 0) {
        kind = isZipExtension(extension) ? ArchiveKind::Zip : ArchiveKind::NotHandled;
    }
    if (kind == ArchiveKind::NotHandled)
        throw Error(ErrorKind::UnhandledArchiveType, "Unhandled Archive Type");
    if (!isFullPath(path))
        throw Error(ErrorKind::FullPathRequired, "Full Path Required");

    // The CAP file is never created or written: a missing one is an error.
    if (!exists)
        cannotOpen(path, std::strerror(ENOENT));
    if (!file.valid()) {
        file = files::FileHandle(files::openForReading(path, files::Sharing::ReadAndWrite));
        if (!file.valid())
            cannotOpen(path, files::lastErrorText());
    }

    if (info.st_size == 0) {
        // An empty file is an archive with no entries.
        open_ = true;
        return;
    }
    fileSize_ = static_cast<std::uint64_t>(info.st_size);
    auto directory = zip_layout::readCentralDirectory(file.get(), fileSize_);
    // Entries that share bytes are refused before anything is inflated.
    if (directory) {
        if (const auto overlap = zip_layout::findOverlap(*directory))
            throw Error(ErrorKind::Archive, "Entries \"" + overlap->first + "\" and \"" + overlap->second +
                                                "\" overlap in the archive, as in a zip bomb");
    }
    if (files::seekFromStart(file.get(), 0) < 0)
        cannotOpen(path, files::lastErrorText());
    file_ = files::FileHandle(::fcntl(file.get(), F_DUPFD_CLOEXEC, 0));
    int errorCode = 0;
    archive_ = zip_fdopen(file.get(), 0, &errorCode);
    if (archive_ == nullptr) {
        file_.reset();
        throw Error(ErrorKind::Archive, libzipText(errorCode));
    }
    file.release(); // the archive owns the descriptor now
    open_ = true;
    if (directory && static_cast<std::int64_t>(directory->size()) == entryCount())
        directory_ = std::move(*directory);

    // What the entries declare bounds what extracting them costs; an archive
    // that declares more than a CAP file could hold is refused before any of
    // it is inflated.
    std::uint64_t declared = 0;
    const std::int64_t count = entryCount();
    for (std::int64_t index = 0; index < count; ++index) {
        zip_stat_t entry;
        zip_stat_init(&entry);
        if (zip_stat_index(archive_, static_cast<zip_uint64_t>(index), 0, &entry) == 0 &&
            (entry.valid & ZIP_STAT_SIZE) != 0)
            declared += std::min<std::uint64_t>(entry.size, archiveSizeLimit + 1);
        if (declared > archiveSizeLimit) {
            close();
            throw Error(ErrorKind::Archive, "The entries declare more than the " + std::to_string(archiveSizeLimit) +
                                                " bytes allowed for a whole archive, as in a zip bomb");
        }
    }
}

std::int64_t ZipArchive::entryCount() const
{
    return archive_ == nullptr ? 0 : zip_get_num_entries(archive_, 0);
}

std::string ZipArchive::entryName(std::int64_t index) const
{
    const char* name = archive_ == nullptr ? nullptr : zip_get_name(archive_, index, ZIP_FL_ENC_GUESS);
    if (name == nullptr)
        throw Error(ErrorKind::Archive,
                    archive_ == nullptr ? "No archive is open" : libzipText(zip_get_error(archive_)));
    return name;
}

void ZipArchive::extract(std::int64_t index, EntryStream& stream)
{
    const std::string name = entryName(index);
    stream.clear();

    zip_stat_t info;
    zip_stat_init(&info);
    if (zip_stat_index(archive_, index, 0, &info) != 0)
        cannotExtract(name, libzipText(zip_get_error(archive_)));
    if ((info.valid & ZIP_STAT_SIZE) == 0)
        cannotExtract(name, "Its size is not recorded");
    if (info.size > entrySizeLimit)
        cannotExtract(name, "It declares " + std::to_string(info.size) + " bytes, more than the " +
                                std::to_string(entrySizeLimit) + " bytes allowed for an entry");

    // A stored entry's bytes are read as they lie and checked here, with a
    // CRC-32 several times faster than the library's own; every other entry
    // is extracted and checked by the library.
    constexpr zip_uint64_t storedFields =
        ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD | ZIP_STAT_CRC;
    if ((info.valid & storedFields) == storedFields && info.comp_method == ZIP_CM_STORE &&
        info.encryption_method == ZIP_EM_NONE && info.comp_size == info.size &&
        static_cast<std::size_t>(index) < directory_.size() &&
        directory_[static_cast<std::size_t>(index)].compressedSize == info.comp_size) {
        if (const auto start =
                zip_layout::dataOffset(file_.get(), fileSize_, directory_[static_cast<std::size_t>(index)])) {
            readStored(name, *start, info.size, info.crc, stream);
            return;
        }
    }

    zip_file_t* file = zip_fopen_index(archive_, index, 0);
    if (file == nullptr)
        cannotExtract(name, libzipText(zip_get_error(archive_)));

    // Room for one byte more than declared, so that surplus data shows; the
    // read goes on until the library reports the end, which is when it checks
    // the CRC-32.
    const auto declared = static_cast<std::size_t>(info.size);
    stream.resize(declared + 1);
    std::size_t got = 0;
    std::string failure;
    while (got < stream.size()) {
        const zip_int64_t n = zip_fread(file, stream.data() + got, stream.size() - got);
        if (n < 0) {
            failure = libzipText(zip_file_get_error(file));
            break;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    const int closeCode = zip_fclose(file);
    if (failure.empty() && got > declared)
        failure = "It holds more bytes than the " + std::to_string(declared) + " it declares";
    if (failure.empty() && closeCode != 0)
        failure = libzipText(closeCode);
    if (failure.empty() && got < declared)
        failure = "It holds " + std::to_string(got) + " bytes of the " + std::to_string(declared) + " it declares";
    if (!failure.empty()) {
        stream.clear();
        cannotExtract(name, failure);
    }
    stream.resize(got);
}

void ZipArchive::readStored(const std::string& name, std::uint64_t start, std::uint64_t size, std::uint32_t crc,
                            EntryStream& stream)
{
    stream.resize(static_cast<std::size_t>(size));
    const std::int64_t got = files::readBytesAt(file_.get(), stream.data(), stream.size(), start);
    std::string failure;
    if (got < 0)
        failure = files::lastErrorText();
    else if (static_cast<std::uint64_t>(got) < size)
        failure = "It holds " + std::to_string(got) + " bytes of the " + std::to_string(size) + " it declares";
    else if (libdeflate_crc32(0, stream.data(), stream.size()) != crc)
        failure = libzipText(ZIP_ER_CRC);
    if (!failure.empty()) {
        stream.clear();
        cannotExtract(name, failure);
    }
}

void ZipArchive::close()
{
    if (archive_ != nullptr)
        zip_discard(archive_);
    archive_ = nullptr;
    open_ = false;
    directory_.clear();
    file_.reset();
}

} // namespace tolvane
