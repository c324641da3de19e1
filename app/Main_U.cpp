#include "app/Main_U.h"

#include "app/card_page.h"
#include "app/desktop.h"
#include "app/dialogs.h"
#include "app/structure_view.h"
#include "app/widgets.h"
#include "core/base/error.h"
#include "core/base/file_layer.h"
#include "core/base/paths.h"
#include "core/convert/archive_converter.h"
#include "core/convert/load_file_converter.h"
#include "core/convert/scan_converter.h"
#include "core/exp/export_path.h"
#include "core/report/load_file_report.h"
#include "core/settings/profile.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

TMainForm* MainForm = nullptr;

namespace {

constexpr const char* section = "main";

// The layout is drawn for 96 dots per inch; Qt scales it to the display.
constexpr int panelHeight = 129;
constexpr int statusBarHeight = 20;

QFont windowFont(const char* family, qreal points)
{
    QFont font(family);
    font.setPointSizeF(points);
    return font;
}

QPushButton* convertButton(QWidget* parent, const char* name)
{
    auto* button = new TFlatButton(QIcon(Artwork::folderGlyph()), "convert Tolvane", parent);
    button->setObjectName(name);
    button->setIconSize(QSize(32, 32));
    button->setGeometry(0, 0, 159, 50);
    return button;
}

// Room for every control: the field with its button, the IJC label and the
// box beside the convert button, above a log pane of a few lines. The
// buttons beside the box may want more width, which they are then given.
constexpr QSize minimumWindowSize(420, 240);
// The height a window opens with before the settings file gives one: room
// under the panel for the Card tab's first ten rows.
constexpr int firstHeight = 400;
constexpr int fieldLeft = 70;
constexpr int labelLeft = 75;
constexpr int panelMargin = 12;

// The files a drag brings, when every one is a local file; else none.
QStringList localFiles(const QMimeData* data)
{
    QStringList paths;
    if (data == nullptr || !data->hasUrls())
        return paths;
    for (const QUrl& url : data->urls()) {
        if (!url.isLocalFile() || url.toLocalFile().isEmpty())
            return {};
        paths << url.toLocalFile();
    }
    return paths;
}

// The log pane as several conversions report to it: each report follows
// the last rather than taking its place.
class FollowingReports final : public tolvane::ReportSink {
public:
    explicit FollowingReports(tolvane::ReportSink& pane) : pane_(pane) {}
    void clear() override {}

protected:
    void writeLine(const std::string& line) override { pane_.appendLine(line); }

private:
    tolvane::ReportSink& pane_;
};

QPushButton* actionButton(QWidget* parent, const char* name, QAction* action)
{
    auto* button = new QPushButton(action->text(), parent);
    button->setObjectName(name);
    button->setToolTip(action->toolTip());
    QObject::connect(button, &QPushButton::clicked, action, &QAction::trigger);
    return button;
}

} // namespace

TMainForm::TMainForm(const QString& settingsPath, QWidget* parent) : QWidget(parent), settingsPath_(settingsPath)
{
    setObjectName("MainForm");
    setWindowTitle("Tolvane");
    setWindowIcon(Artwork::mainIcon());
    setFont(windowFont("MS Sans Serif", 8.5));
    setMinimumSize(minimumWindowSize);
    resize(672, 418);
    buildComponents();

    // Settings arrive after the window is built, so the field's change
    // handler runs for the saved name and for every later change.
    wireHandlers();
    guarded([this] { FormCreate(this); });
    cxButton_cap_convert->setFocus();
}

TMainForm::~TMainForm() = default;

QString TMainForm::defaultSettingsPath()
{
    return settingsPathFor(QCoreApplication::applicationFilePath(),
                           QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation));
}

QString TMainForm::settingsPathFor(const QString& executable, const QString& configFolder)
{
    const QString beside = QString::fromStdString(tolvane::withExtension(executable.toStdString(), ".ini"));
    const QFileInfo file(beside);
    struct stat info {};
    const std::string native = QFile::encodeName(beside).toStdString();
    // A program installed with the system (as a package installs it) is no
    // portable copy, even for the superuser, who could write beside it.
    const bool installed = executable.startsWith("/usr/") || executable.startsWith("/bin/");
    const bool portable = installed ? false
                          : ::stat(native.c_str(), &info) == 0
                              ? tolvane::files::permitsWriting(info) && ::access(native.c_str(), W_OK) == 0
                              : ::access(QFile::encodeName(file.absolutePath()).constData(), W_OK) == 0;
    if (portable || configFolder.isEmpty())
        return beside;
    return QDir(configFolder).filePath("tolvane.ini");
}

void TMainForm::buildComponents()
{
    dxStatusBar1 = new QStatusBar(this);
    dxStatusBar1->setObjectName("dxStatusBar1");
    dxStatusBar1->setFixedHeight(statusBarHeight);
    dxStatusBar1->setSizeGripEnabled(false);
    dxStatusBar1->setFont(windowFont("MS Sans Serif", 9));
    for (int i = 0; i < 3; ++i) {
        auto* panel = new QLabel(dxStatusBar1);
        panel->setObjectName(QString("dxStatusBar1_Panel%1").arg(i));
        panel->setMinimumWidth(i < 2 ? 100 : 0);
        dxStatusBar1->addWidget(panel, i < 2 ? 0 : 1);
    }

    // F5 is bound to a Convert action that has no handler: it stays disabled
    // and the key does nothing.
    ActionList1 = new QObject(this);
    ActionList1->setObjectName("ActionList1");
    Action1 = new QAction("Convert", ActionList1);
    Action1->setObjectName("Action1");
    Action1->setShortcut(QKeySequence(Qt::Key_F5));
    Action1->setShortcutContext(Qt::WindowShortcut);
    Action1->setEnabled(false);
    addAction(Action1);

    OpenD = new TOpenDialog(this);
    OpenD->setObjectName("OpenD");

    Panel1 = new QFrame(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFrameShape(QFrame::Panel);
    Panel1->setFrameShadow(QFrame::Sunken);
    Panel1->setFixedHeight(panelHeight);

    Label2 = new QLabel("CAP file", Panel1);
    Label2->setObjectName("Label2");
    Label2->move(27, 26);

    // Hidden for good: neither the mouse nor Tab can reach it.
    cxButton_1 = convertButton(Panel1, "cxButton_1");
    cxButton_1->move(279, 58);
    cxButton_1->setFocusPolicy(Qt::NoFocus);
    cxButton_1->hide();

    cxButtonEdit_CapFile = new TButtonEdit(Panel1);
    cxButtonEdit_CapFile->setObjectName("cxButtonEdit_CapFile");
    cxButtonEdit_CapFile->setGeometry(fieldLeft, 23, 571, cxButtonEdit_CapFile->sizeHint().height());
    cxButtonEdit_CapFile->setFrame(true);

    PageControl_Views = new QTabWidget(this);
    PageControl_Views->setObjectName("PageControl_Views");
    PageControl_Views->setDocumentMode(true);
    PageControl_Views->setFocusPolicy(Qt::NoFocus);

    dxMemo1 = new TLogPane(PageControl_Views);
    dxMemo1->setObjectName("dxMemo1");
    dxMemo1->setFont(windowFont("Arial Narrow", 11));

    Label_ijc = new QLabel(Panel1);
    Label_ijc->setObjectName("Label_ijc");
    Label_ijc->move(labelLeft, 101);
    Label_ijc->setTextFormat(Qt::PlainText);
    // What the change handler would show for the empty field, which setting
    // it empty again does not run.
    ijcPath_ = QString::fromStdString(tolvane::withExtension("", ".ijc"));
    showIjcPath();

    Label1 = new QLabel("IJC file", Panel1);
    Label1->setObjectName("Label1");
    Label1->move(27, 101);

    AbZipKit1 = new TAbZipKit(this);
    AbZipKit1->setObjectName("AbZipKit1");

    cxButton_cap_convert = convertButton(this, "cxButton_cap_convert");
    cxButton_cap_convert->move(76, 47);

    CheckBox_LoadOrder = new QCheckBox("Card load order", Panel1);
    CheckBox_LoadOrder->setObjectName("CheckBox_LoadOrder");
    CheckBox_LoadOrder->setToolTip("Write the load file that card loaders send: the components in the reference "
                                   "load order, without Debug, after checking them");
    CheckBox_LoadOrder->move(260, 50);

    TreeView_Structure = new TStructureView(PageControl_Views);
    TreeView_Structure->setObjectName("TreeView_Structure");
    PageControl_Views->addTab(dxMemo1, "Report");
    PageControl_Views->addTab(TreeView_Structure, "Structure");
    TCardPage::Hooks hooks;
    hooks.capPath = [this] { return capPath(); };
    hooks.showError = [this](const QString& text) { ErrorBox::show(this, text); };
    hooks.showStructure = [this] {
        showStructure();
        PageControl_Views->setCurrentWidget(TreeView_Structure);
    };
    hooks.confirm = [this](const QString& text) { return ConfirmBox::ask(this, text); };
    hooks.exports = [this] { return exportPath(); };
    hooks.chooseCardFile = [this](const QString& current) { return CardFileDialog::ask(this, current); };
    TabSheet_Card = new TCardPage(PageControl_Views, *dxMemo1, hooks);
    PageControl_Views->addTab(TabSheet_Card, "Card");

    Action_SaveScript = new QAction(QString::fromUtf8("Save card script\u2026"), this);
    Action_SaveScript->setObjectName("Action_SaveScript");
    Action_SaveScript->setToolTip("Write the commands that load and install the chosen CAP file on a card");
    Action_ShowInFolder = new QAction("Show in folder", this);
    Action_ShowInFolder->setObjectName("Action_ShowInFolder");
    Action_ShowInFolder->setToolTip("Show the IJC file written last in the file manager");
    Action_ExportFiles = new QAction(QString::fromUtf8("Export files\u2026"), this);
    Action_ExportFiles->setObjectName("Action_ExportFiles");
    Action_ExportFiles->setToolTip("Where the export files of imported packages are, to check and name the "
                                   "references to them");
    dxMemo1->addMenuAction(Action_SaveScript);
    dxMemo1->addMenuAction(Action_ShowInFolder);
    dxMemo1->addMenuAction(Action_ExportFiles);
    // The structure's own menu has it too: it names what the files name.
    TreeView_Structure->setContextMenuPolicy(Qt::ActionsContextMenu);
    TreeView_Structure->addAction(Action_ExportFiles);

    // Under the box, side by side, each as wide as its text: they fit in the
    // 500 pixels a window first opens with, and the window is never narrower.
    cxButton_SaveScript = actionButton(Panel1, "cxButton_SaveScript", Action_SaveScript);
    cxButton_ShowInFolder = actionButton(Panel1, "cxButton_ShowInFolder", Action_ShowInFolder);
    const auto widthOf = [](QPushButton* button) {
        return button->fontMetrics().horizontalAdvance(button->text()) + 14;
    };
    const int buttonHeight = cxButton_SaveScript->sizeHint().height();
    cxButton_SaveScript->setGeometry(CheckBox_LoadOrder->x(), 97 - buttonHeight, widthOf(cxButton_SaveScript),
                                     buttonHeight);
    cxButton_ShowInFolder->setGeometry(cxButton_SaveScript->geometry().right() + 7, 97 - buttonHeight,
                                       widthOf(cxButton_ShowInFolder), buttonHeight);
    setMinimumWidth(std::max(minimumWidth(), cxButton_ShowInFolder->geometry().right() + panelMargin));

    // A drop anywhere on the window is the window's: no control takes it.
    setAcceptDrops(true);
    for (QWidget* control :
         {static_cast<QWidget*>(dxMemo1), dxMemo1->viewport(), static_cast<QWidget*>(TreeView_Structure),
          TreeView_Structure->viewport(), static_cast<QWidget*>(cxButtonEdit_CapFile)})
        control->setAcceptDrops(false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(Panel1);
    layout->addWidget(PageControl_Views, 1);
    layout->addWidget(dxStatusBar1);
    // The convert button lies over the panel, outside the layout.
    cxButton_cap_convert->raise();

    setTabOrder(cxButtonEdit_CapFile, dxMemo1);
    setTabOrder(dxMemo1, cxButton_cap_convert);
    setTabOrder(cxButton_cap_convert, CheckBox_LoadOrder);
    setTabOrder(CheckBox_LoadOrder, cxButton_SaveScript);
    setTabOrder(cxButton_SaveScript, cxButton_ShowInFolder);
    setTabOrder(cxButton_ShowInFolder, TreeView_Structure);
    updateActions();
}

void TMainForm::wireHandlers()
{
    connect(cxButtonEdit_CapFile, &TButtonEdit::buttonClicked, this,
            [this] { guarded([this] { cxButtonEdit_PinFilePropertiesButtonClick(cxButtonEdit_CapFile); }); });
    connect(cxButtonEdit_CapFile, &QLineEdit::textChanged, this,
            [this] { guarded([this] { cxButtonEdit_CapFilePropertiesChange(cxButtonEdit_CapFile); }); });
    connect(cxButton_cap_convert, &QPushButton::clicked, this,
            [this] { guarded([this] { cxButton_cap_convertClick(cxButton_cap_convert); }); });
    connect(cxButton_1, &QPushButton::clicked, this, [this] { guarded([this] { cxButton_1Click(cxButton_1); }); });
    connect(Action_SaveScript, &QAction::triggered, this,
            [this] { guarded([this] { cxButton_SaveScriptClick(cxButton_SaveScript); }); });
    connect(Action_ExportFiles, &QAction::triggered, this,
            [this] { guarded([this] { Action_ExportFilesClick(Action_ExportFiles); }); });
    connect(Action_ShowInFolder, &QAction::triggered, this,
            [this] { guarded([this] { cxButton_ShowInFolderClick(cxButton_ShowInFolder); }); });
}

bool TMainForm::guarded(const std::function<void()>& handler)
{
    try {
        handler();
        return true;
    } catch (const std::exception& error) {
        if (QWidget* grabber = QWidget::mouseGrabber())
            grabber->releaseMouse();
        ErrorBox::show(this, QString::fromStdString(tolvane::displayText(error)));
        return false;
    }
}

std::string TMainForm::capPath() const
{
    return cxButtonEdit_CapFile->text().toStdString();
}

void TMainForm::FormCreate(QObject*)
{
    const std::string path = settingsPath_.toStdString();
    setOuterLeft(tolvane::profile::readInteger(section, "MainLeft", 100, path));
    setOuterTop(tolvane::profile::readInteger(section, "MainTop", 100, path));
    setOuterWidth(tolvane::profile::readInteger(section, "MainWidth", 500, path));
    setOuterHeight(tolvane::profile::readInteger(section, "MainHeight", firstHeight, path));
    cxButtonEdit_CapFile->setText(QString::fromStdString(tolvane::profile::readString(section, "cap_name", "", path)));
    CheckBox_LoadOrder->setChecked(tolvane::profile::readInteger(section, "card_load_order", 0, path) != 0);
    // Kept as the command line takes them: joined with ':'.
    exportFolders = QString::fromStdString(tolvane::profile::readString(section, "export_path", "", path))
                        .split(':', Qt::SkipEmptyParts);
    // The card's settings, but never a key.
    CardKeys& keys = TabSheet_Card->keys;
    keys.keyVersion = static_cast<unsigned>(tolvane::profile::readInteger(section, "card_key_version", 0, path)) & 0xFF;
    keys.diversification = static_cast<tolvane::gp::Diversification>(
        std::clamp(tolvane::profile::readInteger(section, "card_diversification", 0, path), 0, 3));
    const int scp = tolvane::profile::readInteger(section, "card_scp", 0, path);
    if (scp == 2 || scp == 3)
        keys.protocol = static_cast<tolvane::gp::Protocol>(scp);
    keys.level = tolvane::profile::readInteger(section, "card_security", 1, path) == 3
                     ? tolvane::gp::SecurityLevel::MacAndEncryption
                     : tolvane::gp::SecurityLevel::Mac;
    TabSheet_Card->simulatedCardFile =
        QString::fromStdString(tolvane::profile::readString(section, "card_simulated_file", "", path));
    TabSheet_Card->start();
}

void TMainForm::FormClose(QObject*)
{
    const std::string path = settingsPath_.toStdString();
    const QRect bounds = outerBounds();
    std::vector<tolvane::profile::Value> values = {
        {"MainLeft", std::to_string(bounds.x())},
        {"MainTop", std::to_string(bounds.y())},
        {"MainWidth", std::to_string(bounds.width())},
        {"MainHeight", std::to_string(bounds.height())},
        {"cap_name", capPath()},
        {"card_load_order", CheckBox_LoadOrder->isChecked() ? "1" : "0"},
        {"card_key_version", std::to_string(TabSheet_Card->keys.keyVersion)},
        {"card_diversification", std::to_string(static_cast<int>(TabSheet_Card->keys.diversification))},
        {"card_scp",
         std::to_string(TabSheet_Card->keys.protocol ? static_cast<int>(*TabSheet_Card->keys.protocol) : 0)},
        {"card_security", std::to_string(static_cast<int>(TabSheet_Card->keys.level))},
        {"export_path", exportFolders.join(':').toStdString()},
    };
    // The simulated card's file, once one was chosen: a settings file of a
    // window that never used it stays as it was.
    if (!TabSheet_Card->simulatedCardFile.isEmpty())
        values.push_back({"card_simulated_file", TabSheet_Card->simulatedCardFile.toStdString()});
    // The configuration folder may not be there yet.
    QDir().mkpath(QFileInfo(settingsPath_).absolutePath());
    if (!tolvane::profile::writeStrings(section, values, path))
        throw tolvane::Error(tolvane::ErrorKind::Settings, path);
}

void TMainForm::cxButton_1Click(QObject*)
{
    tolvane::convertByScanning(capPath(), *dxMemo1);
}

void TMainForm::cxButtonEdit_PinFilePropertiesButtonClick(QObject*)
{
    OpenD->Title = "Open CAP file";
    OpenD->DefaultExt = ".cap";
    OpenD->Filter = "CAP files (*.cap)|*.cap|IJC files (*.ijc)|*.ijc|All files (*.*)|*.*";
    if (OpenD->Execute(this))
        cxButtonEdit_CapFile->setText(OpenD->FileName);
}

void TMainForm::cxButtonEdit_CapFilePropertiesChange(QObject*)
{
    ijcPath_ = QString::fromStdString(tolvane::withExtension(capPath(), ".ijc"));
    cxButtonEdit_CapFile->setToolTip(cxButtonEdit_CapFile->text());
    showIjcPath();
    updateActions();
}

void TMainForm::showIjcPath()
{
    // A path too long for the label keeps its start and its file name, with
    // the middle left out; the whole path is in the tooltip.
    Label_ijc->setToolTip(ijcPath_);
    if (!Panel1->isVisible()) {
        // Not laid out yet: its room is not known.
        Label_ijc->setText(ijcPath_);
        Label_ijc->adjustSize();
        return;
    }
    const int room = std::max(0, Panel1->width() - labelLeft - panelMargin);
    Label_ijc->setText(Label_ijc->fontMetrics().elidedText(ijcPath_, Qt::ElideMiddle, room));
    Label_ijc->resize(room, Label_ijc->sizeHint().height());
}

void TMainForm::layOutPanel()
{
    cxButtonEdit_CapFile->resize(std::max(0, Panel1->width() - fieldLeft - panelMargin),
                                 cxButtonEdit_CapFile->height());
    showIjcPath();
}

void TMainForm::cxButton_cap_convertClick(QObject*)
{
    showStatus(QString());
    // The structure shown is the chosen file's, whether or not it converts.
    struct AfterConversion {
        TMainForm& form;
        ~AfterConversion()
        {
            form.showStructure();
            form.updateActions();
        }
    } after{*this};
    convertInto(*dxMemo1);
}

void TMainForm::convertInto(tolvane::ReportSink& sink)
{
    writtenPath_.clear();
    converted_ = {};
    const std::string path = capPath();
    if (CheckBox_LoadOrder->isChecked()) {
        tolvane::LoadFileOptions options;
        options.exports = exportPath();
        writtenPath_ = QString::fromStdString(tolvane::convertToLoadFile(path, options, tolvane::LoadFileAction::Write,
                                                                         sink, AbZipKit1->archive, &converted_));
    } else {
        // The archive keeps the bytes it converted, for the structure.
        struct KeepBytes {
            TMainForm& form;
            std::string path;
            ~KeepBytes()
            {
                form.converted_.bytes = form.AbZipKit1->archive.takeLastBytes();
                if (!form.converted_.bytes.empty())
                    form.converted_.path = path;
            }
        } keep{*this, path};
        tolvane::convertThroughArchive(path, sink, AbZipKit1->archive);
        writtenPath_ = ijcPath_;
    }
}

void TMainForm::openFiles(const QStringList& paths)
{
    if (paths.size() == 1) {
        cxButtonEdit_CapFile->setText(paths.front());
        guarded([this] { cxButton_cap_convertClick(cxButton_cap_convert); });
        return;
    }
    if (paths.isEmpty())
        return;
    dxMemo1->clear();
    FollowingReports reports(*dxMemo1);
    int failed = 0;
    for (int i = 0; i < paths.size(); ++i) {
        showStatus(QString("Converting %1 of %2").arg(i + 1).arg(paths.size()));
        if (i != 0)
            dxMemo1->appendLine(""); // between one report and the next
        cxButtonEdit_CapFile->setText(paths[i]);
        try {
            convertInto(reports);
        } catch (const std::exception& error) {
            ++failed;
            writtenPath_.clear();
            dxMemo1->appendLine("Error: " + tolvane::displayText(error.what()));
        }
    }
    showStatus(QString("%1 converted, %2 failed").arg(paths.size() - failed).arg(failed));
    showStructure();
    updateActions();
}

void TMainForm::showStructure()
{
    try {
        // The bytes just converted, where there are any: the file is not
        // read again, and the structure is of what was converted.
        if (converted_.path.empty() || converted_.path != capPath())
            converted_ = tolvane::readInput(capPath());
        TreeView_Structure->showPackage(tolvane::inspectInput(converted_, AbZipKit1->archive, exportPath()));
    } catch (const std::exception& error) {
        TreeView_Structure->showProblem(QString::fromStdString(tolvane::displayText(error.what())));
    }
}

std::shared_ptr<const tolvane::exp::ExportPath> TMainForm::exportPath() const
{
    if (exportFolders != exportPathFolders_) {
        std::vector<std::string> entries;
        for (const auto& folder : exportFolders)
            entries.push_back(folder.toStdString());
        exportPathFolders_ = exportFolders;
        exportPath_ = entries.empty() ? nullptr : std::make_shared<const tolvane::exp::ExportPath>(entries);
    }
    return exportPath_;
}

void TMainForm::Action_ExportFilesClick(QObject*)
{
    if (const auto chosen = ExportFilesDialog::ask(this, exportFolders)) {
        exportFolders = *chosen;
        // Looked through again, even unchanged: files may have come since.
        exportPathFolders_.clear();
        exportPath_.reset();
        showStructure();
    }
}

void TMainForm::updateActions()
{
    const bool chosen = !cxButtonEdit_CapFile->text().isEmpty();
    Action_SaveScript->setEnabled(chosen);
    cxButton_SaveScript->setEnabled(chosen);
    const bool written = !writtenPath_.isEmpty();
    Action_ShowInFolder->setEnabled(written);
    cxButton_ShowInFolder->setEnabled(written);
}

void TMainForm::showStatus(const QString& text)
{
    auto* panel = dxStatusBar1->findChild<QLabel*>("dxStatusBar1_Panel0");
    panel->setText(text);
    // Conversions run on this thread: the progress is painted now, not
    // when they are all done.
    panel->repaint();
}

void TMainForm::cxButton_SaveScriptClick(QObject*)
{
    const std::string path = capPath();
    if (path.empty())
        throw tolvane::Error(tolvane::ErrorKind::NoCapFile, path);
    const QString chosen =
        SaveDialog::ask(this, "Save card script", QString::fromStdString(tolvane::withExtension(path, ".apdu")),
                        "APDU scripts (*.apdu);;All files (*)");
    if (chosen.isEmpty())
        return;
    tolvane::LoadFileReport report(*dxMemo1);
    tolvane::convertToApduScript(path, {}, tolvane::apdu::Options{}, report, AbZipKit1->archive,
                                 QFile::encodeName(chosen).toStdString());
}

void TMainForm::cxButton_ShowInFolderClick(QObject*)
{
    if (writtenPath_.isEmpty())
        return;
    if (!Desktop::showInFolder(writtenPath_))
        throw tolvane::Error(tolvane::ErrorKind::CannotOpen, writtenPath_.toStdString(),
                             "No file manager could show it");
}

void TMainForm::dragEnterEvent(QDragEnterEvent* event)
{
    if (localFiles(event->mimeData()).isEmpty())
        event->ignore();
    else
        event->acceptProposedAction();
}

void TMainForm::dragMoveEvent(QDragMoveEvent* event)
{
    if (localFiles(event->mimeData()).isEmpty())
        event->ignore();
    else
        event->acceptProposedAction();
}

void TMainForm::dropEvent(QDropEvent* event)
{
    const QStringList paths = localFiles(event->mimeData());
    if (paths.isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    // Converted once the drop has ended, so that the program the files came
    // from is not kept waiting, nor an error box shown inside the drop.
    QTimer::singleShot(0, this, [this, paths] { openFiles(paths); });
}

void TMainForm::closeEvent(QCloseEvent* event)
{
    // Settings that cannot be kept are reported once; the window closes all
    // the same, for the person closing it has no way to make them writable
    // from here.
    guarded([this] { FormClose(this); });
    event->accept();
}

void TMainForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (shownOnce_)
        return;
    shownOnce_ = true;
    // The saved bounds are those of the frame, whose size a window manager
    // gives only once it has framed the window: now, or at a later move.
    awaitingFrame_ = requestedBounds_.isValid();
    placeInFrame();
    layOutPanel();
}

void TMainForm::placeInFrame()
{
    const QSize extra = frameExtra();
    if (!awaitingFrame_ || extra.isNull())
        return;
    awaitingFrame_ = false;
    move(requestedBounds_.topLeft());
    resize(requestedBounds_.size() - extra);
}

void TMainForm::moveEvent(QMoveEvent* event)
{
    QWidget::moveEvent(event);
    placeInFrame();
}

void TMainForm::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    placeInFrame();
    layOutPanel();
}

QSize TMainForm::frameExtra() const
{
    return frameGeometry().size() - geometry().size();
}

QRect TMainForm::outerBounds() const
{
    if (isMinimized()) {
        const QSize extra = frameExtra();
        const QRect normal = normalGeometry();
        const QPoint frameOffset = geometry().topLeft() - frameGeometry().topLeft();
        return QRect(normal.topLeft() - frameOffset, normal.size() + extra);
    }
    return frameGeometry();
}

void TMainForm::setOuterLeft(int left)
{
    requestedBounds_.moveLeft(left);
    move(left, frameGeometry().y());
}

void TMainForm::setOuterTop(int top)
{
    requestedBounds_.moveTop(top);
    move(frameGeometry().x(), top);
}

void TMainForm::setOuterWidth(int width)
{
    requestedBounds_.setWidth(width);
    resize(width - frameExtra().width(), height());
}

void TMainForm::setOuterHeight(int height)
{
    requestedBounds_.setHeight(height);
    resize(width(), height - frameExtra().height());
}
