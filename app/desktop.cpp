#include "app/desktop.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

namespace Desktop {

bool showInFolder(const QString& path)
{
    const QFileInfo file(path);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        // Asked without starting a service: a file manager that is not there
        // gives an error at once rather than a wait.
        QDBusInterface manager("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                               "org.freedesktop.FileManager1", bus);
        manager.setTimeout(3000);
        if (manager.isValid()) {
            const QDBusMessage reply =
                manager.call("ShowItems", QStringList{QUrl::fromLocalFile(file.absoluteFilePath()).toString()},
                             QString());
            if (reply.type() == QDBusMessage::ReplyMessage)
                return true;
        }
    }
    return QDesktopServices::openUrl(QUrl::fromLocalFile(file.absolutePath()));
}

} // namespace Desktop
