// The real main window, driven through its object names on the offscreen
// platform, with the open-file dialog and the error box scripted.

#include "app/Main_U.h"
#include "app/card_page.h"
#include "app/command_line.h"
#include "app/dialogs.h"
#include "app/widgets.h"
#include "core/base/error.h"
#include "core/convert/archive_converter.h"
#include "core/convert/load_file_converter.h"
#include "core/convert/scan_converter.h"
#include "core/report/report_sink.h"
#include "qt_helpers.h"
#include "test_support.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>
#include <fstream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

using namespace tolvane::testing;

namespace {

QString joined(const std::vector<std::string>& lines)
{
    QStringList list;
    for (const auto& line : lines)
        list << q(line);
    return list.join('\n');
}

} // namespace

class WindowTest : public QObject {
    Q_OBJECT

private:
    std::optional<TempDir> dir;
    QStringList errors;
    QList<QString> dialogChoices; // each use of the dialog takes the next; an empty one cancels
    int dialogUses = 0;

    std::string settingsPath() const { return dir->file("tolvane.ini"); }
    std::unique_ptr<TMainForm> newForm() { return std::make_unique<TMainForm>(q(settingsPath())); }
    void writeSettings(const std::string& text) { writeFile(settingsPath(), bytesOf(text)); }

    void chooseThroughDialog(TMainForm& form, const QString& choice)
    {
        dialogChoices << choice;
        QTest::mouseClick(form.cxButtonEdit_CapFile->button(), Qt::LeftButton);
    }

private slots:
    void init()
    {
        dir.emplace();
        errors.clear();
        dialogChoices.clear();
        dialogUses = 0;
        ErrorBox::setScript([this](const QString& text) { errors << text; });
        TOpenDialog::setScript([this](TOpenDialog& dialog) {
            ++dialogUses;
            // Anything amiss shows as an error the test does not expect.
            if (dialogChoices.isEmpty())
                errors << "the dialog was not expected";
            if (dialog.Title != "Open CAP file" || dialog.DefaultExt != ".cap" ||
                dialog.Filter != "CAP files (*.cap)|*.cap|IJC files (*.ijc)|*.ijc|All files (*.*)|*.*")
                errors << "the dialog was set up wrongly: " + dialog.Title + " " + dialog.DefaultExt;
            const QString choice = dialogChoices.isEmpty() ? QString() : dialogChoices.takeFirst();
            lastProposedName = dialog.FileName;
            if (choice.isEmpty())
                return false;
            dialog.FileName = choice;
            return true;
        });
    }

    void cleanup()
    {
        ErrorBox::setScript({});
        TOpenDialog::setScript({});
        dir.reset();
    }

    void startsWithDefaultsWithoutASettingsFile()
    {
        auto form = newForm();
        QCOMPARE(form->outerBounds(), QRect(100, 100, 500, 400));
        QCOMPARE(form->cxButtonEdit_CapFile->text(), QString());
        QCOMPARE(form->Label_ijc->text(), ".ijc");
        QCOMPARE(form->windowTitle(), "Tolvane");
        // Every component is found by its name.
        const QStringList declared = {
            "dxStatusBar1",        "ActionList1",          "Action1", "OpenD",     "Panel1", "Label2",
            "cxButton_1",          "cxButtonEdit_CapFile", "dxMemo1", "Label_ijc", "Label1", "AbZipKit1",
            "cxButton_cap_convert"};
        for (const QString& name : declared)
            QVERIFY2(form->findChild<QObject*>(name) != nullptr, qPrintable(name));
        QVERIFY(errors.isEmpty());
        QVERIFY(!tolvane::testing::exists(settingsPath()));
    }

    void startsWithSavedSettings_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<QRect>("bounds");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("label");
        QTest::newRow("all keys") << "[main]\nMainLeft=0x20\nMainTop=-40\nMainWidth=640\nMainHeight=$1E0\n"
                                     "cap_name=/cards/applet.cap\n"
                                  << QRect(32, -40, 640, 480) << "/cards/applet.cap"
                                  << "/cards/applet.ijc";
        QTest::newRow("letters for a width") << "[MAIN]\nmainwidth=wide\nMainLeft=$20\ncap_name=/cards/applet\n"
                                             << QRect(32, 100, 500, 400) << "/cards/applet"
                                             << "/cards/applet.ijc";
        QTest::newRow("dot in a folder") << "[main]\nMainLeft=0x\ncap_name=/rel.2/applet\n"
                                         << QRect(100, 100, 500, 400) << "/rel.2/applet"
                                         << "/rel.2/applet.ijc";
        QTest::newRow("empty name") << "; kept\n[other]\ncap_name=/no\n[main]\ncap_name=\n"
                                    << QRect(100, 100, 500, 400) << ""
                                    << ".ijc";
    }

    void startsWithSavedSettings()
    {
        QFETCH(QString, settings);
        QFETCH(QRect, bounds);
        QFETCH(QString, field);
        QFETCH(QString, label);
        writeSettings(settings.toStdString());
        auto form = newForm();
        QCOMPARE(form->outerBounds(), bounds);
        QCOMPARE(form->cxButtonEdit_CapFile->text(), field);
        QCOMPARE(form->Label_ijc->text(), label);
    }

    void choosesAFileThroughTheDialog()
    {
        auto form = newForm();
        QSignalSpy changes(form->cxButtonEdit_CapFile, &QLineEdit::textChanged);

        chooseThroughDialog(*form, "/cards/wallet.cap");
        QCOMPARE(lastProposedName, QString()); // the first use starts empty
        QCOMPARE(form->cxButtonEdit_CapFile->text(), "/cards/wallet.cap");
        QCOMPARE(form->Label_ijc->text(), "/cards/wallet.ijc");
        QCOMPARE(changes.count(), 1);

        // The same file again is no change; the dialog remembered it.
        chooseThroughDialog(*form, "/cards/wallet.cap");
        QCOMPARE(lastProposedName, "/cards/wallet.cap");
        QCOMPARE(changes.count(), 1);

        // Cancelling changes nothing.
        chooseThroughDialog(*form, QString());
        QCOMPARE(form->cxButtonEdit_CapFile->text(), "/cards/wallet.cap");
        QCOMPARE(form->OpenD->FileName, "/cards/wallet.cap");
        QCOMPARE(changes.count(), 1);

        // Ctrl+Enter in the field opens the dialog as the button does.
        dialogChoices << "/cards/other.cap";
        form->cxButtonEdit_CapFile->setFocus();
        QTest::keyClick(form->cxButtonEdit_CapFile, Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(form->cxButtonEdit_CapFile->text(), "/cards/other.cap");
        QCOMPARE(dialogUses, 4);
        QVERIFY(errors.isEmpty());
    }

    void convertsWithTheVisibleButton()
    {
        const auto wallet = walletComponents();
        const auto cap = dir->file("wallet.cap");
        writeFile(cap, buildZip({{"META-INF/MANIFEST.MF", bytesOf("Manifest-Version: 1.0\r\n"), deflated},
                                 {"Header.cap", wallet.headerEntry},
                                 {"Import.cap", wallet.import}}));
        auto form = newForm();
        chooseThroughDialog(*form, q(cap));
        QTest::mouseClick(form->cxButton_cap_convert, Qt::LeftButton);
        QVERIFY2(errors.isEmpty(), qPrintable(errors.join("; ")));

        tolvane::LineHolder core;
        tolvane::ZipArchive archive;
        const auto ijc = readFile(dir->file("wallet.ijc"));
        tolvane::convertThroughArchive(cap, core, archive);
        QCOMPARE(form->dxMemo1->toPlainText(), joined(core.lines()));
        QCOMPARE(ijc, concat({wallet.header, wallet.import}));

        // The hidden button's handler runs the scanning converter, which
        // cannot walk a deflated manifest.
        form->cxButton_1->click();
        tolvane::convertByScanning(cap, core);
        QCOMPARE(form->dxMemo1->toPlainText(), joined(core.lines()));
        QVERIFY(form->dxMemo1->toPlainText().contains("Wrong CAP file format. Exiting."));
    }

    void cardLoadOrderBoxWritesTheLoadFileAndIsRemembered()
    {
        // A CAP file whose components come in archive (tag) order, with Debug.
        const auto wallet = walletComponents();
        const auto cap = dir->file("wallet.cap");
        writeFile(cap, bytesOf("placeholder"));
        auto form = newForm();
        QVERIFY(!form->CheckBox_LoadOrder->isChecked());
        QCOMPARE(form->CheckBox_LoadOrder->text(), "Card load order");
        chooseThroughDialog(*form, q(cap));

        // Checked, the button runs the load-file conversion and shows its
        // report, refusals included.
        QTest::mouseClick(form->CheckBox_LoadOrder, Qt::LeftButton);
        QVERIFY(form->CheckBox_LoadOrder->isChecked());
        writeFile(cap, buildZip({{"Header.cap", headerComponent(2, 2, {0xA0, 0, 0, 0, 0x62, 3, 1}, "w")},
                                 {"Import.cap", wallet.import}}));
        QTest::mouseClick(form->cxButton_cap_convert, Qt::LeftButton);
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors[0].startsWith("The CAP file has no Directory"), qPrintable(errors[0]));
        QVERIFY2(errors[0].endsWith("\n" + q(dir->file("wallet.ijc")) + " was not created."), qPrintable(errors[0]));
        QVERIFY(!std::filesystem::exists(dir->file("wallet.ijc"))); // a refused load file creates none

        tolvane::LineHolder core;
        tolvane::ZipArchive archive;
        QVERIFY_THROWS_EXCEPTION(tolvane::Error,
                                 tolvane::convertToLoadFile(cap, {}, tolvane::LoadFileAction::Write, core, archive));
        QCOMPARE(form->dxMemo1->toPlainText(), joined(core.lines()));

        // The box's state is the sixth key of the section, read back at start.
        QVERIFY(form->close());
        QVERIFY(fileText(settingsPath()).find("\ncap_name=" + cap + "\ncard_load_order=1\n") != std::string::npos);
        auto again = newForm();
        QVERIFY(again->CheckBox_LoadOrder->isChecked());
        QTest::mouseClick(again->CheckBox_LoadOrder, Qt::LeftButton);
        QVERIFY(again->close());
        QVERIFY(fileText(settingsPath()).find("card_load_order=0\n") != std::string::npos);
        QVERIFY(!newForm()->CheckBox_LoadOrder->isChecked());
    }

    void showsErrorsAndKeepsTheLinesBeforeThem()
    {
        const auto cap = dir->file("text.cap");
        writeFile(cap, bytesOf("just text"));
        auto form = newForm();
        form->dxMemo1->appendLine("from before");
        chooseThroughDialog(*form, q(cap));
        QTest::mouseClick(form->cxButton_cap_convert, Qt::LeftButton);
        QCOMPARE(errors, QStringList{"Unhandled Archive Type."});
        QCOMPARE(form->dxMemo1->toPlainText(), q("CAP file name: " + cap));
        QCOMPARE(readFile(dir->file("text.ijc")), ByteVector{});

        // The window stays usable: the next conversion runs.
        writeFile(cap, buildZip({{"Import.cap", walletComponents().import}}));
        QTest::mouseClick(form->cxButton_cap_convert, Qt::LeftButton);
        QCOMPARE(errors.size(), 1);
        QVERIFY(form->dxMemo1->toPlainText().endsWith("Done."));
    }

    void keyboardF5TabAndTyping()
    {
        const auto cap = dir->file("wallet.cap");
        writeFile(cap, buildZip({{"Import.cap", walletComponents().import}}));
        auto form = newForm();
        form->show();
        QApplication::setActiveWindow(form.get());
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QCOMPARE(QApplication::focusWidget(), form->cxButton_cap_convert);
        chooseThroughDialog(*form, q(cap));

        // Tab goes round the field, the log pane and the convert button, never
        // to the hidden button.
        QList<QWidget*> reached;
        for (int i = 0; i < 6; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            reached << QApplication::focusWidget();
        }
        QVERIFY(!reached.contains(form->cxButton_1));
        QVERIFY(reached.contains(form->cxButtonEdit_CapFile));
        QVERIFY(reached.contains(form->dxMemo1));
        QVERIFY(form->cxButton_1->isHidden());

        // F5 does nothing, whichever control has the focus.
        for (QWidget* control :
             {static_cast<QWidget*>(form->cxButtonEdit_CapFile), static_cast<QWidget*>(form->dxMemo1),
              static_cast<QWidget*>(form->cxButton_cap_convert)}) {
            control->setFocus();
            QTest::keyClick(control, Qt::Key_F5);
        }
        QVERIFY(!form->Action1->isEnabled());
        QVERIFY(!tolvane::testing::exists(dir->file("wallet.ijc")));
        QCOMPARE(form->dxMemo1->toPlainText(), QString());

        // Neither the field nor the log pane takes typed text.
        form->dxMemo1->appendLine("report");
        QTest::keyClicks(form->cxButtonEdit_CapFile, "typed");
        QTest::keyClicks(form->dxMemo1, "typed");
        QCOMPARE(form->cxButtonEdit_CapFile->text(), q(cap));
        QCOMPARE(form->dxMemo1->toPlainText(), "report");
        QCOMPARE(dialogUses, 1);
        for (auto* panel : form->dxStatusBar1->findChildren<QLabel*>())
            QCOMPARE(panel->text(), QString());
    }

    // What the Keys dialog takes; a typed key lives only as long as the window.
    void keysDialogAndTheSettingsFile()
    {
        const struct {
            const char* name;
            const char* version;
            bool typed;
            const char *enc, *mac, *dek;
            bool accepted;
        } cases[] = {
            {"the default test key", "30", false, "", "", "", true},
            {"a key version of two digits only", "3", false, "", "", "", false},
            {"one AES-256 key for all three", "00", true,
             "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F", "", "", true},
            {"three keys of one length", "20", true, "404142434445464748494A4B4C4D4E4F",
             "505152535455565758595A5B5C5D5E5F", "606162636465666768696A6B6C6D6E6F", true},
            {"keys of two lengths", "20", true, "404142434445464748494A4B4C4D4E4F", "5051", "", false},
            {"a typed key that is no hex", "20", true, "not a key", "", "", false},
        };
        for (const auto& c : cases) {
            TKeysDialog dialog(nullptr, CardKeys{});
            dialog.Edit_KeyVersion->setText(c.version);
            (c.typed ? dialog.Radio_TypedKey : dialog.Radio_DefaultKey)->setChecked(true);
            dialog.Edit_KeyEnc->setText(c.enc);
            dialog.Edit_KeyMac->setText(c.mac);
            dialog.Edit_KeyDek->setText(c.dek);
            const auto keys = dialog.result();
            QVERIFY2(keys.has_value() == c.accepted, c.name);
            if (keys && c.typed) {
                QVERIFY2(keys->typed.has_value(), c.name);
                QCOMPARE(keys->typed->mac.size(), keys->typed->enc.size());
            }
        }

        auto form = newForm();
        form->show();
        CardKeys& keys = form->TabSheet_Card->keys;
        keys.keyVersion = 0x31;
        keys.protocol = tolvane::gp::Protocol::Scp02;
        keys.typed = tolvane::gp::StaticKeys{std::vector<std::uint8_t>(16, 0xAB), std::vector<std::uint8_t>(16, 0xAB),
                                             std::vector<std::uint8_t>(16, 0xAB)};
        QVERIFY(form->close());
        const QString written = q(fileText(settingsPath()));
        QVERIFY(written.contains("card_key_version=49\ncard_diversification=0\ncard_scp=2\n"));
        QVERIFY2(!written.contains("ABAB") && !written.contains("abab") && !written.contains("171"),
                 qPrintable(written));
        auto again = newForm();
        QCOMPARE(again->TabSheet_Card->keys.keyVersion, 0x31u);
        QVERIFY(!again->TabSheet_Card->keys.typed.has_value());
    }

    void closingWritesAllFiveKeysInOrder()
    {
        writeSettings("; my comment\n[Main]\nMAINWIDTH=1\nextra=kept\n\n[other]\nx=1\n");
        auto form = newForm();
        chooseThroughDialog(*form, "/cards/wallet.cap");
        form->show();
        form->move(40, 30);
        QVERIFY(form->close());
        const QRect bounds = form->outerBounds();
        const std::string expected =
            "; my comment\n[Main]\nMAINWIDTH=" + std::to_string(bounds.width()) +
            "\nextra=kept\nMainLeft=40\nMainTop=30\nMainHeight=" + std::to_string(bounds.height()) +
            "\ncap_name=/cards/wallet.cap\ncard_load_order=0\ncard_key_version=0\ncard_diversification=0\n"
            "card_scp=0\ncard_security=1\nexport_path=\n\n[other]\nx=1\n";
        QCOMPARE(q(fileText(settingsPath())), q(expected));

        // Without a file, closing creates one with the section and the keys.
        std::filesystem::remove(settingsPath());
        auto fresh = newForm();
        fresh->show();
        QVERIFY(fresh->close());
        QCOMPARE(q(fileText(settingsPath())),
                 "[main]\nMainLeft=100\nMainTop=100\nMainWidth=500\nMainHeight=400\ncap_name=\ncard_load_order=0\n"
                 "card_key_version=0\ncard_diversification=0\ncard_scp=0\ncard_security=1\nexport_path=\n");
        QVERIFY(errors.isEmpty());
    }

    void maximisedWindowReopensNormalWithItsRectangle()
    {
        auto form = newForm();
        form->showMaximized();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
        const QRect maximised = form->outerBounds();
        QVERIFY(form->close());
        auto next = newForm();
        next->show();
        QVERIFY(!next->isMaximized());
        QCOMPARE(next->outerBounds(), maximised);
    }

    void settingsThatCannotBeWrittenAreReportedOnceAndTheWindowCloses()
    {
        writeFile(dir->file("plain"), bytesOf("a file, not a folder"));
        const auto path = dir->file("plain/tolvane.ini");
        TMainForm form(q(path));
        form.show();
        QVERIFY(form.close());
        QCOMPARE(errors, QStringList{q("Unable to write to " + path + ".")});
        QVERIFY(!form.isVisible());
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("ask");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("error");
        const int window = static_cast<int>(CommandLine::Ask::Window);
        QTest::newRow("none") << QStringList{} << window << QStringList{} << "";
        QTest::newRow("relative and absolute names, in order")
            << QStringList{"b.cap", "/cards/a.cap", "../up/c.cap", "./d.cap"} << window
            << QStringList{"/work/here/b.cap", "/cards/a.cap", "/work/up/c.cap", "/work/here/d.cap"} << "";
        QTest::newRow("names that look like options, after --")
            << QStringList{"--", "--help", "-x.cap"} << window << QStringList{"/work/here/--help", "/work/here/-x.cap"}
            << "";
        QTest::newRow("help") << QStringList{"a.cap", "--help"} << static_cast<int>(CommandLine::Ask::Help)
                              << QStringList{"/work/here/a.cap"} << "";
        QTest::newRow("version") << QStringList{"--version"} << static_cast<int>(CommandLine::Ask::Version)
                                 << QStringList{} << "";
        QTest::newRow("the first unknown option")
            << QStringList{"-x", "a.cap", "--scan"} << window << QStringList{"/work/here/a.cap"} << "-x";
        QTest::newRow("a lone dash is a name") << QStringList{"-"} << window << QStringList{"/work/here/-"} << "";
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, ask);
        QFETCH(QStringList, files);
        QFETCH(QString, error);
        const CommandLine line = readCommandLine(arguments, "/work/here");
        QCOMPARE(static_cast<int>(line.ask), ask);
        QCOMPARE(line.files, files);
        QCOMPARE(line.error, error);
    }

    void settingsLiveBesideTheExecutableOrInTheConfigurationFolder()
    {
        // As the unprivileged user, for whom a folder of the superuser's
        // takes no new file.
        const auto portable = dir->file("portable");
        const auto installed = dir->file("installed");
        for (const auto& folder : {portable, installed})
            std::filesystem::create_directory(folder);
        ::chmod(dir->path().c_str(), 0755);
        ::chmod(installed.c_str(), 0755);
        ::chown(portable.c_str(), unprivilegedId, unprivilegedId);
        const std::string config = "/home/user/.config/tolvane";
        const auto choose = [&](const std::string& executable) {
            return asUnprivileged([&] { return TMainForm::settingsPathFor(q(executable), q(config)).toStdString(); });
        };
        QCOMPARE(q(choose(portable + "/tolvane")), q(portable + "/tolvane.ini"));
        QCOMPARE(q(choose(installed + "/tolvane")), q(config + "/tolvane.ini"));
        // A settings file there that its user may write keeps it portable.
        writeFile(installed + "/tolvane.ini", {});
        ::chown((installed + "/tolvane.ini").c_str(), unprivilegedId, unprivilegedId);
        QCOMPARE(q(choose(installed + "/tolvane")), q(installed + "/tolvane.ini"));
        // Installed with the system, even the superuser's settings go to the configuration folder.
        QCOMPARE(TMainForm::settingsPathFor("/usr/bin/tolvane", q(config)), q(config + "/tolvane.ini"));
    }

private:
    QString lastProposedName;
};

QTEST_MAIN(WindowTest)
#include "app_test.moc"
