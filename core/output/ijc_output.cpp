#include "core/output/ijc_output.h"

#include "core/base/error.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tolvane {
namespace {

bool sameFile(const std::string& a, const std::string& b)
{
    struct stat first {
    }, second{};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

[[noreturn]] void cannotCreate(const std::string& path, const std::string& reason)
{
    throw Error(ErrorKind::CannotCreate, path, reason);
}

} // namespace

IjcOutput::IjcOutput(const std::string& ijcPath, const std::string& capPath) : path_(ijcPath)
{
    if (sameFile(ijcPath, capPath))
        cannotCreate(ijcPath, "It is the CAP file itself");

    struct stat info {};
    mode_ = files::newFilePermissions();
    if (::lstat(ijcPath.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode))
            cannotCreate(ijcPath, std::strerror(EISDIR));
        if (S_ISREG(info.st_mode)) {
            // Held, never written: its content is replaced as a whole.
            held_ = files::FileHandle(files::openForReading(ijcPath, files::Sharing::Nobody));
            if (!held_.valid())
                cannotCreate(ijcPath, files::lastErrorText());
            mode_ = info.st_mode & 07777;
        } else if (!S_ISLNK(info.st_mode)) {
            cannotCreate(ijcPath, "Not a regular file");
        }
    }
    if (!content_.begin(ijcPath, files::Links::Replace, mode_, files::Durability::UntilPublished))
        cannotCreate(ijcPath, files::lastErrorText());
}

void IjcOutput::write(Bytes bytes)
{
    if (!content_.write(bytes.data(), bytes.size()))
        cannotWrite();
}

void IjcOutput::commit()
{
    if (!content_.commit())
        cannotWrite();
    done_ = true;
    held_.reset();
}

void IjcOutput::abandon()
{
    if (done_)
        return;
    done_ = true;
    const bool inPlace = content_.writesInPlace();
    if (inPlace)
        content_.write(nullptr, 0); // begins the writing, which empties the file
    content_.discard();
    if (!inPlace) {
        // An empty file takes the IJC path, by the same way as content would.
        files::AtomicFile empty;
        if (empty.begin(path_, files::Links::Replace, mode_, files::Durability::UntilPublished))
            empty.commit();
    }
    held_.reset();
}

void IjcOutput::cannotWrite()
{
    const std::string reason = files::lastErrorText();
    abandon();
    throw Error(ErrorKind::CannotWrite, path_, reason);
}

} // namespace tolvane
