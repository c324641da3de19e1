#include "app/Main_U.h"

#include "app/dialogs.h"
#include "app/widgets.h"
#include "core/base/error.h"
#include "core/base/file_layer.h"
#include "core/base/paths.h"
#include "core/convert/archive_converter.h"
#include "core/convert/load_file_converter.h"
#include "core/convert/scan_converter.h"
#include "core/settings/profile.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QStandardPaths>
#include <QStatusBar>
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
// box beside the convert button, above a log pane of a few lines.
constexpr QSize minimumWindowSize(420, 240);
constexpr int fieldLeft = 70;
constexpr int labelLeft = 75;
constexpr int panelMargin = 12;

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

    dxMemo1 = new TLogPane(this);
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
    CheckBox_LoadOrder->move(260, 62);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(Panel1);
    layout->addWidget(dxMemo1, 1);
    layout->addWidget(dxStatusBar1);
    // The convert button lies over the panel, outside the layout.
    cxButton_cap_convert->raise();

    setTabOrder(cxButtonEdit_CapFile, dxMemo1);
    setTabOrder(dxMemo1, cxButton_cap_convert);
    setTabOrder(cxButton_cap_convert, CheckBox_LoadOrder);
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
}

bool TMainForm::guarded(const std::function<void()>& handler)
{
    try {
        handler();
        return true;
    } catch (const std::exception& error) {
        if (QWidget* grabber = QWidget::mouseGrabber())
            grabber->releaseMouse();
        ErrorBox::show(this, QString::fromStdString(tolvane::displayText(error.what())));
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
    setOuterHeight(tolvane::profile::readInteger(section, "MainHeight", 300, path));
    cxButtonEdit_CapFile->setText(QString::fromStdString(tolvane::profile::readString(section, "cap_name", "", path)));
    CheckBox_LoadOrder->setChecked(tolvane::profile::readInteger(section, "card_load_order", 0, path) != 0);
}

void TMainForm::FormClose(QObject*)
{
    const std::string path = settingsPath_.toStdString();
    const QRect bounds = outerBounds();
    const std::vector<tolvane::profile::Value> values = {
        {"MainLeft", std::to_string(bounds.x())},
        {"MainTop", std::to_string(bounds.y())},
        {"MainWidth", std::to_string(bounds.width())},
        {"MainHeight", std::to_string(bounds.height())},
        {"cap_name", capPath()},
        {"card_load_order", CheckBox_LoadOrder->isChecked() ? "1" : "0"},
    };
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
    if (CheckBox_LoadOrder->isChecked())
        tolvane::convertToLoadFile(capPath(), {}, tolvane::LoadFileAction::Write, *dxMemo1, AbZipKit1->archive);
    else
        tolvane::convertThroughArchive(capPath(), *dxMemo1, AbZipKit1->archive);
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
