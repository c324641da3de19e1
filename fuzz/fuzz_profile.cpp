// The settings file's reading: any text as a profile, and any text as an
// integer. A value written into any profile reads back as written.

#include "core/settings/profile.h"
#include "fuzz_support.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tolvane;
    const std::string text(reinterpret_cast<const char*>(data), size);

    (void)profile::parseInteger(text);
    for (const char* key : {"MainLeft", "MainTop", "MainWidth", "MainHeight", "cap_name"})
        (void)profile::findValue(text, "main", key);

    // Written values are single lines without blanks at either end, as the
    // window's values are.
    const std::string value = "/cards/x=1.cap";
    const auto written = profile::withValue(text, "main", "cap_name", value);
    fuzz::require(profile::findValue(written, "main", "cap_name") == value, "a written value reads back");
    const auto rewritten = profile::withValue(written, "main", "cap_name", "2");
    fuzz::require(profile::findValue(rewritten, "main", "cap_name") == "2", "a replaced value reads back");

    // The same text as a value in a settings file on disk.
    if (text.find('\n') == std::string::npos) {
        const auto content = profile::withValue("", "main", "MainLeft", text);
        const std::string path =
            fuzz::writeInput("settings.ini", reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
        (void)profile::readInteger("main", "MainLeft", 100, path);
    }
    return 0;
}
