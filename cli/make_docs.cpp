// Writes the manual page and the bash completion of tolvane-cli from its
// list of options, at build time.
// Usage: tolvane-cli-docs man|completion OUTFILE

#include "cli/options.h"

#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fputs("Usage: tolvane-cli-docs man|completion OUTFILE\n", stderr);
        return 2;
    }
    const std::string what = argv[1];
    std::ofstream out(argv[2], std::ios::binary);
    if (what == "man")
        out << tolvane::cli::manualPage(TOLVANE_VERSION);
    else if (what == "completion")
        out << tolvane::cli::bashCompletion();
    else
        return 2;
    return out.good() ? 0 : 1;
}
