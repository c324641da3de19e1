#include "core/runtime/api/api_table.h"

#include <iterator>
#include <stdexcept>
#include <string>

namespace tolvane::runtime {

#include "core/runtime/api/api_table.inc"

const std::size_t apiPackageCount = std::size(apiPackageRows);
const std::size_t apiClassCount = std::size(apiClassRows);
const std::size_t apiMemberCount = std::size(apiMemberRows);

long long apiConstant(std::string_view cls, std::string_view name)
{
    for (const auto& row : apiMemberRows)
        if (row.field && row.hasValue && name == row.name && cls.size() > std::string_view(row.package).size() &&
            cls.substr(0, std::string_view(row.package).size()) == row.package &&
            cls.substr(std::string_view(row.package).size() + 1) == row.cls)
            return row.value;
    throw std::logic_error("the API table has no constant " + std::string(cls) + "." + std::string(name));
}

} // namespace tolvane::runtime
