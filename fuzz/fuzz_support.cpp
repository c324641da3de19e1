#include "fuzz_support.h"

#include <fstream>
#include <iterator>
#include <unistd.h>

namespace tolvane::fuzz {

const std::string& workDir()
{
    static const std::string dir = [] {
        std::string pattern = "/tmp/tolvane-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            std::abort();
        return pattern;
    }();
    return dir;
}

std::string writeInput(const std::string& name, const std::uint8_t* data, std::size_t size)
{
    const std::string path = workDir() + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    require(static_cast<bool>(out), "the input could be written");
    return path;
}

std::vector<std::uint8_t> readBack(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace tolvane::fuzz
