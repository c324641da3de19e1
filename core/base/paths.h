#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace tolvane {

// The extension of a path: the text of its last path element from the last
// '.' on, or empty when that element has no '.'. Only '/' ends a path element.
std::string_view extensionOf(std::string_view path);

// The path with its extension replaced by `extension` (which includes its
// leading dot), or with `extension` appended when it has none. Gives the IJC
// path of a CAP file and the settings file of the executable.
std::string withExtension(std::string_view path, std::string_view extension);

// The folder a path names its file in, and the file's name there: "." for a
// bare name, "/" for a name at the root.
std::pair<std::string, std::string> folderAndName(std::string_view path);

// A full path names a file without reference to the current folder.
bool isFullPath(std::string_view path);

std::string upperAscii(std::string_view text);
bool endsWithNoCase(std::string_view text, std::string_view suffix);

} // namespace tolvane
