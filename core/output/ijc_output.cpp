#include "core/output/ijc_output.h"

#include "core/base/error.h"

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
    held_ = files::FileHandle(files::createForReadWrite(ijcPath, files::Sharing::Nobody));
    if (!held_.valid())
        cannotCreate(ijcPath, files::lastErrorText());
    if (!content_.open(ijcPath, files::permissionsOf(held_.get()), files::Durability::UntilRenamed))
        cannotCreate(ijcPath, files::lastErrorText());
}

void IjcOutput::write(Bytes bytes)
{
    if (!content_.write(bytes.data(), bytes.size()))
        cannotWrite();
}

void IjcOutput::commit()
{
    // The IJC file is empty by now, so the content is moved into a free name
    // rather than over the file: replacing a file makes ext4 write the new
    // data out at once, which costs more than the whole conversion.
    ::unlink(path_.c_str());
    if (!content_.commit()) {
        // Leave the IJC file as creation made it: there, and empty.
        files::FileHandle(::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
        cannotWrite();
    }
    held_.reset();
}

void IjcOutput::abandon()
{
    content_.discard();
    held_.reset();
}

void IjcOutput::cannotWrite() const
{
    throw Error(ErrorKind::CannotWrite, path_, files::lastErrorText());
}

} // namespace tolvane
