#pragma once

// The Structure view: the chosen package as a tree, built from the core's
// rows. A method's bytecode listing is made only when its row is opened.

#include "core/cap/load_file.h"

#include <QTreeWidget>
#include <memory>

class TStructureView : public QTreeWidget {
    Q_OBJECT
public:
    explicit TStructureView(QWidget* parent = nullptr);

    // Shows the package of `file`.
    void showPackage(tolvane::LoadFile file);
    // Shows why there is no package to show.
    void showProblem(const QString& text);

    // A method row's listing, filled once: on opening the row.
    void fillListing(QTreeWidgetItem* item);

private:
    std::shared_ptr<const tolvane::LoadFile> file_;
};
