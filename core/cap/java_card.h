#pragma once

// What the imported packages say of the platform a CAP file needs: their
// names where the AID is well known, and the oldest Java Card and
// GlobalPlatform releases that provide their versions.

#include <optional>
#include <string>
#include <string_view>

namespace tolvane::cap {

// The package's name for a well-known AID (upper-case hex), else nothing.
std::optional<std::string> wellKnownPackageName(std::string_view aid);

// The oldest Java Card release that provides this version of an API package,
// where the package and version are known.
std::optional<std::string> javaCardReleaseFor(std::string_view aid, unsigned major, unsigned minor);

// Likewise the GlobalPlatform release, for org.globalplatform.
std::optional<std::string> globalPlatformReleaseFor(std::string_view aid, unsigned major, unsigned minor);

// Compares dotted release numbers ("3.0.4" < "3.0.5" < "3.1"): below,
// equal to or above zero.
int compareReleases(std::string_view a, std::string_view b);

// Whether `text` is a release number: digits separated by single dots.
bool isRelease(std::string_view text);

} // namespace tolvane::cap
