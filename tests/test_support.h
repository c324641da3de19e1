#pragma once

#include "zip_builder.h"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tolvane::testing {

// A fresh folder for one test, removed with everything in it afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    // The names in the folder, sorted.
    std::vector<std::string> names() const;

private:
    std::filesystem::path path_;
};

void writeFile(const std::string& path, const ByteVector& bytes);
ByteVector readFile(const std::string& path);
bool exists(const std::string& path);

ByteVector concat(const std::vector<ByteVector>& parts);

// Bytes written in hex, spaces allowed ("80 50 30 00"); and bytes as
// upper-case hex, as the card's vectors are written.
ByteVector hexBytes(const char* text);
std::string hexOf(const ByteVector& bytes);

// What a program run to its end gave.
struct ProcessResult {
    std::string out;
    std::string err;
    int status = -1;       // the exit status, or -1 when it did not exit
    bool timedOut = false; // killed after the time bound
    int signal = 0;        // the signal that ended it, if one did
};

// Runs `program` with `arguments` in the folder `cwd`, with no standard input,
// killing it after `seconds`.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::filesystem::path& cwd, int seconds = 60);

// Runs `body` in a child process in which a file can grow to `bytes` at most
// (a write past that fails with EFBIG), and gives back the text it returned.
std::string withFileSizeLimit(unsigned long bytes, const std::function<std::string()>& body);

// The user and group "nobody", for whom permission bits hold.
constexpr unsigned unprivilegedId = 65534;

// Runs `body` in a child process as the unprivileged user (when run as the
// superuser, whom permission bits do not stop), and gives back its text.
std::string asUnprivileged(const std::function<std::string()>& body);

// The shared corpus of real files, when this machine has it.
std::filesystem::path corpusDir();

// Whether a sweep over the whole corpus takes the file `name`: all of them,
// except in the sanitizer builds, which run several times slower and take
// one file in TOLVANE_CORPUS_SAMPLE, chosen by a hash of its name (the same
// as corpus_caps.py's, so that every check takes the same files).
unsigned corpusSample();
bool inCorpusSample(const std::string& name);

// Checks what holds after every conversion that ended normally: the report
// ends as it should, the component lines add up to the total line, and the
// IJC file holds exactly that many bytes.
void expectConsistentReport(const std::vector<std::string>& lines, const ByteVector& ijc);

} // namespace tolvane::testing
