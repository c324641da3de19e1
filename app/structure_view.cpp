#include "app/structure_view.h"

#include "app/widgets.h"

#include "core/report/structure.h"

#include <QApplication>
#include <QHeaderView>
#include <QPainter>
#include <QStyle>
#include <QStyledItemDelegate>
#include <algorithm>

namespace {

using tolvane::StructureRow;
using Kind = StructureRow::Kind;

enum Column { NameColumn, DetailColumn, ShareColumn };
// The share of the load file, on a component's row.
constexpr int shareRole = Qt::UserRole;
// A method whose listing is still to be made.
constexpr int listingRole = Qt::UserRole + 1;
constexpr int classRole = Qt::UserRole + 2;
constexpr int methodRole = Qt::UserRole + 3;
// What the checks found on the row, if anything.
constexpr int findingsRole = Qt::UserRole + 4;

// Draws a component's share of the load file as a bar with its percentage.
class ShareBar : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const QVariant share = index.data(shareRole);
        if (!share.isValid()) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyledItemDelegate::paint(painter, option, QModelIndex());
        const double part = std::clamp(share.toDouble(), 0.0, 1.0);
        const QString percent = QString::number(part * 100.0, 'f', 1) + " %";
        const int textWidth = option.fontMetrics.horizontalAdvance("100.0 %") + 6;
        const QRect bar = option.rect.adjusted(3, 3, -3 - textWidth, -3);
        painter->save();
        painter->setPen(option.palette.color(QPalette::Mid));
        painter->setBrush(option.palette.color(QPalette::Base));
        painter->drawRect(bar.adjusted(0, 0, -1, -1));
        QRect filled = bar.adjusted(1, 1, -1, -1);
        filled.setWidth(static_cast<int>(filled.width() * part + 0.5));
        painter->fillRect(filled, QColor(0x4A, 0x90, 0xD9));
        painter->setPen(option.palette.color(QPalette::Text));
        painter->drawText(option.rect.adjusted(0, 0, -3, 0), Qt::AlignRight | Qt::AlignVCenter, percent);
        painter->restore();
    }

    // Rows high enough for a bar beside its text.
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const QSize size = QStyledItemDelegate::sizeHint(option, index);
        return {size.width(), std::max(size.height(), option.fontMetrics.height() + 6)};
    }
};

QIcon warningIcon()
{
    return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
}

void mark(QTreeWidgetItem* item, const std::vector<std::string>& findings)
{
    if (findings.empty())
        return;
    QStringList texts;
    for (const auto& finding : findings)
        texts << QString::fromStdString(finding);
    const QString tip = texts.join('\n');
    item->setData(NameColumn, findingsRole, tip);
    for (int column = NameColumn; column <= DetailColumn; ++column) {
        item->setForeground(column, QColor(0xC0, 0x10, 0x10));
        item->setToolTip(column, tip);
    }
    item->setIcon(NameColumn, warningIcon());
}

// Gives the rows above a marked row its icon too, so that a finding deep in
// a closed branch is seen from its top. True when `item` or a row below it
// is marked.
bool showMarksAbove(QTreeWidgetItem* item)
{
    bool marked = item->data(NameColumn, findingsRole).isValid();
    for (int i = 0; i < item->childCount(); ++i)
        marked = showMarksAbove(item->child(i)) || marked;
    if (marked)
        item->setIcon(NameColumn, warningIcon());
    return marked;
}

QTreeWidgetItem* itemOf(const StructureRow& row)
{
    auto* item = new QTreeWidgetItem({QString::fromStdString(row.label), QString::fromStdString(row.detail)});
    item->setToolTip(DetailColumn, item->text(DetailColumn));
    if (row.share >= 0)
        item->setData(ShareColumn, shareRole, row.share);
    if (row.hasListing) {
        item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
        item->setData(NameColumn, listingRole, true);
        item->setData(NameColumn, classRole, QVariant::fromValue<qulonglong>(row.classIndex));
        item->setData(NameColumn, methodRole, QVariant::fromValue<qulonglong>(row.methodIndex));
    }
    for (const auto& child : row.children)
        item->addChild(itemOf(child));
    mark(item, row.findings);
    return item;
}

} // namespace

TStructureView::TStructureView(QWidget* parent) : QTreeWidget(parent)
{
    setColumnCount(3);
    setHeaderLabels({"Name", "Detail", "Share of the load file"});
    setUniformRowHeights(true);
    setItemDelegate(new ShareBar(this));
    header()->setStretchLastSection(false);
    header()->setSectionResizeMode(NameColumn, QHeaderView::Interactive);
    header()->setSectionResizeMode(DetailColumn, QHeaderView::Stretch);
    header()->setSectionResizeMode(ShareColumn, QHeaderView::Fixed);
    header()->resizeSection(NameColumn, 220);
    header()->resizeSection(ShareColumn, 150);
    connect(this, &QTreeWidget::itemExpanded, this, &TStructureView::fillListing);
}

void TStructureView::showPackage(tolvane::LoadFile file)
{
    file_ = std::make_shared<const tolvane::LoadFile>(std::move(file));
    clear();
    for (const auto& row : tolvane::structureOf(*file_)) {
        QTreeWidgetItem* item = itemOf(row);
        addTopLevelItem(item);
        // The package at a glance; classes and what was left out on demand.
        if (row.kind == Kind::Group && (row.label == "Components" || row.label == "Applets" || row.label == "Needs"))
            item->setExpanded(true);
        showMarksAbove(item);
    }
}

void TStructureView::showProblem(const QString& text)
{
    file_.reset();
    clear();
    auto* item = new QTreeWidgetItem({"No structure to show", text});
    item->setToolTip(DetailColumn, text);
    addTopLevelItem(item);
}

void TStructureView::fillListing(QTreeWidgetItem* item)
{
    if (!file_ || !item->data(NameColumn, listingRole).toBool())
        return;
    item->setData(NameColumn, listingRole, false);
    const QFont mono = fixedPitchFont(font().pointSizeF());
    const auto rows = tolvane::listingOf(*file_, item->data(NameColumn, classRole).toULongLong(),
                                         item->data(NameColumn, methodRole).toULongLong());
    QList<QTreeWidgetItem*> children;
    children.reserve(static_cast<qsizetype>(rows.size()));
    for (const auto& row : rows) {
        QTreeWidgetItem* child = itemOf(row);
        child->setFont(NameColumn, mono);
        children << child;
    }
    item->addChildren(children);
    // An instruction's text takes the whole row.
    for (QTreeWidgetItem* child : children)
        child->setFirstColumnSpanned(true);
}
