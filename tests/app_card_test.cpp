// The Card tab against the virtual card behind the vpcd reader, on a real X
// server with openbox, driven as a person would: by the buttons' texts and
// the tab's title. Run by card_check.py, which starts pcscd and the card and
// says where the card logs what it receives (TOLVANE_CARD_LOG), where it
// keeps the load files it accepts (TOLVANE_CARD_STORE) and its process
// (TOLVANE_CARD_PID).

#include "app/Main_U.h"
#include "app/card_page.h"
#include "app/dialogs.h"
#include "app/widgets.h"
#include "core/checks/checks.h"
#include "core/convert/input_file.h"
#include "test_support.h"

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <csignal>
#include <memory>

namespace {

QString env(const char* name)
{
    return QString::fromLocal8Bit(qgetenv(name));
}

QPushButton* buttonNamed(QWidget* root, const QString& text)
{
    for (auto* button : root->findChildren<QPushButton*>())
        if (button->text() == text)
            return button;
    return nullptr;
}

QTreeWidgetItem* rowWith(QTreeWidget* tree, const QString& aid)
{
    const auto found = tree->findItems(aid, Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.front();
}

// One field of each command the card has received: its "name" and "sw",
// or its "apdu" as it came.
QStringList seenByCard(const char* field = nullptr)
{
    QFile log(env("TOLVANE_CARD_LOG"));
    QStringList seen;
    if (!log.open(QIODevice::ReadOnly))
        return seen;
    for (const auto& line : log.readAll().split('\n')) {
        const QJsonObject command = QJsonDocument::fromJson(line).object();
        if (!line.isEmpty())
            seen << (field != nullptr ? command.value(field).toString()
                                      : command.value("name").toString() + " " + command.value("sw").toString());
    }
    return seen;
}

// Whether the card beside answers GET STATUS without end; card_check.py
// then runs only the test that needs such a card.
bool oddCard()
{
    return env("TOLVANE_CARD_ODD") == "1";
}

const char* const package = "A00000006203010C06";
const char* const applet = "A00000006203010C0601";

class CardTabTest : public QObject {
    Q_OBJECT
private:
    tolvane::testing::TempDir dir_;
    std::unique_ptr<TMainForm> form_;
    QStringList errors_;

    TCardPage* page() { return form_->TabSheet_Card; }

    void shoot(const char* name)
    {
        const QString folder = env("TOLVANE_SCREENSHOT_DIR");
        if (!folder.isEmpty())
            form_->grab().save(folder + "/" + name);
    }

    void waitIdle() { QTRY_VERIFY_WITH_TIMEOUT(!page()->busy(), 60000); }

private slots:
    void initTestCase()
    {
        if (env("TOLVANE_CARD_LOG").isEmpty())
            QSKIP("run by card_check.py, beside a virtual card");
        ErrorBox::setScript([this](const QString& text) { errors_ << text; });
        form_ = std::make_unique<TMainForm>(QString::fromStdString(dir_.file("tolvane.ini")));
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
        form_->cxButtonEdit_CapFile->setText(env("TOLVANE_CORPUS_DIR") + "/cap/JCAlgTest__wallet.cap");
        // The tab, found by its title.
        auto* tabs = form_->PageControl_Views;
        for (int i = 0; i < tabs->count(); ++i)
            if (tabs->tabText(i) == "Card")
                tabs->setCurrentIndex(i);
        QCOMPARE(tabs->currentWidget(), static_cast<QWidget*>(page()));
    }

    void showsTheReaderAndWhatTheCardHolds()
    {
        QTRY_VERIFY_WITH_TIMEOUT(page()->ComboBox_Readers->findText("Virtual PCD 00 00") >= 0, 20000);
        QCOMPARE(page()->ComboBox_Readers->currentText(), QString("Virtual PCD 00 00"));
        QTRY_VERIFY_WITH_TIMEOUT(rowWith(page()->TreeView_Card, "A000000151000000") != nullptr, 20000);
        waitIdle();
        QVERIFY(errors_.isEmpty());
        // At the window's first size (no settings file yet), the tree shows
        // its first ten rows.
        QTreeWidget* tree = page()->TreeView_Card;
        const int row = tree->visualItemRect(tree->topLevelItem(0)).height();
        QVERIFY2(tree->viewport()->height() >= 10 * row,
                 qPrintable(QString("%1 pixels for rows of %2").arg(tree->viewport()->height()).arg(row)));
        shoot("card-first-size.png");
        form_->resize(760, 520);
    }

    void theKeyVersionIsTheOneSet()
    {
        const unsigned versions[] = {0x32, 0x30};
        for (const unsigned version : versions) {
            page()->keys.keyVersion = version;
            QTest::mouseClick(buttonNamed(form_.get(), "Refresh"), Qt::LeftButton);
            waitIdle();
        }
        page()->keys.keyVersion = 0;
        QCOMPARE(errors_.size(), 1);
        QVERIFY2(errors_.front().contains("no key set of key version 32"), qPrintable(errors_.front()));
        errors_.clear();
    }

    void loadsByteExactWhileTheWindowStaysResponsive()
    {
        int turns = 0, busyTurns = 0, largestBlock = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] {
            ++turns;
            if (page()->busy())
                ++busyTurns;
            largestBlock = std::max(largestBlock, page()->ProgressBar_Load->value());
            if (page()->ProgressBar_Load->isVisible() && page()->ProgressBar_Load->value() == 2)
                shoot("card-loading.png");
        });
        ticker.start(5);
        QPushButton* load = buttonNamed(form_.get(), "Load onto card");
        QVERIFY(load != nullptr);
        QTest::mouseClick(load, Qt::LeftButton);
        QVERIFY(page()->busy());
        waitIdle();
        ticker.stop();
        QVERIFY2(errors_.isEmpty(), qPrintable(errors_.join("\n")));
        QVERIFY2(busyTurns > 3, "the event loop turned while the card worked");
        QVERIFY(largestBlock >= 2);
        // The card holds the load file byte for byte, and the tree shows it.
        const auto input = tolvane::readInput(form_->cxButtonEdit_CapFile->text().toStdString());
        tolvane::ZipArchive archive;
        const auto file = tolvane::makeLoadFile(tolvane::entriesOf(input, archive), {}, input.path);
        QFile stored(env("TOLVANE_CARD_STORE") + "/" + package + ".ijc");
        QVERIFY(stored.open(QIODevice::ReadOnly));
        const QByteArray bytes = stored.readAll();
        QCOMPARE(bytes, QByteArray(reinterpret_cast<const char*>(file.bytes.data()),
                                   static_cast<qsizetype>(file.bytes.size())));
        QVERIFY(rowWith(page()->TreeView_Card, package) != nullptr);
        QVERIFY(rowWith(page()->TreeView_Card, applet) != nullptr);
        QVERIFY(form_->dxMemo1->toPlainText().contains("LOAD block 1 of"));
        shoot("card.png");
    }

    void anApplicationsMenuLocksUnlocksAndMakesItTheDefault()
    {
        QStringList asked;
        ConfirmBox::setScript([&](const QString& text) {
            asked << text;
            return true;
        });
        // Each row: the menu's entry, whether it is offered, and what the
        // applet's row then says in the given column.
        const struct {
            const char* entry;
            int column;
            const char* shows;
        } steps[] = {{"Lock", 1, "LOCKED"}, {"Unlock", 1, "SELECTABLE"}, {"Make default", 2, "CardReset"}};
        QTreeWidget* tree = page()->TreeView_Card;
        for (const auto& step : steps) {
            QTreeWidgetItem* row = rowWith(tree, applet);
            QVERIFY(row != nullptr);
            const QPoint at = tree->visualItemRect(row).center();
            QContextMenuEvent event(QContextMenuEvent::Mouse, at, tree->viewport()->mapToGlobal(at));
            QApplication::sendEvent(tree->viewport(), &event);
            QMenu* menu = page()->Menu_Application;
            QTRY_VERIFY(menu->isVisible());
            QAction* chosen = nullptr;
            for (QAction* action : menu->actions()) {
                if (action->text() == step.entry)
                    chosen = action;
                // Lock and Unlock are offered each only where it can be done.
                if (action->text() == "Lock" || action->text() == "Unlock")
                    QCOMPARE(action->isEnabled(), (action->text() == "Lock") == (row->text(1) != "LOCKED"));
            }
            QVERIFY2(chosen != nullptr && chosen->isEnabled(), step.entry);
            if (std::string(step.entry) == "Lock" && !env("TOLVANE_SCREENSHOT_DIR").isEmpty()) {
                // The menu is a window of its own: the screen shows it beside the tab.
                QVERIFY(QTest::qWaitForWindowExposed(menu));
                QTest::qWait(300);
                QGuiApplication::primaryScreen()->grabWindow(0).save(env("TOLVANE_SCREENSHOT_DIR") + "/card-menu.png");
            }
            menu->hide();
            chosen->trigger();
            waitIdle();
            QVERIFY2(errors_.isEmpty(), qPrintable(errors_.join("\n")));
            QVERIFY(asked.size() > 0 && asked.back().contains(applet));
            row = rowWith(tree, applet);
            QVERIFY(row != nullptr);
            QVERIFY2(row->text(step.column).contains(step.shows), qPrintable(row->text(step.column)));
        }
        ConfirmBox::setScript({});
        QCOMPARE(seenByCard().filter("SET STATUS 9000").size(), 2);
    }

    void deletesThePackageAndItsAppletOnceConfirmed()
    {
        QString asked;
        ConfirmBox::setScript([&](const QString& text) {
            asked = text;
            return true;
        });
        // Selected as assistive tools select a row: through the tree's
        // accessible table, which leaves Qt's current item alone.
        QTreeWidget* tree = page()->TreeView_Card;
        tree->setCurrentItem(nullptr);
        tree->clearSelection();
        int visualRow = 0;
        for (auto* item = tree->topLevelItem(0); item != rowWith(tree, package); item = tree->itemBelow(item))
            ++visualRow;
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(tree);
        QVERIFY(accessible != nullptr && accessible->tableInterface() != nullptr);
        QVERIFY(accessible->tableInterface()->selectRow(visualRow));
        QCOMPARE(tree->currentItem(), nullptr);
        QTest::mouseClick(buttonNamed(form_.get(), "Delete"), Qt::LeftButton);
        waitIdle();
        ConfirmBox::setScript({});
        QVERIFY(asked.contains(package));
        QVERIFY(asked.contains(applet));
        QVERIFY2(errors_.isEmpty(), qPrintable(errors_.join("\n")));
        QVERIFY(rowWith(page()->TreeView_Card, package) == nullptr);
        QVERIFY(rowWith(page()->TreeView_Card, applet) == nullptr);
        QVERIFY(!seenByCard().contains("EXTERNAL AUTHENTICATE 6300"));
    }

    void cancelStopsTheLoadBetweenBlocks()
    {
        const int before = static_cast<int>(seenByCard().size());
        QTimer canceller;
        connect(&canceller, &QTimer::timeout, this, [&] {
            if (page()->ProgressBar_Load->value() >= 1 && page()->cxButton_CardCancel->isVisible()) {
                QTest::mouseClick(buttonNamed(form_.get(), "Cancel"), Qt::LeftButton);
                canceller.stop();
            }
        });
        canceller.start(2);
        QTest::mouseClick(buttonNamed(form_.get(), "Load onto card"), Qt::LeftButton);
        waitIdle();
        QCOMPARE(errors_.size(), 1);
        QVERIFY2(errors_.front().contains("cancelled"), qPrintable(errors_.front()));
        errors_.clear();
        // The card's log ends before the last block (P1 80).
        const QStringList after = seenByCard().mid(before);
        QVERIFY(after.contains("LOAD 9000"));
        for (const auto& apdu : seenByCard("apdu").mid(before))
            QVERIFY2(!(apdu.mid(2, 4) == "E880"), qPrintable(apdu));
        QVERIFY(rowWith(page()->TreeView_Card, package) == nullptr);
    }

    void anEndlessListingLeavesTheTabUsable()
    {
        if (!oddCard())
            QSKIP("beside a card that answers GET STATUS with 63 10 forever");
        QTRY_VERIFY_WITH_TIMEOUT(!errors_.isEmpty(), 30000);
        waitIdle();
        QVERIFY2(errors_.front().contains("GET STATUS does not end"), qPrintable(errors_.front()));
        QVERIFY(buttonNamed(form_.get(), "Refresh")->isEnabled());
        QVERIFY(buttonNamed(form_.get(), "Load onto card")->isEnabled());
        errors_.clear();
    }

    void wrongKeysSendNothingMore()
    {
        const int before = static_cast<int>(seenByCard().size());
        auto key = tolvane::gp::defaultTestKey();
        key[15] ^= 1;
        page()->keys.typed = tolvane::gp::StaticKeys{key, key, key};
        QTest::mouseClick(buttonNamed(form_.get(), "Refresh"), Qt::LeftButton);
        waitIdle();
        page()->keys.typed.reset();
        QCOMPARE(errors_.size(), 1);
        QVERIFY2(errors_.front().contains("retry counter was not touched"), qPrintable(errors_.front()));
        errors_.clear();
        const QStringList after = seenByCard().mid(before);
        for (const auto& command : after)
            QVERIFY2(!command.startsWith("EXTERNAL AUTHENTICATE"), qPrintable(after.join(", ")));
    }

    void aCardPulledOutDuringALoadIsSaid()
    {
        const pid_t card = env("TOLVANE_CARD_PID").toInt();
        QVERIFY(card > 0);
        QTimer puller;
        connect(&puller, &QTimer::timeout, this, [&] {
            if (page()->ProgressBar_Load->value() >= 1) {
                ::kill(card, SIGKILL);
                puller.stop();
            }
        });
        puller.start(1);
        QTest::mouseClick(buttonNamed(form_.get(), "Load onto card"), Qt::LeftButton);
        waitIdle();
        QVERIFY(form_->isVisible());
        QCOMPARE(errors_.size(), 1);
        QVERIFY2(errors_.front().contains("taken out"), qPrintable(errors_.front()));
        QVERIFY(form_->dxMemo1->toPlainText().contains("Error: "));
    }

    void cleanupTestCase()
    {
        ErrorBox::setScript({});
        form_.reset();
    }
};

} // namespace

QTEST_MAIN(CardTabTest)
#include "app_card_test.moc"
