#include "core/convert/cap_writer.h"

#include "core/base/error.h"
#include "core/base/owned.h"

#include <zip.h>

namespace tolvane {
namespace {

// An AID as manifests write it: 0xa0:0x00:...
std::string manifestAid(const std::string& hex)
{
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += (out.empty() ? "0x" : ":0x");
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(hex[i])));
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(hex[i + 1])));
    }
    return out;
}

// A manifest line, folded at 72 bytes as the JAR format wants.
void addLine(std::string& manifest, const std::string& line)
{
    std::size_t at = 0, width = 72;
    while (line.size() - at > width) {
        manifest += line.substr(at, width) + "\r\n ";
        at += width;
        width = 71;
    }
    manifest += line.substr(at) + "\r\n";
}

std::string manifestOf(const LoadFile& file, const CapFileLayout& layout)
{
    const auto version = [](unsigned major, unsigned minor) {
        return std::to_string(major) + "." + std::to_string(minor);
    };
    std::string manifest;
    addLine(manifest, "Manifest-Version: 1.0");
    addLine(manifest, "Created-By: Tolvane");
    manifest += "\r\n";
    addLine(manifest, "Name: " + layout.packagePath);
    addLine(manifest, "Java-Card-CAP-File-Version: " + version(file.capMajor, file.capMinor));
    addLine(manifest, "Java-Card-Package-AID: " + manifestAid(file.packageAid));
    addLine(manifest, "Java-Card-Package-Version: " + version(file.packageMajor, file.packageMinor));
    if (!file.packageName.empty()) {
        std::string dotted = file.packageName;
        for (char& c : dotted)
            c = c == '/' ? '.' : c;
        addLine(manifest, "Java-Card-Package-Name: " + dotted);
    }
    for (std::size_t i = 0; i < file.applets.size(); ++i)
        addLine(manifest, "Java-Card-Applet-" + std::to_string(i + 1) + "-AID: " + manifestAid(file.applets[i]));
    for (std::size_t i = 0; i < file.imports.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        addLine(manifest, "Java-Card-Imported-Package-" + n + "-AID: " + manifestAid(file.imports[i].aid));
        addLine(manifest, "Java-Card-Imported-Package-" + n +
                              "-Version: " + version(file.imports[i].major, file.imports[i].minor));
    }
    manifest += "\r\n";
    return manifest;
}

// A libzip error, freed on every way out.
class ZipError {
public:
    ZipError() { zip_error_init(&error_); }
    ~ZipError() { zip_error_fini(&error_); }
    ZipError(const ZipError&) = delete;
    ZipError& operator=(const ZipError&) = delete;
    zip_error_t* get() { return &error_; }
    std::string text() { return zip_error_strerror(&error_); }

private:
    zip_error_t error_;
};

} // namespace

CapFileLayout capFileLayout(const LoadFile& file, const std::string& given)
{
    if (!given.empty())
        return {given, false};
    if (!file.packageName.empty())
        return {file.packageName, false};
    return {"aid/" + file.packageAid, true};
}

std::vector<std::uint8_t> capFileBytes(const LoadFile& file, const std::vector<CapEntry>& entries,
                                       const CapFileLayout& layout, const std::string& capPath)
{
    const auto failed = [&](const std::string& what, const std::string& reason) {
        throw Error(ErrorKind::CannotCreate, capPath, "The CAP file could not be made (" + what + "): " + reason);
    };
    const std::string manifest = manifestOf(file, layout);
    ZipError error;
    // The archive is made in memory, then written by the caller as every
    // output is; `target` outlives the archive, which would free it.
    Owned<zip_source_t, zip_source_free> target(zip_source_buffer_create(nullptr, 0, 0, error.get()));
    if (!target)
        failed("buffer", error.text());
    zip_source_keep(target.get());
    Owned<zip_t, zip_discard> archive(zip_open_from_source(target.get(), ZIP_TRUNCATE, error.get()));
    if (!archive)
        failed("open", error.text());
    const auto add = [&](const std::string& name, const void* data, std::size_t size) {
        Owned<zip_source_t, zip_source_free> source(zip_source_buffer(archive.get(), data, size, 0));
        const zip_int64_t index =
            !source ? -1 : zip_file_add(archive.get(), name.c_str(), source.get(), ZIP_FL_ENC_UTF_8);
        if (index < 0)
            failed("entry " + name, zip_strerror(archive.get()));
        source.release(); // the archive owns it now
        zip_set_file_compression(archive.get(), static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 9);
        // A fixed time, so that the same input gives the same bytes.
        zip_file_set_dostime(archive.get(), static_cast<zip_uint64_t>(index), 0, 0x21, 0);
    };
    add("META-INF/MANIFEST.MF", manifest.data(), manifest.size());
    for (const auto& entry : entries)
        add(layout.packagePath + "/javacard/" + entry.name, entry.bytes.data(), entry.bytes.size());
    if (zip_close(archive.get()) != 0)
        failed("close", zip_strerror(archive.get()));
    archive.release(); // closed, and so freed
    std::vector<std::uint8_t> bytes;
    zip_stat_t stat;
    zip_stat_init(&stat);
    if (zip_source_stat(target.get(), &stat) == 0 && zip_source_open(target.get()) == 0) {
        bytes.resize(stat.size);
        const zip_int64_t got = zip_source_read(target.get(), bytes.data(), bytes.size());
        zip_source_close(target.get());
        bytes.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    }
    if (bytes.empty())
        failed("read back", zip_error_strerror(zip_source_error(target.get())));
    return bytes;
}

} // namespace tolvane
