#pragma once

// The controls of the main window that Qt does not offer as they are.

#include "core/report/report_sink.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

class QMenu;
class QToolButton;

// A read-only single-line field with an ellipsis button at its right end.
// Ctrl+Enter in the field clicks the button, as for a default button.
class TButtonEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TButtonEdit(QWidget* parent = nullptr);
    QToolButton* button() const { return button_; }

signals:
    void buttonClicked();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QToolButton* button_;
};

// A flat button, as a toolbar's: no frame until the mouse is over it, sunk
// when pressed, and a focus frame when it has the focus. Enter and Return
// press it when it has the focus, as Space does.
class TFlatButton : public QPushButton {
    Q_OBJECT
public:
    TFlatButton(const QIcon& icon, const QString& text, QWidget* parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// The log pane: read-only, selectable and copyable text that the converters
// report to, one line after another.
class TLogPane : public QPlainTextEdit, public tolvane::ReportSink {
    Q_OBJECT
public:
    explicit TLogPane(QWidget* parent = nullptr);

    void clear() override;

    // The menu the pane shows on a right click: Copy and Select All, then
    // the window's own actions.
    QMenu* contextMenu();
    void addMenuAction(QAction* action) { menuActions_.append(action); }

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void writeLine(const std::string& line) override;

private:
    QList<QAction*> menuActions_;
};

// Whether every character of `font` takes the same width, as it is drawn:
// a narrow and a wide letter, a dot and a digit measured.
bool drawsFixedPitch(const QFont& font);

// A font of `pointSize` whose characters take the same width, for code:
// the system's fixed font where it draws so, else the first installed
// family that does. Fontconfig may not mark a monospaced family as fixed
// pitch, so the widths are measured rather than the flag trusted.
QFont fixedPitchFont(qreal pointSize);

// The pictures of the window, painted here rather than taken from elsewhere.
namespace Artwork {
// A 32 by 32 light-blue folder with a white arrow pointing up at its top right,
// on a transparent background.
QPixmap folderGlyph();
// The sizes the application's icon is painted at, as icon themes want them.
constexpr int iconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};
// The application's icon, MAINICON, painted at `side` pixels square.
QPixmap mainIconPicture(int side);
// The application's icon in all of iconSizes.
QIcon mainIcon();
} // namespace Artwork
