#pragma once

#include <cstdlib>

namespace tolvane {

// The ZIP library turns each entry's time into a calendar time, which
// re-reads the time zone file every time unless TZ names it: named once, it
// is read once. The meaning of local time does not change, and a TZ that the
// user set is kept. Called at the start of each program, before any thread.
inline void nameTheLocalTimeZone()
{
    ::setenv("TZ", ":/etc/localtime", 0);
}

} // namespace tolvane
