#pragma once

// What the window asks of the desktop around it.

#include <QString>

namespace Desktop {

// Shows the file at `path` in the file manager, selected: through the file
// manager's D-Bus interface where one answers on the session bus, else by
// opening its folder as the desktop opens folders. False when neither worked.
bool showInFolder(const QString& path);

} // namespace Desktop
