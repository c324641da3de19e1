#include "test_support.h"

#include "core/base/hex.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <iterator>
#include <regex>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tolvane::testing {

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tolvane-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> TempDir::names() const
{
    std::vector<std::string> result;
    for (const auto& item : std::filesystem::directory_iterator(path_))
        result.push_back(item.path().filename().string());
    std::sort(result.begin(), result.end());
    return result;
}

void writeFile(const std::string& path, const ByteVector& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

ByteVector readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return ByteVector(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path)
{
    return std::filesystem::exists(path);
}

ByteVector hexBytes(const char* text)
{
    return *bytesFromHex(text, HexSpaces::Ignored);
}

std::string hexOf(const ByteVector& bytes)
{
    return hexText(bytes, HexCase::Upper);
}

ByteVector concat(const std::vector<ByteVector>& parts)
{
    ByteVector result;
    for (const auto& part : parts)
        result.insert(result.end(), part.begin(), part.end());
    return result;
}

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const std::filesystem::path& cwd, int seconds)
{
    TempDir capture;
    const auto outPath = capture.file("stdout");
    const auto errPath = capture.file("stderr");
    const pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (::chdir(cwd.c_str()) != 0)
            ::_exit(127);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ProcessResult result;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const auto out = readFile(outPath);
    const auto err = readFile(errPath);
    result.out.assign(out.begin(), out.end());
    result.err.assign(err.begin(), err.end());
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
}

namespace {

// Runs `prepare`, then `body`, in a child process, and gives back the text
// `body` returned.
std::string inChild(const std::function<void()>& prepare, const std::function<std::string()>& body)
{
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0) {
        ::close(pipeEnds[0]);
        prepare();
        const std::string result = body();
        [[maybe_unused]] const auto written = ::write(pipeEnds[1], result.data(), result.size());
        ::_exit(0);
    }
    ::close(pipeEnds[1]);
    std::string result;
    char chunk[512];
    for (ssize_t got; (got = ::read(pipeEnds[0], chunk, sizeof chunk)) > 0;)
        result.append(chunk, static_cast<std::size_t>(got));
    ::close(pipeEnds[0]);
    ::waitpid(child, nullptr, 0);
    return result;
}

} // namespace

std::string withFileSizeLimit(unsigned long bytes, const std::function<std::string()>& body)
{
    return inChild(
        [bytes] {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{bytes, bytes};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        },
        body);
}

std::string asUnprivileged(const std::function<std::string()>& body)
{
    return inChild(
        [] {
            if (::geteuid() != 0)
                return;
            if (::setgroups(0, nullptr) != 0 || ::setgid(unprivilegedId) != 0 || ::setuid(unprivilegedId) != 0)
                ::_exit(1);
        },
        body);
}

std::filesystem::path corpusDir()
{
    if (const char* dir = std::getenv("TOLVANE_CORPUS_DIR"))
        return dir;
    return TOLVANE_DEFAULT_CORPUS_DIR;
}

unsigned corpusSample()
{
    return TOLVANE_CORPUS_SAMPLE;
}

bool inCorpusSample(const std::string& name)
{
    std::uint32_t hash = 2166136261u; // FNV-1a
    for (const char c : name) {
        hash ^= static_cast<std::uint8_t>(c);
        hash *= 16777619u;
    }
    return hash % corpusSample() == 0;
}

void expectConsistentReport(const std::vector<std::string>& lines, const ByteVector& ijc)
{
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[lines.size() - 1], "Done.");
    EXPECT_EQ(lines[lines.size() - 2], "");
    EXPECT_EQ(lines[lines.size() - 4], " ---");

    const std::regex componentLine(R"(^(\d+)\. .* (\d+) bytes$)");
    const std::regex totalLine(R"(^ Total IJC: (\d+) bytes$)");
    unsigned long long sum = 0;
    std::smatch match;
    for (std::size_t i = 0; i + 3 < lines.size(); ++i) {
        if (lines[i].rfind("CAP file name: ", 0) != 0 && std::regex_match(lines[i], match, componentLine))
            sum += std::stoull(match[2]);
    }
    ASSERT_TRUE(std::regex_match(lines[lines.size() - 3], match, totalLine)) << lines[lines.size() - 3];
    EXPECT_EQ(std::stoull(match[1]), sum);
    EXPECT_EQ(ijc.size(), sum);
}

} // namespace tolvane::testing
