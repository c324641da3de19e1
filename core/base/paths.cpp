#include "core/base/paths.h"

#include <algorithm>

namespace tolvane {

std::string_view extensionOf(std::string_view path)
{
    const auto dot = path.rfind('.');
    if (dot == std::string_view::npos)
        return {};
    if (path.find('/', dot) != std::string_view::npos)
        return {};
    return path.substr(dot);
}

std::pair<std::string, std::string> folderAndName(std::string_view path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return {".", std::string(path)};
    return {slash == 0 ? "/" : std::string(path.substr(0, slash)), std::string(path.substr(slash + 1))};
}

std::string withExtension(std::string_view path, std::string_view extension)
{
    std::string result(path.substr(0, path.size() - extensionOf(path).size()));
    result += extension;
    return result;
}

bool isFullPath(std::string_view path)
{
    return !path.empty() && path.front() == '/';
}

std::string upperAscii(std::string_view text)
{
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; });
    return result;
}

bool endsWithNoCase(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() && upperAscii(text.substr(text.size() - suffix.size())) == upperAscii(suffix);
}

} // namespace tolvane
