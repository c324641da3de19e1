// Writes the application's icon, as the program paints it, as PNG files for
// an icon theme: FOLDER/SIZExSIZE/apps/NAME.png for each size.
// Usage: tolvane-icons FOLDER NAME

#include "app/widgets.h"

#include <QDir>
#include <QGuiApplication>
#include <cstdio>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    if (argc != 3) {
        std::fputs("Usage: tolvane-icons FOLDER NAME\n", stderr);
        return 2;
    }
    for (const int side : Artwork::iconSizes) {
        const QString folder = QString("%1/%2x%2/apps").arg(argv[1]).arg(side);
        if (!QDir().mkpath(folder) || !Artwork::mainIconPicture(side).save(folder + "/" + argv[2] + ".png"))
            return 1;
    }
    return 0;
}
