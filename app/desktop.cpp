#include "app/desktop.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

namespace Desktop {

bool showInFolder(const QString& path)
{
    const QFileInfo file(path);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        // Called directly, without looking the interface up first: where no
        // file manager is on the bus (nor can be started by it) the bus
        // answers with an error at once, and a file manager that hangs is
        // given a few seconds.
        QDBusMessage call =
            QDBusMessage::createMethodCall("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                                           "org.freedesktop.FileManager1", "ShowItems");
        call << QStringList{QUrl::fromLocalFile(file.absoluteFilePath()).toString()} << QString();
        if (bus.call(call, QDBus::Block, 3000).type() == QDBusMessage::ReplyMessage)
            return true;
    }
    return QDesktopServices::openUrl(QUrl::fromLocalFile(file.absolutePath()));
}

} // namespace Desktop
