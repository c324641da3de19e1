#pragma once

// The main window. Its class, its components and its handlers bear fixed
// names (TMainForm, cxButtonEdit_CapFile, dxMemo1, FormCreate, ...): they are
// part of the product's contract, by which tests and accessibility tools find
// the controls, so they are kept exactly as they are.

#include "core/convert/input_file.h"
#include "core/zip/archive.h"

namespace tolvane {
class ReportSink;
namespace exp {
class ExportPath;
}
} // namespace tolvane

#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

class QAction;
class QCheckBox;
class QFrame;
class QLabel;
class QPushButton;
class QStatusBar;
class QTabWidget;
class TStructureView;
class TCardPage;
class TButtonEdit;
class TLogPane;
class TOpenDialog;

// The window's ZIP archive component: the archive reader that the archive
// converter reads CAP files through, owned by the window.
class TAbZipKit : public QObject {
public:
    explicit TAbZipKit(QObject* parent) : QObject(parent) {}
    tolvane::ZipArchive archive;
};

class TMainForm : public QWidget {
    Q_OBJECT
public:
    // `settingsPath` is the settings file; by default the one that
    // settingsPathFor gives for the executable.
    explicit TMainForm(const QString& settingsPath = defaultSettingsPath(), QWidget* parent = nullptr);
    ~TMainForm() override;

    static QString defaultSettingsPath();
    // The settings file beside the executable (its path with ".ini") when that
    // file, or where it is missing its folder, can be written: a portable
    // installation. Otherwise tolvane.ini in the user's configuration folder,
    // `configFolder`, as for a program installed where its user cannot write.
    static QString settingsPathFor(const QString& executable, const QString& configFolder);

    // The components, in their order of declaration.
    QStatusBar* dxStatusBar1;
    QObject* ActionList1;
    QAction* Action1;
    TOpenDialog* OpenD;
    QFrame* Panel1;
    QLabel* Label2;
    QPushButton* cxButton_1;
    TButtonEdit* cxButtonEdit_CapFile;
    TLogPane* dxMemo1;
    QLabel* Label_ijc;
    QLabel* Label1;
    TAbZipKit* AbZipKit1;
    QPushButton* cxButton_cap_convert;
    // Checked, the convert button writes the load file that card loaders send.
    QCheckBox* CheckBox_LoadOrder;
    // The report and the chosen package's shape, each on a tab of its own.
    QTabWidget* PageControl_Views;
    TStructureView* TreeView_Structure;
    // Writes the chosen CAP file's card script where a save dialog says.
    QAction* Action_SaveScript;
    QPushButton* cxButton_SaveScript;
    // Shows the IJC file last written in the file manager.
    QAction* Action_ShowInFolder;
    QPushButton* cxButton_ShowInFolder;
    // The card in the chosen reader: what it holds, loading and deleting.
    TCardPage* TabSheet_Card;
    // Where the export files of imported packages are: the Export files
    // dialog sets them, the settings file keeps them, and the checks, the
    // structure and the Card tab use them.
    QAction* Action_ExportFiles;
    QStringList exportFolders;
    void Action_ExportFilesClick(QObject* Sender);
    // The export path the folders make; none where there are none.
    std::shared_ptr<const tolvane::exp::ExportPath> exportPath() const;

    // The event handlers.
    void FormCreate(QObject* Sender);
    void FormClose(QObject* Sender);
    void cxButton_1Click(QObject* Sender);
    void cxButtonEdit_PinFilePropertiesButtonClick(QObject* Sender);
    void cxButtonEdit_CapFilePropertiesChange(QObject* Sender);
    void cxButton_cap_convertClick(QObject* Sender);
    void cxButton_SaveScriptClick(QObject* Sender);
    void cxButton_ShowInFolderClick(QObject* Sender);

    // Converts each file in turn, as the convert button would, the last
    // staying chosen: what dropping them on the window, or opening them
    // with the application, does. One file's error goes to the error box;
    // with several, into the report, and the next file converts all the same.
    void openFiles(const QStringList& paths);

    // The window's outer frame, as the settings file keeps it.
    QRect outerBounds() const;

    const QString& settingsPath() const { return settingsPath_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void buildComponents();
    void wireHandlers();
    // Runs a handler; an error that escapes it goes to the error box, and the
    // result is false.
    bool guarded(const std::function<void()>& handler);
    std::string capPath() const;
    // Converts the chosen CAP file as the box says, reporting to `sink`;
    // remembers the file written.
    void convertInto(tolvane::ReportSink& sink);
    // The chosen file's package in the Structure view.
    void showStructure();
    void updateActions();
    void showStatus(const QString& text);

    void setOuterLeft(int left);
    void setOuterTop(int top);
    void setOuterWidth(int width);
    void setOuterHeight(int height);
    QSize frameExtra() const;

    QString settingsPath_;
    // The export path of the folders last asked for, kept so that their
    // files are looked through once, not at every conversion.
    mutable QStringList exportPathFolders_;
    mutable std::shared_ptr<const tolvane::exp::ExportPath> exportPath_;
    // Places the window at the saved bounds once the window manager's frame
    // is known, which may be only after the window is shown.
    void placeInFrame();
    // The field and the IJC label take the panel's width.
    void layOutPanel();
    void showIjcPath();

    QRect requestedBounds_;
    bool shownOnce_ = false;
    bool awaitingFrame_ = false;
    QString ijcPath_;
    // The file the last conversion wrote; empty after one that failed.
    QString writtenPath_;
    // The chosen file as last read, which the structure shows.
    tolvane::InputFile converted_;
};

extern TMainForm* MainForm;
