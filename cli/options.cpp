#include "cli/options.h"

#include <array>

namespace tolvane::cli {
namespace {

constexpr std::array<Option, 7> list{{
    {nullptr, "--scan", nullptr,
     "walk the CAP file's local headers instead of reading it as a ZIP archive; for CAP files whose entries are "
     "all stored"},
    {nullptr, "--load-file", nullptr,
     "write the load file that card loaders send: the components in the reference load order, without Debug, "
     "after checking them as a card would"},
    {nullptr, "--check", nullptr, "check each CAP file as --load-file does and report, writing nothing"},
    {nullptr, "--no-descriptor", nullptr, "with --load-file or --check, leave the Descriptor component out"},
    {nullptr, "--json", nullptr, "write one JSON object per CAP file (JSON Lines) instead of the text report"},
    {"-h", "--help", nullptr, "show this help and exit"},
    {nullptr, "--version", nullptr, "show the version and exit"},
}};

// Words of `text` in lines of at most `width` characters, each after `indent`.
std::string wrapped(const std::string& text, std::size_t indent, std::size_t width)
{
    std::string out, line;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find(' ', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string word = text.substr(start, end - start);
        if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
            out += line + "\n" + std::string(indent, ' ');
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        start = end + 1;
    }
    return out + line + "\n";
}

} // namespace

std::span<const Option> options()
{
    return list;
}

std::string helpText()
{
    std::string text = "Usage: tolvane-cli [OPTION]... CAPFILE...\n"
                       "Convert each CAP file to an IJC file beside it (the same name, ending in .ijc).\n"
                       "\n"
                       "The conversion report goes to standard output; an error goes to standard\n"
                       "error and the next CAP file is converted all the same.\n"
                       "\n"
                       "Options:\n";
    constexpr std::size_t column = 24;
    for (const auto& option : list) {
        std::string names = "  ";
        names += option.shortName != nullptr ? std::string(option.shortName) + ", " : "    ";
        names += option.longName;
        if (option.argument != nullptr)
            names += std::string(" ") + option.argument;
        names += names.size() < column ? std::string(column - names.size(), ' ') : "\n" + std::string(column, ' ');
        text += names + wrapped(option.help, column, 79);
    }
    text += "  --                    treat every later argument as a CAP file\n"
            "\n"
            "Exit status: 0 if every file converted (or checked), 1 if any failed,\n"
            "2 for a usage error.\n";
    return text;
}

} // namespace tolvane::cli
