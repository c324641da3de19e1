#pragma once

// Whether a new version of a library may replace the old one on cards that
// hold packages linked to it: everything the old export file offers is
// still offered, by the same token, with the same type, and no less open.

#include "core/exp/export_file.h"

#include <string>
#include <vector>

namespace tolvane::exp {

// Each way `newer` breaks what `older` offers, a line each; none where
// `newer` may replace it.
std::vector<std::string> replacementBreaks(const ExportFile& older, const ExportFile& newer);

} // namespace tolvane::exp
