#include "core/exp/export_path.h"

#include "core/base/error.h"
#include "core/cap/java_card.h"
#include "core/zip/archive.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tolvane::exp {
namespace {

// The SDKs' largest export file is a few tens of kilobytes: anything far
// past that is not one, and is not read.
constexpr std::uintmax_t largestExportFile = 1u << 20;
// Files looked at under one folder, at most: an SDK holds a few hundred.
constexpr std::size_t mostFiles = 20000;

bool endsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// An SDK's layout: .../javacard/<name>.exp.
bool laidOutAsExportFile(const std::string& path)
{
    if (!endsWith(path, ".exp"))
        return false;
    const auto slash = path.rfind('/');
    return slash != std::string::npos && slash >= 8 && path.compare(slash - 8, 9, "javacard/") == 0;
}

} // namespace

std::vector<std::uint8_t> exportFileBytes(const std::string& path)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error)
        throw Error(ErrorKind::CannotOpen, path, error.message());
    if (size > largestExportFile)
        throw Error(ErrorKind::ExportFile, path, "it is too large for an export file");
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad() || bytes.size() != size)
        throw Error(ErrorKind::CannotOpen, path, "It cannot be read");
    return bytes;
}

ExportPath::ExportPath(const std::vector<std::string>& entries)
{
    for (const auto& entry : entries) {
        std::size_t start = 0;
        for (;;) {
            const auto colon = entry.find(':', start);
            const std::string part =
                entry.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
            if (!part.empty())
                entries_.push_back(part);
            if (colon == std::string::npos)
                break;
            start = colon + 1;
        }
    }
}

std::optional<std::string> ExportPath::fromEnvironment()
{
    const char* home = std::getenv("JC_HOME");
    if (home == nullptr || *home == '\0')
        return std::nullopt;
    return std::string(home) + "/api_export_files";
}

void ExportPath::add(std::vector<std::uint8_t> bytes, const std::string& source, const std::string& release) const
{
    try {
        candidates_.push_back({readExportPackage(bytes, source), source, release, std::move(bytes)});
    } catch (const Error& error) {
        problems_.push_back(error.message());
    }
}

void ExportPath::index() const
{
    if (indexed_)
        return;
    indexed_ = true;
    namespace fs = std::filesystem;
    for (const auto& entry : entries_) {
        std::error_code error;
        const auto status = fs::status(entry, error);
        if (fs::is_directory(status)) {
            std::size_t seen = 0;
            for (fs::recursive_directory_iterator it(entry, fs::directory_options::skip_permission_denied, error), end;
                 !error && it != end && seen < mostFiles; it.increment(error), ++seen) {
                const std::string path = it->path().string();
                if (!laidOutAsExportFile(path) || !it->is_regular_file(error))
                    continue;
                try {
                    add(exportFileBytes(path), path, {});
                } catch (const Error& unread) {
                    problems_.push_back(unread.message());
                }
            }
            if (error)
                problems_.push_back("the folder " + entry + " cannot be read: " + error.message());
        } else if (fs::is_regular_file(status)) {
            try {
                ZipArchive archive;
                archive.open(entry);
                for (std::int64_t i = 0; i < archive.entryCount(); ++i) {
                    const std::string name = archive.entryName(i);
                    if (!laidOutAsExportFile("/" + name))
                        continue;
                    EntryStream stream;
                    archive.extract(i, stream);
                    std::string release;
                    if (name.rfind("api_export_files_", 0) == 0)
                        release = name.substr(17, name.find('/') - 17);
                    add(std::vector<std::uint8_t>(stream.begin(), stream.end()), entry + ":" + name, release);
                }
            } catch (const Error& error) {
                problems_.push_back(error.message());
            }
        } else if (!fs::exists(status)) {
            problems_.push_back(entry + " does not exist");
        } else {
            problems_.push_back(entry + " is neither a folder nor a JAR or ZIP file");
        }
    }
}

const std::vector<std::string>& ExportPath::problems() const
{
    index();
    return problems_;
}

ExportPath::Lookup ExportPath::find(const std::vector<std::uint8_t>& aid, unsigned major, unsigned minor) const
{
    index();
    const Candidate* best = nullptr;
    const Candidate* older = nullptr;
    for (const auto& candidate : candidates_) {
        const PackageId& p = candidate.package;
        if (p.aid != aid || p.major != major)
            continue;
        if (p.minor < minor) {
            if (older == nullptr || p.minor > older->package.minor)
                older = &candidate;
            continue;
        }
        // The version nearest the one imported, so that a token a later
        // version added is not taken for one the imported version has; of
        // equals, the newest release's.
        if (best == nullptr || p.minor < best->package.minor ||
            (p.minor == best->package.minor && cap::compareReleases(candidate.release, best->release) > 0))
            best = &candidate;
    }
    Lookup lookup;
    if (best != nullptr) {
        auto& file = read_[best->source];
        if (!file)
            file = std::make_shared<const ExportFile>(readExportFile(best->bytes, best->source));
        lookup.found = Found{file, best->source};
    } else if (older != nullptr) {
        lookup.older = older->package;
    }
    return lookup;
}

} // namespace tolvane::exp
