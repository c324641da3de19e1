// Tolvane: one window to pick a CAP file and convert it to an IJC file.

#include "app/Main_U.h"
#include "app/command_line.h"
#include "app/widgets.h"
#include "core/base/time_zone.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    tolvane::nameTheLocalTimeZone();
    // Help and the version are given before any display is needed.
    QStringList given;
    for (int i = 1; i < argc; ++i)
        given << QString::fromLocal8Bit(argv[i]);
    const CommandLine early = readCommandLine(given, QDir::currentPath());
    if (early.ask != CommandLine::Ask::Window) {
        std::fputs(early.ask == CommandLine::Ask::Help ? qPrintable(usageText()) : "tolvane " TOLVANE_VERSION "\n",
                   stdout);
        return 0;
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName("Tolvane");
    QApplication::setApplicationDisplayName("Tolvane");
    QApplication::setWindowIcon(Artwork::mainIcon());
    // Metric-compatible stand-ins for the window's font families.
    QFont::insertSubstitution("MS Sans Serif", "Liberation Sans");
    QFont::insertSubstitution("Arial Narrow", "Liberation Sans Narrow");

    // Files named on the command line (as "Open With" names them) are
    // converted as a drop of them would be, once the window is up. Qt has
    // taken its own options out by now.
    const CommandLine line = readCommandLine(QApplication::arguments().mid(1), QDir::currentPath());
    if (!line.error.isEmpty()) {
        std::fprintf(stderr, "tolvane: unknown option '%s'\nTry 'tolvane --help' for more information.\n",
                     qPrintable(line.error));
        return 2;
    }
    const QStringList files = line.files;

    TMainForm form;
    MainForm = &form;
    form.show();
    if (!files.isEmpty())
        QTimer::singleShot(0, &form, [&form, files] { form.openFiles(files); });
    const int result = QApplication::exec();
    MainForm = nullptr;
    return result;
}
