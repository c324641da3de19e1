// The window with many files, on a real X server with the openbox window
// manager and a session bus of its own (dbus-run-session): files dropped on
// it or named on its command line, the package's structure, the card script
// saved from it and the IJC file shown in its folder.

#include "app/Main_U.h"
#include "app/dialogs.h"
#include "app/structure_view.h"
#include "app/widgets.h"
#include "core/zip/archive.h"
#include "qt_helpers.h"
#include "test_support.h"
#include "zip_builder.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDBusConnection>
#include <QDesktopServices>
#include <QDrag>
#include <QFontInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <optional>

using namespace tolvane::testing;

// Stands in for the desktop's file manager on the session bus.
class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QStringList shown;
public slots:
    void ShowItems(const QStringList& uris, const QString&) { shown << uris; }
};

// Receives the URLs the desktop is asked to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

namespace {

QList<QUrl> urlsOf(const QStringList& paths)
{
    QList<QUrl> urls;
    for (const auto& path : paths)
        urls << QUrl::fromLocalFile(path);
    return urls;
}

// Delivers a drag that ends in a drop over `over` as the window system hands
// it to Qt's widgets: to the first widget from there up that takes drops.
// True when the window took the drop.
bool dropOn(QWidget* over, const QList<QUrl>& urls, const QString& text = {})
{
    QMimeData data;
    if (!urls.isEmpty())
        data.setUrls(urls);
    if (!text.isEmpty())
        data.setText(text);
    const QPoint global = over->mapToGlobal(over->rect().center());
    QWidget* target = over;
    while (target != nullptr && !target->acceptDrops())
        target = target->parentWidget();
    if (target == nullptr)
        return false;
    const QPointF at = target->mapFromGlobal(global);
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    return drop.isAccepted();
}

// Records what a label shows each time it is painted.
class PaintedTexts : public QObject {
public:
    explicit PaintedTexts(QLabel* label) : label_(label) { label->installEventFilter(this); }
    QStringList texts;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && (texts.isEmpty() || texts.back() != label_->text()))
            texts << label_->text();
        return false;
    }

private:
    QLabel* label_;
};

QTreeWidgetItem* childNamed(QTreeWidgetItem* item, const QString& name)
{
    for (int i = 0; i < item->childCount(); ++i)
        if (item->child(i)->text(0) == name)
            return item->child(i);
    return nullptr;
}

QTreeWidgetItem* topNamed(QTreeWidget* tree, const QString& name)
{
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        if (tree->topLevelItem(i)->text(0) == name)
            return tree->topLevelItem(i);
    return nullptr;
}

std::filesystem::path corpusFile(const char* name)
{
    return corpusDir() / "cap" / name;
}

bool corpusRequired()
{
    return qgetenv("CI") == "true";
}

// Skips a test whose corpus file `path` is empty (there is no corpus), and
// fails it where CI demands the corpus.
#define REQUIRE_CORPUS(path)                                                                                           \
    do {                                                                                                               \
        if ((path).empty()) {                                                                                          \
            QVERIFY2(!corpusRequired(), "no corpus, which CI requires");                                               \
            QSKIP("no corpus");                                                                                        \
        }                                                                                                              \
    } while (false)

} // namespace

class WindowWithFiles : public QObject {
    Q_OBJECT

    std::optional<TempDir> dir;
    QStringList errors;

    std::unique_ptr<TMainForm> shownForm()
    {
        auto form = std::make_unique<TMainForm>(q(dir->file("tolvane.ini")));
        form->show();
        if (!QTest::qWaitForWindowExposed(form.get()))
            return nullptr;
        QTest::qWait(50);
        return form;
    }

    // A small CAP file the plain conversion takes, and its IJC file.
    std::string goodCap(const std::string& name)
    {
        const auto wallet = walletComponents();
        writeFile(dir->file(name), buildZip({{"Header.cap", wallet.header}, {"Import.cap", wallet.import}}));
        return dir->file(name);
    }
    static ByteVector goodIjc()
    {
        const auto wallet = walletComponents();
        return concat({wallet.header, wallet.import});
    }
    std::string badCap(const std::string& name)
    {
        writeFile(dir->file(name), bytesOf("no archive at all"));
        return dir->file(name);
    }
    // A real CAP file of the corpus, copied in; empty when there is none.
    std::string corpusCap(const char* name)
    {
        if (!std::filesystem::exists(corpusFile(name)))
            return {};
        std::filesystem::copy_file(corpusFile(name), dir->file(name));
        return dir->file(name);
    }

    static QLabel* statusPanel(TMainForm& form) { return form.dxStatusBar1->findChild<QLabel*>("dxStatusBar1_Panel0"); }

private slots:
    void init()
    {
        dir.emplace();
        errors.clear();
        ErrorBox::setScript([this](const QString& text) { errors << text; });
    }

    void cleanup()
    {
        ErrorBox::setScript({});
        SaveDialog::setScript({});
        dir.reset();
    }

    void aDropOfOneFileConvertsItAsTheButtonWould()
    {
        auto form = shownForm();
        QVERIFY(form);
        // Dropped anywhere: on the report, the field, the panel, the structure.
        const auto good = goodCap("good.cap");
        const auto bad = badCap("bad.cap");
        const QList<QWidget*> places{form->dxMemo1->viewport(), form->cxButtonEdit_CapFile, form->Panel1,
                                     form->TreeView_Structure->viewport()};
        for (QWidget* place : places) {
            std::filesystem::remove(dir->file("good.ijc"));
            QVERIFY(dropOn(place, urlsOf({q(good)})));
            QTRY_COMPARE(form->cxButtonEdit_CapFile->text(), q(good));
            QTRY_VERIFY(exists(dir->file("good.ijc")));
            QCOMPARE(readFile(dir->file("good.ijc")), goodIjc());
            QCOMPARE(form->Label_ijc->toolTip(), q(dir->file("good.ijc")));
            QVERIFY(form->dxMemo1->toPlainText().startsWith("CAP file name: " + q(good)));
        }
        QVERIFY(errors.isEmpty());

        // A bad one: its error in the box, and it stays chosen.
        QVERIFY(dropOn(form->dxMemo1->viewport(), urlsOf({q(bad)})));
        QTRY_COMPARE(errors.size(), 1);
        QCOMPARE(errors.front(), "Unhandled Archive Type.");
        QCOMPARE(form->cxButtonEdit_CapFile->text(), q(bad));
        QVERIFY(form->close());
        QVERIFY(fileText(dir->file("tolvane.ini")).find("cap_name=" + bad + "\n") != std::string::npos);
    }

    void aDropOfSeveralFilesReportsEachAndGoesOnAfterABadOne()
    {
        auto form = shownForm();
        QVERIFY(form);
        const QStringList files{q(goodCap("one.cap")), q(badCap("bad.cap")), q(goodCap("two.cap"))};
        PaintedTexts status(statusPanel(*form));
        QVERIFY(dropOn(form->dxMemo1->viewport(), urlsOf(files)));
        QTRY_COMPARE(statusPanel(*form)->text(), "2 converted, 1 failed");
        QCOMPARE(status.texts,
                 (QStringList{"Converting 1 of 3", "Converting 2 of 3", "Converting 3 of 3", "2 converted, 1 failed"}));
        QVERIFY(errors.isEmpty());
        QCOMPARE(readFile(dir->file("one.ijc")), goodIjc());
        QCOMPARE(readFile(dir->file("two.ijc")), goodIjc());
        QCOMPARE(readFile(dir->file("bad.ijc")), ByteVector{});
        // One report after another, the error in its place.
        const QStringList lines = form->dxMemo1->toPlainText().split('\n');
        QCOMPARE(
            lines.filter(QRegularExpression("^CAP file name: ")),
            (QStringList{"CAP file name: " + files[0], "CAP file name: " + files[1], "CAP file name: " + files[2]}));
        const auto errorAt = lines.indexOf("Error: Unhandled Archive Type.");
        QVERIFY2(errorAt > lines.indexOf("CAP file name: " + files[1]) &&
                     errorAt < lines.indexOf("CAP file name: " + files[2]),
                 qPrintable(lines.join('\n')));
        // The last stays chosen.
        QCOMPARE(form->cxButtonEdit_CapFile->text(), files[2]);
        QCOMPARE(form->Label_ijc->toolTip(), q(dir->file("two.ijc")));
        // A conversion of one file empties the status bar again.
        QTest::mouseClick(form->cxButton_cap_convert, Qt::LeftButton);
        QCOMPARE(statusPanel(*form)->text(), QString());
    }

    void onlyLocalFilesAreTaken()
    {
        auto form = shownForm();
        QVERIFY(form);
        const QString good = q(goodCap("good.cap"));
        QVERIFY(!dropOn(form->dxMemo1->viewport(), {QUrl("https://example.org/wallet.cap")}));
        QVERIFY(!dropOn(form->dxMemo1->viewport(), {QUrl::fromLocalFile(good), QUrl("sftp://host/wallet.cap")}));
        QVERIFY(!dropOn(form->dxMemo1->viewport(), {}, good));
        QTest::qWait(100);
        QCOMPARE(form->cxButtonEdit_CapFile->text(), QString());
        QVERIFY(!exists(dir->file("good.ijc")));
    }

    void aRealDragAndDropThroughTheXServer()
    {
        // A drag begun in a window of its own, moved by the X server's own
        // pointer (xdotool) and dropped on the window, as from a file manager.
        auto form = shownForm();
        QVERIFY(form);
        form->move(300, 100);
        QWidget source;
        source.setGeometry(20, 20, 120, 120);
        source.show();
        QVERIFY(QTest::qWaitForWindowExposed(&source));
        QTest::qWait(300);
        const QStringList files{q(goodCap("one.cap")), q(goodCap("two.cap"))};
        const QPoint from = source.mapToGlobal(source.rect().center());
        const QPoint to = form->dxMemo1->mapToGlobal(form->dxMemo1->rect().center());
        QProcess::execute("xdotool",
                          {"mousemove", QString::number(from.x()), QString::number(from.y()), "mousedown", "1"});
        QProcess pointer;
        pointer.start("xdotool", {"sleep", "0.5", "mousemove", QString::number(from.x() + 20),
                                  QString::number(from.y() + 20), "sleep", "0.3", "mousemove", QString::number(to.x()),
                                  QString::number(to.y()), "sleep", "0.3", "mousemove", QString::number(to.x() + 5),
                                  QString::number(to.y() + 5), "sleep", "0.5", "mouseup", "1"});
        auto* drag = new QDrag(&source);
        auto* data = new QMimeData;
        data->setUrls(urlsOf(files));
        drag->setMimeData(data);
        const Qt::DropAction done = drag->exec(Qt::CopyAction);
        pointer.waitForFinished(5000);
        QCOMPARE(done, Qt::CopyAction);
        QTRY_COMPARE(statusPanel(*form)->text(), "2 converted, 0 failed");
        QCOMPARE(readFile(dir->file("two.ijc")), goodIjc());
        QCOMPARE(form->cxButtonEdit_CapFile->text(), files[1]);
    }

    void namedOnTheCommandLineTheFilesConvertAndTheWindowStaysOpen()
    {
        // The program itself, copied so that its settings file lies here.
        const std::string program = dir->file("tolvane");
        std::filesystem::copy_file(TOLVANE_APP, program);
        goodCap("one.cap");
        badCap("bad.cap");
        goodCap("two.cap");
        QProcess app;
        app.setWorkingDirectory(q(dir->path().string()));
        // Names relative to the folder it starts in, as a shell gives them.
        app.start(q(program), {"bad.cap", "one.cap", "two.cap"});
        QVERIFY(app.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(exists(dir->file("two.ijc")) && exists(dir->file("one.ijc")), 10000);
        QCOMPARE(readFile(dir->file("one.ijc")), goodIjc());
        QCOMPARE(readFile(dir->file("two.ijc")), goodIjc());
        QTest::qWait(500);
        QCOMPARE(app.state(), QProcess::Running);
        // Closed as a user closes it, through the window manager: the last
        // file is the one kept. The close is asked for that window alone: a
        // key the manager handles late would close whatever window is
        // active by then, another test's.
        // Every window of the program so named is asked to close (which of
        // them xdotool lists first varies), again until the program ends.
        for (int attempt = 0; attempt < 6 && app.state() == QProcess::Running; ++attempt) {
            QStringList arguments{"search", "--onlyvisible", "--pid", QString::number(app.processId()),
                                  "--name", "^Tolvane$"};
            if (attempt == 0)
                arguments.insert(1, "--sync"); // the window is there before anything is closed
            QProcess search;
            search.start("xdotool", arguments);
            QVERIFY(search.waitForFinished(30000));
            const QStringList windows =
                QString::fromLatin1(search.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
            QVERIFY(attempt > 0 || !windows.isEmpty());
            for (const QString& window : windows)
                QProcess::execute("wmctrl", {"-i", "-c", window.trimmed()});
            app.waitForFinished(10000);
        }
        QCOMPARE(app.state(), QProcess::NotRunning);
        QCOMPARE(app.exitCode(), 0);
        QVERIFY2(fileText(dir->file("tolvane.ini")).find("cap_name=" + dir->file("two.cap") + "\n") !=
                     std::string::npos,
                 fileText(dir->file("tolvane.ini")).c_str());
    }

    void exportFilesAreKeptAndUsedByTheChecks()
    {
        const auto cap = corpusCap("Algorithm__helloWorld.cap");
        REQUIRE_CORPUS(cap);
        const auto folder = dir->file("sdk");
        std::filesystem::create_directory(folder);
        auto form = shownForm();
        QVERIFY(form);
        QStringList offered;
        ExportFilesDialog::setScript([&](const QStringList& paths) {
            offered = paths;
            return std::optional<QStringList>(QStringList{q(folder)});
        });
        form->Action_ExportFiles->trigger();
        ExportFilesDialog::setScript({});
        QVERIFY(offered.isEmpty());
        form->CheckBox_LoadOrder->setChecked(true);
        form->openFiles({q(cap)});
        QVERIFY(errors.isEmpty());
        // An empty folder holds no export file: the checks say so.
        QVERIFY2(form->dxMemo1->toPlainText().contains("no export file found, so its references were not checked"),
                 qPrintable(form->dxMemo1->toPlainText()));
        QVERIFY(form->close());
        auto again = shownForm();
        QCOMPARE(again->exportFolders, QStringList{q(folder)});
    }

    void theStructureOfACorpusApplet()
    {
        const auto cap = corpusCap("Algorithm__helloWorld.cap");
        REQUIRE_CORPUS(cap);
        auto form = shownForm();
        QVERIFY(form);
        form->CheckBox_LoadOrder->setChecked(true);
        form->openFiles({q(cap)});
        QVERIFY(errors.isEmpty());
        form->PageControl_Views->setCurrentWidget(form->TreeView_Structure);
        QTreeWidget* tree = form->TreeView_Structure;

        // What the command line reports of the same file.
        QProcess cli;
        cli.start(TOLVANE_CLI, {"--check", "--json", q(cap)});
        QVERIFY(cli.waitForFinished(30000));
        const QJsonObject report = QJsonDocument::fromJson(cli.readAllStandardOutput()).object();
        QTreeWidgetItem* components = topNamed(tree, "Components");
        QVERIFY(components);
        QCOMPARE(components->text(1),
                 QString("%1 bytes to load").arg(QFileInfo(q(dir->file("Algorithm__helloWorld.ijc"))).size()));
        double shares = 0;
        for (int i = 0; i < components->childCount(); ++i)
            shares += components->child(i)->data(2, Qt::UserRole).toDouble();
        QVERIFY(std::abs(shares - 1.0) < 1e-9);
        QTreeWidgetItem* method = childNamed(components, "Method");
        QVERIFY(method);
        bool compared = false;
        for (const auto& entry : report["components"].toArray()) {
            if (entry.toObject()["name"] != "Method.cap")
                continue;
            QCOMPARE(method->text(1), QString("%1 bytes").arg(entry.toObject()["length"].toInt()));
            compared = true;
        }
        QVERIFY(compared);

        QTreeWidgetItem* applets = topNamed(tree, "Applets");
        QVERIFY(applets);
        QStringList aids;
        for (int i = 0; i < applets->childCount(); ++i)
            aids << applets->child(i)->text(0);
        QStringList expected;
        for (const auto& aid : report["applets"].toArray())
            expected << aid.toString();
        QCOMPARE(aids, expected);
        QTreeWidgetItem* imports = topNamed(tree, "Imports");
        QVERIFY(imports);
        QCOMPARE(imports->childCount(), report["imports"].toArray().size());

        // A method's listing, made when its row is opened, in a fixed-pitch font.
        QTreeWidgetItem* aes = childNamed(topNamed(tree, "Classes"), "helloWorld/Aes");
        QVERIFY(aes);
        QTreeWidgetItem* setKey = childNamed(aes, "setAESKey");
        QVERIFY(setKey);
        QCOMPARE(setKey->childCount(), 0);
        tree->expandItem(aes);
        tree->expandItem(setKey);
        const QStringList listing{"26: getfield_a_this 0 (instance_field helloWorld/Aes token 0)", "28: aload_1",
                                  "29: sload_2", "30: invokeinterface 3 20 4 (classref javacard.security class 20)",
                                  "35: return"};
        QStringList shown;
        for (int i = 0; i < setKey->childCount(); ++i)
            shown << setKey->child(i)->text(0);
        QCOMPARE(shown, listing);
        QVERIFY(drawsFixedPitch(setKey->child(0)->font(0)));
        tree->scrollToItem(setKey->child(4));
        QTest::qWait(100);
        form->close();
    }

    void aPackageACardWouldRefuseIsShownWithTheFindingWhereItLies()
    {
        const auto original = corpusCap("Algorithm__helloWorld.cap");
        REQUIRE_CORPUS(original);
        // The corpus applet with its install method's offset spoiled.
        tolvane::ZipArchive archive;
        archive.open(original);
        std::vector<ZipEntry> entries;
        for (std::int64_t i = 0; i < archive.entryCount(); ++i) {
            tolvane::EntryStream stream;
            archive.extract(i, stream);
            ZipEntry entry;
            entry.name = archive.entryName(i);
            entry.data.assign(stream.begin(), stream.end());
            if (entry.name.ends_with("/Applet.cap"))
                entry.data[entry.data.size() - 1] ^= 0x01; // the last applet's install method, moved by one byte
            entries.push_back(entry);
        }
        archive.close();
        const std::string cap = dir->file("spoiled.cap");
        writeFile(cap, buildZip(entries));

        auto form = shownForm();
        QVERIFY(form);
        form->CheckBox_LoadOrder->setChecked(true);
        form->openFiles({q(cap)});
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors.front().contains("Applet, install method offset"), qPrintable(errors.front()));
        QTreeWidgetItem* components = topNamed(form->TreeView_Structure, "Components");
        QVERIFY(components);
        QTreeWidgetItem* applet = childNamed(components, "Applet");
        QVERIFY(applet);
        QVERIFY2(applet->toolTip(0).contains("install method offset"), qPrintable(applet->toolTip(0)));
        QCOMPARE(applet->foreground(0).color(), QColor(0xC0, 0x10, 0x10));
        // Seen from the top of its branch, and only there.
        QVERIFY(!components->icon(0).isNull());
        QVERIFY(childNamed(components, "Method")->icon(0).isNull());
        QVERIFY(topNamed(form->TreeView_Structure, "Imports")->icon(0).isNull());
    }

    void theCardScriptSavedIsTheCommandLinesScript()
    {
        const auto cap = corpusCap("Algorithm__helloWorld.cap");
        REQUIRE_CORPUS(cap);
        auto form = shownForm();
        QVERIFY(!form->cxButton_SaveScript->isEnabled());
        form->openFiles({q(cap)});
        QStringList proposed;
        QString answer = q(dir->file("saved.apdu"));
        SaveDialog::setScript([&](const QString& path) {
            proposed << path;
            return answer;
        });
        QTest::mouseClick(form->cxButton_SaveScript, Qt::LeftButton);
        QCOMPARE(proposed, QStringList{q(dir->file("Algorithm__helloWorld.apdu"))});
        QProcess cli;
        cli.start(TOLVANE_CLI, {"--apdu", "-q", "-o", "-", q(cap)});
        QVERIFY(cli.waitForFinished(30000));
        QCOMPARE(cli.exitCode(), 0);
        const QByteArray script = cli.readAllStandardOutput();
        QVERIFY(script.contains("\n80 E6 02 00 "));
        const auto saved = readFile(dir->file("saved.apdu"));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(saved.data()), static_cast<qsizetype>(saved.size())), script);

        // From the report's menu too; cancelled, nothing is written.
        std::unique_ptr<QMenu> menu(form->dxMemo1->contextMenu());
        QVERIFY(menu->actions().contains(form->Action_SaveScript));
        QVERIFY(menu->actions().contains(form->Action_ShowInFolder));
        answer.clear();
        form->Action_SaveScript->trigger();
        QCOMPARE(proposed.size(), 2);
        QVERIFY(errors.isEmpty());
        QStringList names;
        for (const auto& entry : std::filesystem::directory_iterator(dir->path()))
            names << q(entry.path().filename().string());
        names.sort();
        QCOMPARE(names, (QStringList{"Algorithm__helloWorld.cap", "Algorithm__helloWorld.ijc", "saved.apdu"}));
    }

    void showInFolderAsksTheFileManagerOrOpensTheFolder()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        QVERIFY2(bus.isConnected(), "no session bus: run under dbus-run-session");
        auto form = shownForm();
        QVERIFY(form);
        QVERIFY(!form->cxButton_ShowInFolder->isEnabled());
        const QString good = q(goodCap("good.cap"));
        form->openFiles({good});
        QVERIFY(form->cxButton_ShowInFolder->isEnabled());

        // No file manager on the bus: the folder is opened.
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("file", &catcher, "open");
        QTest::mouseClick(form->cxButton_ShowInFolder, Qt::LeftButton);
        QCOMPARE(catcher.opened, QList<QUrl>{QUrl::fromLocalFile(q(dir->path().string()))});

        // One that answers is asked to show the file itself.
        FakeFileManager manager;
        QVERIFY(bus.registerService("org.freedesktop.FileManager1"));
        QVERIFY(bus.registerObject("/org/freedesktop/FileManager1", &manager, QDBusConnection::ExportAllSlots));
        QTest::mouseClick(form->cxButton_ShowInFolder, Qt::LeftButton);
        QTRY_COMPARE(manager.shown, QStringList{QUrl::fromLocalFile(q(dir->file("good.ijc"))).toString()});
        QCOMPARE(catcher.opened.size(), 1);
        QDesktopServices::unsetUrlHandler("file");
        bus.unregisterObject("/org/freedesktop/FileManager1");
        bus.unregisterService("org.freedesktop.FileManager1");

        // A conversion that fails has written nothing to show.
        form->openFiles({q(badCap("bad.cap"))});
        QVERIFY(!form->cxButton_ShowInFolder->isEnabled());
        QVERIFY(errors.size() == 1);
    }
};

QTEST_MAIN(WindowWithFiles)
#include "app_files_test.moc"
