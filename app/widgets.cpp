#include "app/widgets.h"

#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QToolButton>

TButtonEdit::TButtonEdit(QWidget* parent) : QLineEdit(parent), button_(new QToolButton(this))
{
    setReadOnly(true);
    button_->setObjectName("cxButtonEdit_CapFile_Button");
    button_->setText(QStringLiteral("\u2026"));
    button_->setCursor(Qt::ArrowCursor);
    button_->setFocusPolicy(Qt::NoFocus);
    button_->setAutoRaise(true);
    connect(button_, &QToolButton::clicked, this, &TButtonEdit::buttonClicked);
}

void TButtonEdit::keyPressEvent(QKeyEvent* event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && (event->modifiers() & Qt::ControlModifier)) {
        button_->click();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

void TButtonEdit::resizeEvent(QResizeEvent* event)
{
    QLineEdit::resizeEvent(event);
    const int side = height() - 2;
    button_->setGeometry(width() - side - 1, 1, side, side);
    setTextMargins(0, 0, side, 0);
}

TFlatButton::TFlatButton(const QIcon& icon, const QString& text, QWidget* parent) : QPushButton(icon, text, parent)
{
    setAttribute(Qt::WA_Hover);
    // The palette's own colours, so that the states follow the desktop's theme.
    setStyleSheet(QStringLiteral(
        "TFlatButton { border: 1px solid transparent; border-radius: 3px; background: transparent;"
        "  padding: 2px 6px; }"
        "TFlatButton:hover { border-color: palette(mid); background: palette(button); }"
        "TFlatButton:pressed { border-color: palette(dark); background: palette(mid); padding: 3px 5px 1px 7px; }"
        "TFlatButton:focus { border: 1px dotted palette(highlight); }"
        "TFlatButton:focus:hover { border: 1px solid palette(highlight); background: palette(button); }"));
}

void TFlatButton::keyPressEvent(QKeyEvent* event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && event->modifiers() == Qt::NoModifier) {
        animateClick();
        return;
    }
    QPushButton::keyPressEvent(event);
}

TLogPane::TLogPane(QWidget* parent) : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setUndoRedoEnabled(false);
    QPalette colours = palette();
    colours.setColor(QPalette::Base, Qt::black);
    colours.setColor(QPalette::Text, QColor(0xC0, 0xC0, 0xC0)); // silver
    setPalette(colours);
}

void TLogPane::clear()
{
    setPlainText(QString());
}

void TLogPane::writeLine(const std::string& line)
{
    appendPlainText(QString::fromStdString(line));
}

QMenu* TLogPane::contextMenu()
{
    QMenu* menu = createStandardContextMenu();
    if (!menuActions_.isEmpty()) {
        menu->addSeparator();
        menu->addActions(menuActions_);
    }
    return menu;
}

void TLogPane::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu* menu = contextMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

namespace Artwork {
namespace {

// A folder drawn into a square of `side` pixels.
void paintFolder(QPainter& painter, qreal side)
{
    const qreal u = side / 32.0;
    painter.setPen(QPen(QColor(0x2F, 0x6E, 0xA8), u));
    painter.setBrush(QColor(0x7F, 0xB8, 0xE8));
    QPainterPath back;
    back.moveTo(2 * u, 8 * u);
    back.lineTo(11 * u, 8 * u);
    back.lineTo(13 * u, 11 * u);
    back.lineTo(26 * u, 11 * u);
    back.lineTo(26 * u, 28 * u);
    back.lineTo(2 * u, 28 * u);
    back.closeSubpath();
    painter.drawPath(back);
    painter.setBrush(QColor(0xA8, 0xD4, 0xF5));
    painter.drawRect(QRectF(2 * u, 14 * u, 26 * u, 14 * u));
}

void paintUpArrow(QPainter& painter, qreal side)
{
    const qreal u = side / 32.0;
    QPolygonF arrow;
    arrow << QPointF(24 * u, 1 * u) << QPointF(31 * u, 8 * u) << QPointF(27 * u, 8 * u) << QPointF(27 * u, 14 * u)
          << QPointF(21 * u, 14 * u) << QPointF(21 * u, 8 * u) << QPointF(17 * u, 8 * u);
    painter.setPen(QPen(QColor(0x2F, 0x6E, 0xA8), u));
    painter.setBrush(Qt::white);
    painter.drawPolygon(arrow);
}

} // namespace

QPixmap folderGlyph()
{
    QPixmap glyph(32, 32);
    glyph.fill(Qt::transparent);
    QPainter painter(&glyph);
    painter.setRenderHint(QPainter::Antialiasing);
    paintFolder(painter, 32);
    paintUpArrow(painter, 32);
    return glyph;
}

QPixmap mainIconPicture(int side)
{
    {
        // A card with its contact chip, and the arrow of the conversion.
        QPixmap picture(side, side);
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal u = side / 32.0;
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0x1E, 0x4F, 0x8C));
        painter.drawRoundedRect(QRectF(1 * u, 6 * u, 30 * u, 21 * u), 3 * u, 3 * u);
        painter.setBrush(QColor(0xE8, 0xC3, 0x4A));
        painter.drawRoundedRect(QRectF(5 * u, 12 * u, 9 * u, 8 * u), 1.5 * u, 1.5 * u);
        paintUpArrow(painter, side);
        painter.end();
        return picture;
    }
}

QIcon mainIcon()
{
    QIcon icon;
    for (const int side : iconSizes)
        icon.addPixmap(mainIconPicture(side));
    return icon;
}

} // namespace Artwork

bool drawsFixedPitch(const QFont& font)
{
    const QFontMetricsF metrics(font);
    const qreal width = metrics.horizontalAdvance(QLatin1Char('M'));
    for (const QChar c : QStringLiteral("il.0W_"))
        if (metrics.horizontalAdvance(c) != width)
            return false;
    return width > 0;
}

QFont fixedPitchFont(qreal pointSize)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(pointSize);
    if (drawsFixedPitch(font))
        return font;
    for (const QString& family : QFontDatabase::families()) {
        QFont candidate(family);
        candidate.setPointSizeF(pointSize);
        if (drawsFixedPitch(candidate))
            return candidate;
    }
    return font;
}
