#pragma once

// The main window. Its class, its components and its handlers bear fixed
// names (TMainForm, cxButtonEdit_CapFile, dxMemo1, FormCreate, ...): they are
// part of the product's contract, by which tests and accessibility tools find
// the controls, so they are kept exactly as they are.

#include "core/zip/archive.h"

#include <QWidget>
#include <functional>
#include <string>

class QAction;
class QCheckBox;
class QFrame;
class QLabel;
class QPushButton;
class QStatusBar;
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

    // The event handlers.
    void FormCreate(QObject* Sender);
    void FormClose(QObject* Sender);
    void cxButton_1Click(QObject* Sender);
    void cxButtonEdit_PinFilePropertiesButtonClick(QObject* Sender);
    void cxButtonEdit_CapFilePropertiesChange(QObject* Sender);
    void cxButton_cap_convertClick(QObject* Sender);

    // The window's outer frame, as the settings file keeps it.
    QRect outerBounds() const;

    const QString& settingsPath() const { return settingsPath_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void buildComponents();
    void wireHandlers();
    // Runs a handler; an error that escapes it goes to the error box, and the
    // result is false.
    bool guarded(const std::function<void()>& handler);
    std::string capPath() const;

    void setOuterLeft(int left);
    void setOuterTop(int top);
    void setOuterWidth(int width);
    void setOuterHeight(int height);
    QSize frameExtra() const;

    QString settingsPath_;
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
};

extern TMainForm* MainForm;
