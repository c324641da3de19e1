#pragma once

// What the tests over corpus files share: a corpus file's entries, whether
// the corpus is there (under CI it must be), and export files made to meet
// a corpus file's references, written where an export path finds them.

#include "core/cap/load_file.h"
#include "core/exp/export_file.h"

#include <filesystem>
#include <string>
#include <vector>

namespace tolvane {

std::vector<CapEntry> corpusEntries(const std::string& path);
bool haveCorpus(const std::string& path);

// Export files that a corpus file's references meet exactly: each imported
// package's classes, with the members the file uses, typed as it types
// them. Made from the file itself, so that spoiling one thing in them
// must make the checks find that thing.
std::vector<exp::ExportFile> exportsMeeting(const cap::Package& package);

// Writes each file as FOLDER/p<i>/javacard/p.exp, as an export path finds it.
void writeExports(const std::filesystem::path& folder, const std::vector<exp::ExportFile>& files);

} // namespace tolvane
