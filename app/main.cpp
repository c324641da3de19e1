// Tolvane: one window to pick a CAP file and convert it to an IJC file.

#include "app/Main_U.h"
#include "app/widgets.h"
#include "core/base/time_zone.h"

#include <QApplication>
#include <QFileInfo>
#include <QFont>
#include <QTimer>
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

    // Files named on the command line (as "Open With" names them) are
    // converted as a drop of them would be, once the window is up. Qt has
    // taken its own options out already; "--" before names that begin with
    // a dash is passed over.
    QStringList files = QApplication::arguments().mid(1);
    if (!files.isEmpty() && files.front() == "--")
        files.removeFirst();
    for (QString& file : files)
        file = QFileInfo(file).absoluteFilePath();

    TMainForm form;
    MainForm = &form;
    form.show();
    if (!files.isEmpty())
        QTimer::singleShot(0, &form, [&form, files] { form.openFiles(files); });
    const int result = QApplication::exec();
    MainForm = nullptr;
    return result;
}
