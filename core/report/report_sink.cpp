#include "core/report/report_sink.h"

namespace tolvane {

std::string LineHolder::text() const
{
    std::string result;
    for (const auto& line : lines_) {
        result += line;
        result += '\n';
    }
    return result;
}

} // namespace tolvane
