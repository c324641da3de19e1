#include "core/error.h"

namespace tolvane {

std::string displayText(const std::string& message)
{
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
        return message + '.';
    return message;
}

} // namespace tolvane
