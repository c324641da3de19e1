#include "app/dialogs.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
TOpenDialog::Script openScript;
SaveDialog::Script saveScript;
ErrorBox::Script errorScript;
} // namespace

void TOpenDialog::setScript(Script script)
{
    openScript = std::move(script);
}

QStringList TOpenDialog::qtFilters() const
{
    const QStringList parts = Filter.split('|');
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i];
        QString patterns = QString(parts[i + 1]).replace(';', ' ');
        // "*.*" means every file where names always have an extension; here
        // many have none, and every file is "*".
        if (patterns == "*.*") {
            patterns = "*";
            description.replace("(*.*)", "(*)");
        }
        // A description that shows its patterns already is not given them twice.
        const QString shown = "(" + patterns + ")";
        filters << (description.contains(shown) ? description : description + " " + shown);
    }
    return filters;
}

bool TOpenDialog::Execute(QWidget* owner)
{
    if (openScript) {
        TOpenDialog proposal;
        proposal.Title = Title;
        proposal.DefaultExt = DefaultExt;
        proposal.Filter = Filter;
        proposal.FileName = FileName;
        proposal.FilterIndex = FilterIndex;
        if (!openScript(proposal))
            return false;
        FileName = proposal.FileName;
        FilterIndex = proposal.FilterIndex;
        return true;
    }

    QFileDialog dialog(owner, Title);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile); // the file need not exist
    dialog.setDefaultSuffix(DefaultExt.startsWith('.') ? DefaultExt.mid(1) : DefaultExt);
    const QStringList filters = qtFilters();
    dialog.setNameFilters(filters);
    if (FilterIndex >= 1 && FilterIndex <= filters.size())
        dialog.selectNameFilter(filters[FilterIndex - 1]);
    if (!FileName.isEmpty())
        dialog.selectFile(FileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    FileName = dialog.selectedFiles().constFirst();
    FilterIndex = static_cast<int>(filters.indexOf(dialog.selectedNameFilter())) + 1;
    return true;
}

void SaveDialog::setScript(Script script)
{
    saveScript = std::move(script);
}

QString SaveDialog::ask(QWidget* owner, const QString& title, const QString& proposed, const QString& filter)
{
    if (saveScript)
        return saveScript(proposed);
    return QFileDialog::getSaveFileName(owner, title, proposed, filter);
}

namespace {
CardFileDialog::Script cardFileScript;
} // namespace

void CardFileDialog::setScript(Script script)
{
    cardFileScript = std::move(script);
}

QString CardFileDialog::ask(QWidget* owner, const QString& current)
{
    if (cardFileScript)
        return cardFileScript(current);
    // A card file that is there is the card it keeps: choosing it replaces
    // nothing, so the dialog does not ask.
    return QFileDialog::getSaveFileName(owner, "Simulated card file", current.isEmpty() ? "simulated.card" : current,
                                        "Card files (*.card);;All files (*)", nullptr,
                                        QFileDialog::DontConfirmOverwrite);
}

void ErrorBox::setScript(Script script)
{
    errorScript = std::move(script);
}

void ErrorBox::show(QWidget* owner, const QString& text)
{
    if (errorScript) {
        errorScript(text);
        return;
    }
    QMessageBox::critical(owner, QApplication::applicationDisplayName(), text);
}

namespace {
ConfirmBox::Script confirmScript;
} // namespace

void ConfirmBox::setScript(Script script)
{
    confirmScript = std::move(script);
}

bool ConfirmBox::ask(QWidget* owner, const QString& text)
{
    if (confirmScript)
        return confirmScript(text);
    return QMessageBox::question(owner, QApplication::applicationDisplayName(), text,
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

namespace {
ExportFilesDialog::Script exportFilesScript;
} // namespace

void ExportFilesDialog::setScript(Script script)
{
    exportFilesScript = std::move(script);
}

std::optional<QStringList> ExportFilesDialog::ask(QWidget* owner, const QStringList& paths)
{
    if (exportFilesScript)
        return exportFilesScript(paths);
    QDialog dialog(owner);
    dialog.setObjectName("ExportFilesDialog");
    dialog.setWindowTitle("Export files");
    auto* explanation = new QLabel("Folders laid out as a Java Card SDK's api_export_files, or JAR files that hold "
                                   "them (the SDK's lib/tools.jar): the references of a CAP file to the packages it "
                                   "imports are checked and named from their export files.",
                                   &dialog);
    explanation->setWordWrap(true);
    auto* list = new QListWidget(&dialog);
    list->setObjectName("ListWidget_ExportFiles");
    list->addItems(paths);
    auto* addFolder = new QPushButton(QString::fromUtf8("Add folder\u2026"), &dialog);
    auto* addJar = new QPushButton(QString::fromUtf8("Add JAR\u2026"), &dialog);
    auto* remove = new QPushButton("Remove", &dialog);
    QObject::connect(addFolder, &QPushButton::clicked, &dialog, [&] {
        const QString folder = QFileDialog::getExistingDirectory(&dialog, "Export files folder");
        if (!folder.isEmpty())
            list->addItem(folder);
    });
    QObject::connect(addJar, &QPushButton::clicked, &dialog, [&] {
        const QString jar =
            QFileDialog::getOpenFileName(&dialog, "JAR of export files", {}, "JAR and ZIP files (*.jar *.zip)");
        if (!jar.isEmpty())
            list->addItem(jar);
    });
    QObject::connect(remove, &QPushButton::clicked, &dialog, [&] { delete list->currentItem(); });
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto* side = new QVBoxLayout;
    for (auto* button : {addFolder, addJar, remove})
        side->addWidget(button);
    side->addStretch(1);
    auto* row = new QHBoxLayout;
    row->addWidget(list, 1);
    row->addLayout(side);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(explanation);
    layout->addLayout(row, 1);
    layout->addWidget(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    QStringList chosen;
    for (int i = 0; i < list->count(); ++i)
        chosen << list->item(i)->text();
    return chosen;
}
