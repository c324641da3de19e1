// The window on a real X server, as people meet it: run by CTest under Xvfb,
// once with the openbox window manager and once without, through
// with-x-server.sh. What the offscreen platform cannot show is tested here:
// frames, focus, the mouse over a button, the real dialog.

#include "app/Main_U.h"
#include "app/card_page.h"
#include "app/dialogs.h"
#include "app/widgets.h"
#include "qt_helpers.h"
#include "test_support.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QTreeWidget>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <optional>
#include <sys/stat.h>

using namespace tolvane::testing;

namespace {

// Whether `control` lies wholly inside the window's client area.
bool insideWindow(const QWidget& window, const QWidget* control)
{
    const QRect area(control->mapTo(&window, QPoint(0, 0)), control->size());
    return control->isVisible() && window.rect().contains(area);
}

} // namespace

class WindowOnX11 : public QObject {
    Q_OBJECT

    std::optional<TempDir> dir;
    QStringList errors;

    std::string settingsPath() const { return dir->file("tolvane.ini"); }

    // Shows a window and waits until it is mapped and, under a window
    // manager, framed.
    std::unique_ptr<TMainForm> shownForm(const std::string& settings)
    {
        auto form = std::make_unique<TMainForm>(q(settings));
        form->show();
        if (!QTest::qWaitForWindowExposed(form.get()))
            return nullptr;
        if (windowManager() && !QTest::qWaitFor([&] { return form->frameGeometry() != form->geometry(); }, 3000))
            return nullptr;
        QTest::qWait(50);
        return form;
    }

    static bool windowManager() { return qEnvironmentVariableIsSet("TOLVANE_TEST_WM"); }

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
        dir.reset();
    }

    // The Card tab offers the simulated card beside the readers (none here,
    // and no PC/SC service): a card file chosen once and remembered, a CAP
    // file loaded onto it, and the card as it was after the window starts
    // again.
    void theSimulatedCardKeepsWhatWasLoadedOntoIt()
    {
        const QString wallet = QString(TOLVANE_DEFAULT_CORPUS_DIR) + "/cap/javacard-simulator__wallet.cap";
        if (!QFile::exists(wallet)) {
            if (qgetenv("CI") == "true")
                QFAIL("no corpus");
            QSKIP("no corpus");
        }
        const QString cardFile = q(dir->file("my.card"));
        int asked = 0;
        CardFileDialog::setScript([&](const QString&) {
            ++asked;
            return cardFile;
        });
        for (int start = 0; start < 2; ++start) {
            auto form = shownForm(settingsPath());
            QVERIFY(form);
            auto* tabs = form->PageControl_Views;
            for (int i = 0; i < tabs->count(); ++i)
                if (tabs->tabText(i) == "Card")
                    tabs->setCurrentIndex(i);
            TCardPage* page = form->TabSheet_Card;
            const int at = page->ComboBox_Readers->findText("Simulated card", Qt::MatchStartsWith);
            QVERIFY(at >= 0);
            page->ComboBox_Readers->setCurrentIndex(at);
            emit page->ComboBox_Readers->activated(at);
            QTRY_VERIFY_WITH_TIMEOUT(!page->busy(), 30000);
            QCOMPARE(page->ComboBox_Readers->currentText(), QString("Simulated card (my.card)"));
            if (start == 0) {
                form->cxButtonEdit_CapFile->setText(wallet);
                QPushButton* load = nullptr;
                for (auto* button : page->findChildren<QPushButton*>())
                    if (button->text() == "Load onto card")
                        load = button;
                QVERIFY(load && load->isEnabled());
                load->click();
                QTRY_VERIFY_WITH_TIMEOUT(!page->busy(), 60000);
            }
            QTRY_VERIFY_WITH_TIMEOUT(!page->TreeView_Card->findItems("D1560001320A64656D9F01",
                                                                     Qt::MatchExactly | Qt::MatchRecursive)
                                          .isEmpty(),
                                     10000);
            if (const QString folder = qEnvironmentVariable("TOLVANE_SCREENSHOT_DIR"); !folder.isEmpty())
                form->grab().save(folder + "/simulated-card.png");
            QVERIFY2(errors.isEmpty(), qPrintable(errors.join('\n')));
            QVERIFY(form->close());
        }
        QCOMPARE(asked, 1); // the card file is remembered in the settings
        CardFileDialog::setScript({});
    }

    void boundsStayTheSameOverThreeStarts()
    {
        writeFile(settingsPath(), bytesOf("[main]\nMainLeft=120\nMainTop=80\nMainWidth=700\nMainHeight=500\n"));
        for (int start = 0; start < 3; ++start) {
            auto form = shownForm(settingsPath());
            QVERIFY(form);
            QCOMPARE(form->outerBounds(), QRect(120, 80, 700, 500));
            QVERIFY(form->close());
            const auto saved = fileText(settingsPath());
            QVERIFY2(saved.find("MainLeft=120\nMainTop=80\nMainWidth=700\nMainHeight=500\n") != std::string::npos,
                     saved.c_str());
        }
        // A moved and resized window comes back where and as big as it was.
        auto form = shownForm(settingsPath());
        QVERIFY(form);
        form->move(200, 150);
        form->resize(640, 420);
        QTest::qWait(200);
        const QRect moved = form->outerBounds();
        QVERIFY(form->close());
        auto again = shownForm(settingsPath());
        QVERIFY(again);
        QCOMPARE(again->outerBounds(), moved);
        QVERIFY(errors.isEmpty());
    }

    void everyControlIsInsideTheWindowAtAnySizeItAllows()
    {
        // First start: no settings file.
        auto form = shownForm(dir->file("none.ini"));
        QVERIFY(form);
        form->cxButtonEdit_CapFile->setText(q(std::string(300, 'x') + ".cap"));
        for (const QSize size : {form->size(), form->minimumSize(), QSize(1200, 800)}) {
            form->resize(size);
            QTest::qWait(100);
            for (const QWidget* control :
                 {static_cast<QWidget*>(form->cxButtonEdit_CapFile),
                  static_cast<QWidget*>(form->cxButtonEdit_CapFile->button()), static_cast<QWidget*>(form->Label_ijc),
                  static_cast<QWidget*>(form->cxButton_cap_convert), static_cast<QWidget*>(form->CheckBox_LoadOrder),
                  static_cast<QWidget*>(form->cxButton_SaveScript), static_cast<QWidget*>(form->cxButton_ShowInFolder),
                  static_cast<QWidget*>(form->PageControl_Views)})
                QVERIFY2(insideWindow(*form, control),
                         qPrintable(control->objectName() + QString(" at %1x%2").arg(size.width()).arg(size.height())));
        }
        // A long path is elided in its middle, and whole in the tooltips.
        QVERIFY(form->Label_ijc->text().contains(QChar(0x2026)));
        QVERIFY(form->Label_ijc->text().endsWith(".ijc"));
        QCOMPARE(form->Label_ijc->toolTip(), q(std::string(300, 'x') + ".ijc"));
        QCOMPARE(form->cxButtonEdit_CapFile->toolTip(), q(std::string(300, 'x') + ".cap"));
        form->close();
    }

    void convertButtonShowsHoverFocusAndTakesEnter()
    {
        const auto cap = dir->file("wallet.cap");
        const auto wallet = walletComponents();
        writeFile(cap, buildZip({{"Header.cap", wallet.header}, {"Import.cap", wallet.import}}));
        writeFile(settingsPath(), bytesOf("[main]\ncap_name=" + cap + "\n"));
        auto form = shownForm(settingsPath());
        QVERIFY(form);
        form->raise();
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        auto* button = form->cxButton_cap_convert;
        QCOMPARE(QApplication::focusWidget(), button);

        const QImage focused = button->grab().toImage();
        form->cxButtonEdit_CapFile->setFocus();
        QTest::qWait(50);
        const QImage plain = button->grab().toImage();
        QTest::mouseMove(button, button->rect().center());
        QTRY_VERIFY(button->underMouse());
        QTest::qWait(50);
        const QImage hovered = button->grab().toImage();
        QVERIFY2(focused != plain, "the focus does not show");
        QVERIFY2(hovered != plain, "the mouse over the button does not show");

        // Enter presses the button that has the focus.
        button->setFocus();
        QTest::keyClick(button, Qt::Key_Return);
        QTRY_VERIFY(form->dxMemo1->toPlainText().endsWith("Done."));
        QCOMPARE(readFile(dir->file("wallet.ijc")), concat({wallet.header, wallet.import}));
        form->close();
    }

    void settingsThatCannotBeKeptAreReportedOnceAndTheWindowCloses()
    {
        // A read-only settings file is not replaced.
        const std::string old = "[main]\nMainLeft=5\n";
        writeFile(settingsPath(), bytesOf(old));
        ::chmod(settingsPath().c_str(), 0444);
        auto form = shownForm(settingsPath());
        QVERIFY(form);
        QVERIFY(form->close());
        QCOMPARE(errors, QStringList{q("Unable to write to " + settingsPath() + ".")});
        QVERIFY(!form->isVisible());
        QCOMPARE(q(fileText(settingsPath())), q(old));

        // Nowhere to write at all.
        writeFile(dir->file("plain"), bytesOf("a file, not a folder"));
        auto nowhere = shownForm(dir->file("plain/tolvane.ini"));
        QVERIFY(nowhere);
        QVERIFY(nowhere->close());
        QCOMPARE(errors.size(), 2);
    }

    void settingsGoToAConfigurationFolderThatIsNotThereYet()
    {
        const auto path = dir->file("config/tolvane/tolvane.ini");
        auto form = shownForm(path);
        QVERIFY(form);
        QVERIFY(form->close());
        QVERIFY(errors.isEmpty());
        QVERIFY(fileText(path).rfind("[main]\nMainLeft=", 0) == 0);
    }

    void theRealDialogOffersItsFiltersOnce()
    {
        auto form = shownForm(settingsPath());
        QVERIFY(form);
        QStringList filters;
        QString title;
        // The real dialog, not the seam: read, then cancelled.
        QTimer::singleShot(300, [&] {
            if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                filters = dialog->nameFilters();
                title = dialog->windowTitle();
                dialog->reject();
            }
        });
        QTest::mouseClick(form->cxButtonEdit_CapFile->button(), Qt::LeftButton);
        QTRY_VERIFY(!filters.isEmpty());
        QCOMPARE(filters, (QStringList{"CAP files (*.cap)", "IJC files (*.ijc)", "All files (*)"}));
        QCOMPARE(title, "Open CAP file");
        form->close();
    }
};

QTEST_MAIN(WindowOnX11)
#include "app_x11_test.moc"
