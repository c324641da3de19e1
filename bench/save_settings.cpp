// Saves the window's six settings into a settings file, as closing the window
// does, so that the memory a save takes can be measured on any file.
// Usage: save-settings FILE

#include "core/settings/profile.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("Usage: save-settings FILE\n", stderr);
        return 2;
    }
    const bool saved = tolvane::profile::writeStrings("main",
                                                      {{"MainLeft", "10"},
                                                       {"MainTop", "20"},
                                                       {"MainWidth", "700"},
                                                       {"MainHeight", "500"},
                                                       {"cap_name", "/cards/wallet.cap"},
                                                       {"card_load_order", "0"}},
                                                      argv[1]);
    return saved ? 0 : 1;
}
