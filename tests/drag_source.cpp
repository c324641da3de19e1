// A window that drags the files named on its command line, as a file
// manager does: a press of the mouse in it starts the drag, and the program
// ends a little after the drag does. The screenshot script drops CAP files on the
// window with it, through the X server's own drag and drop.

#include <QApplication>
#include <QDrag>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <QUrl>
#include <QWidget>

class DragSource : public QWidget {
public:
    explicit DragSource(const QStringList& files) : files_(files) {}

protected:
    void mousePressEvent(QMouseEvent*) override
    {
        QList<QUrl> urls;
        for (const QString& file : files_)
            urls << QUrl::fromLocalFile(file);
        auto* data = new QMimeData;
        data->setUrls(urls);
        auto* drag = new QDrag(this);
        drag->setMimeData(data);
        drag->exec(Qt::CopyAction);
        // The target asks for the files' names after the drop: the program
        // stays until it has had time to.
        QTimer::singleShot(5000, qApp, &QApplication::quit);
    }

    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.drawText(rect(), Qt::AlignCenter, QString("%1 files").arg(files_.size()));
    }

private:
    QStringList files_;
};

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    DragSource source(QApplication::arguments().mid(1));
    source.setWindowTitle("Drag source");
    source.resize(160, 160);
    source.show();
    return QApplication::exec();
}
