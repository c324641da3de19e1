#include "core/zip/archive.h"

#include "core/base/error.h"
#include "core/base/file_layer.h"
#include "core/base/paths.h"
#include "core/zip/layout.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <libdeflate.h>
#include <optional>
#include <sys/stat.h>
#include <tuple>
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
    throw Error(ErrorKind::CannotOpen, fullPathOf(path), reason);
}

// The first bytes of a ZIP archive spanned over several files, or of a single
// part written as though it were one.
bool beginsWithSpanningMarker(const std::array<std::uint8_t, 4>& head)
{
    return head[0] == 'P' && head[1] == 'K' && ((head[2] == 7 && head[3] == 8) || (head[2] == '0' && head[3] == '0'));
}

// The content test: does the file, whose name gives `extension`, hold a ZIP
// archive of that kind?
ArchiveKind kindByContent(const std::string& extension, Bytes file)
{
    std::array<std::uint8_t, 4> head{};
    std::copy_n(file.begin(), std::min<std::size_t>(file.size(), head.size()), head.begin());
    const bool endRecord = zip::findEndOfCentralDirectory(file).has_value();
    if (extension == ".CAP" || extension == ".ZIP" || extension == ".JAR") {
        // A spanning marker is left for the ZIP library to accept or refuse.
        if (beginsWithSpanningMarker(head) || endRecord)
            return ArchiveKind::Zip;
        return ArchiveKind::NotHandled;
    }
    if (extension == ".EXE" && head[0] == 'M' && head[1] == 'Z' && endRecord)
        return ArchiveKind::Zip;
    return ArchiveKind::NotHandled;
}

bool isZipExtension(const std::string& extension)
{
    return extension == ".CAP" || extension == ".ZIP" || extension == ".JAR";
}

// An entry opened for reading through the library, closed on every way out.
// A window of a stored entry's bytes, as the library locates them.
class EntryPart {
public:
    EntryPart(zip_t* archive, std::int64_t index, std::uint64_t start, std::uint64_t length)
    {
        zip_error_init(&error_);
        source_ = zip_source_zip(archive, archive, static_cast<zip_uint64_t>(index), 0, start,
                                 static_cast<zip_int64_t>(length));
        if (source_ == nullptr) {
            zip_error_set(&error_, zip_error_code_zip(zip_get_error(archive)),
                          zip_error_code_system(zip_get_error(archive)));
        } else if (zip_source_open(source_) != 0) {
            zip_error_set(&error_, zip_error_code_zip(zip_source_error(source_)),
                          zip_error_code_system(zip_source_error(source_)));
        } else {
            opened_ = true;
        }
    }
    ~EntryPart()
    {
        if (opened_)
            zip_source_close(source_);
        if (source_ != nullptr)
            zip_source_free(source_);
        zip_error_fini(&error_);
    }
    EntryPart(const EntryPart&) = delete;
    EntryPart& operator=(const EntryPart&) = delete;

    // Reads the part into `into`, which has room for `length` bytes; the
    // count read, or the library's reason for failing.
    std::pair<std::size_t, std::string> readInto(std::uint8_t* into, std::size_t length)
    {
        if (!opened_)
            return {0, libzipText(&error_)};
        std::size_t got = 0;
        while (got < length) {
            const zip_int64_t n = zip_source_read(source_, into + got, length - got);
            if (n < 0)
                return {got, libzipText(zip_source_error(source_))};
            if (n == 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        return {got, {}};
    }

private:
    zip_source_t* source_ = nullptr;
    zip_error_t error_;
    bool opened_ = false;
};

// The bytes of a stored entry, as the library locates them, without the
// library's CRC-32 (zlib's, several times slower than libdeflate's, with which
// the caller checks them). The library checks a whole entry read at once, so
// it is read as two parts: all but its last byte, then that byte.
std::pair<std::size_t, std::string> readStored(zip_t* archive, std::int64_t index, std::size_t size,
                                               EntryStream& stream)
{
    const std::size_t split = size > 1 ? size - 1 : size;
    std::size_t got = 0;
    for (const auto& [start, length] : {std::pair{std::size_t{0}, split}, std::pair{split, size - split}}) {
        if (length == 0)
            continue;
        EntryPart part(archive, index, start, length);
        const auto [read, failure] = part.readInto(stream.data() + start, length);
        got += read;
        if (!failure.empty() || read < length)
            return {got, failure};
    }
    return {got, {}};
}

class EntryReader {
public:
    EntryReader(zip_t* archive, std::int64_t index, zip_flags_t flags)
        : file_(zip_fopen_index(archive, static_cast<zip_uint64_t>(index), flags))
    {
    }
    ~EntryReader()
    {
        if (file_ != nullptr)
            zip_fclose(file_);
    }
    EntryReader(const EntryReader&) = delete;
    EntryReader& operator=(const EntryReader&) = delete;

    bool isOpen() const { return file_ != nullptr; }

    struct Result {
        std::size_t got = 0;
        std::string readFailure; // the library's reason, when a read failed
        int closeCode = 0;       // the library's verdict on closing
    };

    // Reads into `stream` until it is full or the entry ends, then closes the
    // entry, which is when the library checks what it inflated.
    Result readInto(EntryStream& stream)
    {
        Result result;
        while (result.got < stream.size()) {
            const zip_int64_t n = zip_fread(file_, stream.data() + result.got, stream.size() - result.got);
            if (n < 0) {
                result.readFailure = libzipText(zip_file_get_error(file_));
                break;
            }
            if (n == 0)
                break;
            result.got += static_cast<std::size_t>(n);
        }
        result.closeCode = zip_fclose(std::exchange(file_, nullptr));
        return result;
    }

private:
    zip_file_t* file_;
};

} // namespace

ZipArchive::ZipArchive() = default;

ZipArchive::~ZipArchive()
{
    close();
}

void ZipArchive::open(const std::string& path)
{
    close();
    path_ = path;
    if (path.empty())
        return;

    const std::string extension = upperAscii(extensionOf(path));
    // Opened at once, as it nearly always can be; where it cannot, its status
    // decides which rule refuses it.
    struct stat info {};
    files::FileHandle file(files::openForReading(path, files::Sharing::ReadAndWrite, &info));
    bool exists = file.valid();
    if (!exists) {
        exists = ::stat(path.c_str(), &info) == 0;
        if (!exists && errno != ENOENT && errno != ENOTDIR)
            cannotOpen(path, std::strerror(errno));
    }

    // The extension names the content test; only the names that have one are
    // read for it. TAR and gzip archives are not read.
    ArchiveKind kind = ArchiveKind::NotHandled;
    if (exists && info.st_size > 0 && (isZipExtension(extension) || extension == ".EXE")) {
        readWhole(path, file, info);
        kind = kindByContent(extension, bytes_);
    } else if (!exists || info.st_size == 0) {
        kind = isZipExtension(extension) ? ArchiveKind::Zip : ArchiveKind::NotHandled;
    }
    if (kind == ArchiveKind::NotHandled)
        throw Error(ErrorKind::UnhandledArchiveType, path);
    if (!isFullPath(path))
        throw Error(ErrorKind::FullPathRequired, path);

    // The CAP file is never created or written: a missing one is an error.
    if (!exists)
        cannotOpen(path, std::strerror(ENOENT));
    if (info.st_size == 0) {
        // An empty file is an archive with no entries, if it can be opened.
        readWhole(path, file, info);
        open_ = true;
        return;
    }

    openBytes();
}

void ZipArchive::open(const std::string& path, FileBytes bytes)
{
    close();
    path_ = path;
    const std::string extension = upperAscii(extensionOf(path));
    ArchiveKind kind = ArchiveKind::NotHandled;
    if (!bytes.empty() && (isZipExtension(extension) || extension == ".EXE"))
        kind = kindByContent(extension, bytes);
    else if (bytes.empty())
        kind = isZipExtension(extension) ? ArchiveKind::Zip : ArchiveKind::NotHandled;
    if (kind == ArchiveKind::NotHandled)
        throw Error(ErrorKind::UnhandledArchiveType, path);
    if (!isFullPath(path))
        throw Error(ErrorKind::FullPathRequired, path);
    bytes_ = std::move(bytes);
    if (bytes_.empty()) {
        open_ = true;
        return;
    }
    openBytes();
}

void ZipArchive::openBytes()
{
    checkLayout();
    // The library reads the bytes already in memory: no file is read twice,
    // and extracting an entry costs no system call.
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(bytes_.data(), bytes_.size(), 0, &error);
    if (source != nullptr) {
        archive_ = zip_open_from_source(source, ZIP_RDONLY, &error);
        if (archive_ == nullptr)
            zip_source_free(source);
    }
    if (archive_ == nullptr) {
        const std::string reason = libzipText(&error);
        zip_error_fini(&error);
        throw Error(ErrorKind::Archive, path_, reason);
    }
    zip_error_fini(&error);
    open_ = true;
    checkDeclaredSizes();
}

void ZipArchive::readWhole(const std::string& path, files::FileHandle& file, const struct stat& info)
{
    if (!file.valid())
        cannotOpen(path, files::lastErrorText());
    // Reading it whole keeps the cost of an archive bounded, as its entries'
    // declared sizes are.
    bytes_ = readWholeFile(file.get(), static_cast<std::uint64_t>(info.st_size), path);
    file.reset();
}

void ZipArchive::checkLayout()
{
    // The project's own reading of the directory serves this check alone: the
    // bytes of every entry are the ones the library locates.
    if (const auto directory = zip::readCentralDirectory(bytes_)) {
        if (const auto overlap = zip::findOverlap(*directory))
            throw Error(ErrorKind::Archive, path_,
                        "Entries \"" + overlap->first + "\" and \"" + overlap->second +
                            "\" overlap in the archive, as in a zip bomb");
    }
}

void ZipArchive::checkDeclaredSizes()
{
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
            const std::string path = path_;
            close();
            throw Error(ErrorKind::Archive, path,
                        "The entries declare more than the " + std::to_string(archiveSizeLimit) +
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
    const char* name =
        archive_ == nullptr ? nullptr : zip_get_name(archive_, static_cast<zip_uint64_t>(index), ZIP_FL_ENC_GUESS);
    if (name == nullptr)
        throw Error(ErrorKind::Archive, path_,
                    archive_ == nullptr ? "No archive is open" : libzipText(zip_get_error(archive_)));
    return name;
}

void ZipArchive::extract(std::int64_t index, EntryStream& stream)
{
    const std::string name = entryName(index);
    const auto cannotExtract = [&](const std::string& reason) {
        stream.clear();
        throw Error(ErrorKind::CannotExtract, path_, reason, name);
    };
    stream.clear();

    zip_stat_t info;
    zip_stat_init(&info);
    if (zip_stat_index(archive_, static_cast<zip_uint64_t>(index), 0, &info) != 0)
        cannotExtract(libzipText(zip_get_error(archive_)));
    if ((info.valid & ZIP_STAT_SIZE) == 0)
        cannotExtract("Its size is not recorded");
    if (info.size > entrySizeLimit)
        cannotExtract("It declares " + std::to_string(info.size) + " bytes, more than the " +
                      std::to_string(entrySizeLimit) + " bytes allowed for an entry");

    // A stored entry's bytes are read as the library locates them, without
    // its CRC layer, and checked here with a CRC-32 several times faster than
    // the library's own; every other entry is extracted and checked by the
    // library.
    constexpr zip_uint64_t storedFields =
        ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD | ZIP_STAT_CRC;
    const bool stored = (info.valid & storedFields) == storedFields && info.comp_method == ZIP_CM_STORE &&
                        info.encryption_method == ZIP_EM_NONE && info.comp_size == info.size;

    // Room for one byte more than declared, so that surplus data shows.
    const auto declared = static_cast<std::size_t>(info.size);
    stream.resize(declared + 1);
    std::string failure;
    std::size_t got = 0;
    if (stored && declared > 0) {
        std::tie(got, failure) = readStored(archive_, index, declared, stream);
    } else {
        EntryReader reader(archive_, index, 0);
        if (!reader.isOpen())
            cannotExtract(libzipText(zip_get_error(archive_)));
        const auto result = reader.readInto(stream);
        got = result.got;
        failure = result.readFailure;
        if (failure.empty() && got > declared)
            failure = "It holds more bytes than the " + std::to_string(declared) + " it declares";
        if (failure.empty() && result.closeCode != 0)
            failure = libzipText(result.closeCode);
    }
    if (failure.empty() && got < declared)
        failure = "It holds " + std::to_string(got) + " bytes of the " + std::to_string(declared) + " it declares";
    stream.resize(got);
    if (failure.empty() && stored && libdeflate_crc32(0, stream.data(), stream.size()) != info.crc)
        failure = libzipText(ZIP_ER_CRC);
    if (!failure.empty())
        cannotExtract(failure);
}

void ZipArchive::close()
{
    if (archive_ != nullptr)
        zip_discard(archive_);
    archive_ = nullptr;
    open_ = false;
    if (!bytes_.empty())
        lastBytes_ = std::exchange(bytes_, {});
}

} // namespace tolvane
