// Tolvane: one window to pick a CAP file and convert it to an IJC file.

#include "app/Main_U.h"
#include "app/widgets.h"
#include "core/base/time_zone.h"

#include <QApplication>
#include <QFont>
#include <cstdlib>

int main(int argc, char** argv)
{
    tolvane::nameTheLocalTimeZone();
    QApplication application(argc, argv);
    QApplication::setApplicationName("Tolvane");
    QApplication::setApplicationDisplayName("Tolvane");
    QApplication::setWindowIcon(Artwork::mainIcon());
    // Metric-compatible stand-ins for the window's font families.
    QFont::insertSubstitution("MS Sans Serif", "Liberation Sans");
    QFont::insertSubstitution("Arial Narrow", "Liberation Sans Narrow");

    TMainForm form;
    MainForm = &form;
    form.show();
    const int result = QApplication::exec();
    MainForm = nullptr;
    return result;
}
