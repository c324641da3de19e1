#pragma once

// Where export files are found: folders laid out as an SDK's
// api_export_files (PATH/javacard/framework/javacard/framework.exp), and
// JAR or ZIP files holding such folders, possibly one per release
// (api_export_files_3.1.0/...). Which export file serves an imported package
// is decided by its AID and version, never by its file's name.

#include "core/exp/export_file.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tolvane::exp {

// The bytes of the export file at `path`. Throws Error (CannotOpen) where
// it cannot be read, and (ExportFile) where it is far larger than any export
// file is.
std::vector<std::uint8_t> exportFileBytes(const std::string& path);

class ExportPath {
public:
    ExportPath() = default;
    // Each a folder or a JAR or ZIP file; colon-separated lists are split.
    // Nothing is read until a package is looked for.
    explicit ExportPath(const std::vector<std::string>& entries);

    // `$JC_HOME/api_export_files`, where JC_HOME is set.
    static std::optional<std::string> fromEnvironment();

    bool empty() const { return entries_.empty(); }
    const std::vector<std::string>& entries() const { return entries_; }

    struct Found {
        std::shared_ptr<const ExportFile> file;
        std::string source; // the file, or ARCHIVE:ENTRY
    };
    struct Lookup {
        std::optional<Found> found;     // same AID and major version, minor at least the one asked for
        std::optional<PackageId> older; // otherwise, the newest of the same major version found
    };
    // The export file for the package with `aid` at `major`.`minor`: the
    // version closest above it, and of those the newest release's. Throws
    // Error (ExportFile) where the file chosen cannot be read.
    Lookup find(const std::vector<std::uint8_t>& aid, unsigned major, unsigned minor) const;

    // What could not be looked at, each a line saying why.
    const std::vector<std::string>& problems() const;

private:
    struct Candidate {
        PackageId package;
        std::string source, release; // release: from an archive's api_export_files_<release>/
        std::vector<std::uint8_t> bytes;
    };
    void index() const;
    void add(std::vector<std::uint8_t> bytes, const std::string& source, const std::string& release) const;

    std::vector<std::string> entries_;
    mutable bool indexed_ = false;
    mutable std::vector<Candidate> candidates_;
    mutable std::vector<std::string> problems_;
    mutable std::map<std::string, std::shared_ptr<const ExportFile>> read_;
};

} // namespace tolvane::exp
