#include "core/base/error.h"

#include <utility>

namespace tolvane {
namespace {

std::string quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

std::string compose(ErrorKind kind, const std::string& path, const std::string& entry, const std::string& detail)
{
    switch (kind) {
    case ErrorKind::NoCapFile:
        return "No CAP file chosen";
    case ErrorKind::UnhandledArchiveType:
        return "Unhandled Archive Type";
    case ErrorKind::FullPathRequired:
        return "Full Path Required";
    case ErrorKind::CannotOpen:
        return "Cannot open file " + quoted(path) + ". " + detail;
    case ErrorKind::CannotCreate:
        return "Cannot create file " + quoted(path) + ". " + detail;
    case ErrorKind::CannotWrite:
        return "Cannot write file " + quoted(path) + ". " + detail;
    case ErrorKind::Archive:
        return detail;
    case ErrorKind::CannotExtract:
        return "Cannot extract " + quoted(entry) + ". " + detail;
    case ErrorKind::CutOffComponent:
        return "Cut-off component " + quoted(entry) + ": " + detail;
    case ErrorKind::WrongFormat:
        return "Wrong CAP file format";
    case ErrorKind::Settings:
        return "Unable to write to " + path;
    case ErrorKind::NotLoadable:
        return entry.empty() ? detail : "Component " + quoted(entry) + ": " + detail;
    case ErrorKind::ExportFile:
        return "Export file " + quoted(path) + ": " + detail;
    case ErrorKind::Simulation:
        return path.empty() ? detail : path + ": " + detail;
    case ErrorKind::Card:
    case ErrorKind::CardUsage:
    case ErrorKind::Unexpected:
        return detail;
    }
    return detail;
}

} // namespace

Error::Error(ErrorKind kind, std::string path, std::string detail, std::string entry)
    : kind_(kind), path_(std::move(path)), entry_(std::move(entry)), detail_(std::move(detail)),
      message_(compose(kind_, path_, entry_, detail_))
{
}

std::string displayText(const std::string& message)
{
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
        return message + '.';
    return message;
}

std::string displayText(const std::exception& error)
{
    std::string text = displayText(std::string(error.what()));
    if (const auto* known = dynamic_cast<const Error*>(&error))
        for (const auto& line : known->followingLines())
            text += "\n\n" + displayText(line);
    return text;
}

} // namespace tolvane
