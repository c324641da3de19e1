#pragma once

// The two modal pieces of the window, each behind a seam: tests script the
// chosen file and read the error message without a modal loop, while the
// application shows the real Qt dialogs.

#include <QObject>
#include <QString>
#include <functional>
#include <optional>

class QWidget;

// The open-file dialog. One object lives as long as the window and remembers
// the last confirmed file name and filter entry.
class TOpenDialog : public QObject {
    Q_OBJECT
public:
    explicit TOpenDialog(QObject* parent = nullptr) : QObject(parent) {}

    QString Title;
    QString DefaultExt; // with its leading dot, as the caller gives it
    QString Filter;     // pairs of description and pattern, separated by '|'
    QString FileName;   // the last confirmed choice
    int FilterIndex = 1;

    // Shows the dialog; true when the user confirmed a file, which is then in
    // FileName.
    bool Execute(QWidget* owner);

    // Stands in for the user: given the dialog as set up, chooses a file
    // (setting FileName and returning true) or cancels. Empty: the real dialog.
    using Script = std::function<bool(TOpenDialog&)>;
    static void setScript(Script script);

    // The filter entries in Qt's form, "Description (*.x)" each.
    QStringList qtFilters() const;
};

// The save-file dialog: where a new file is to go. The dialog asks before
// a file that is there is replaced.
namespace SaveDialog {
// The path chosen, or empty when the user cancelled. `proposed` is the path
// the dialog starts with.
QString ask(QWidget* owner, const QString& title, const QString& proposed, const QString& filter);

// Stands in for the user: given the proposed path, returns the path chosen
// (empty: cancelled). Empty: the real dialog.
using Script = std::function<QString(const QString& proposed)>;
void setScript(Script script);
} // namespace SaveDialog

// The card file dialog: a card file to keep the simulated card in, one
// that is there (a card kept before) or a new one (a new empty card).
namespace CardFileDialog {
// The path chosen, or empty when the user cancelled.
QString ask(QWidget* owner, const QString& current);

// Stands in for the user: given the current path, returns the path chosen
// (empty: cancelled). Empty: the real dialog.
using Script = std::function<QString(const QString& current)>;
void setScript(Script script);
} // namespace CardFileDialog

// The application's error box: a modal critical message box captioned with
// the application's title.
namespace ErrorBox {
void show(QWidget* owner, const QString& text);

// Receives the text in place of the box. Empty: the real box.
using Script = std::function<void(const QString&)>;
void setScript(Script script);
} // namespace ErrorBox

// A question with Yes and No, No the default: what deletes from a card asks
// first. Tests answer through a script.
namespace ConfirmBox {
bool ask(QWidget* owner, const QString& text);

// Answers in place of the box, seeing its text. Empty: the real box.
using Script = std::function<bool(const QString&)>;
void setScript(Script script);
} // namespace ConfirmBox

// The Export files dialog: the folders and JAR files where the export files
// of imported packages are found, each added with a file dialog, removed
// with Remove. Tests answer through a script.
namespace ExportFilesDialog {
// The list as the user left it; nothing where they cancelled.
std::optional<QStringList> ask(QWidget* owner, const QStringList& paths);

// Answers in place of the dialog, given the list it starts with. Empty:
// the real dialog.
using Script = std::function<std::optional<QStringList>(const QStringList&)>;
void setScript(Script script);
} // namespace ExportFilesDialog
