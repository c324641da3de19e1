// Tolvane: one window to pick a CAP file and convert it to an IJC file.

#include "app/Main_U.h"
#include "app/widgets.h"

#include <QApplication>
#include <QFont>
#include <cstdlib>

int main(int argc, char** argv)
{
    // The ZIP library turns each entry's time into a calendar time, which
    // re-reads the time zone file every time unless TZ names it: named once,
    // it is read once. The meaning of local time does not change.
    ::setenv("TZ", ":/etc/localtime", 0);
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
