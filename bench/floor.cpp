// The floor for tolvane-cli over many CAP files: for each one, what any
// converter must do at least, with nothing else. It reads the CAP file whole
// and writes its bytes to a new file beside it (NAME.floor), with plain open,
// read, write and close, one file after another in one process.
// Usage: ijc-floor CAPFILE...

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv)
{
    int status = 0;
    std::vector<char> bytes;
    for (int i = 1; i < argc; ++i) {
        const std::string cap = argv[i];
        const int in = ::open(cap.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (in < 0 || ::fstat(in, &info) != 0) {
            std::perror(cap.c_str());
            status = 1;
            continue;
        }
        bytes.resize(static_cast<std::size_t>(info.st_size));
        const bool read = ::read(in, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        ::close(in);
        const std::string out = cap.substr(0, cap.rfind('.')) + ".floor";
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const bool written = fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        if (fd < 0 || ::close(fd) != 0 || !read || !written) {
            std::perror(out.c_str());
            status = 1;
        }
    }
    return status;
}
