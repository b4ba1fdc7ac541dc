#include "ui/cardpainting.h"

#include <QFontMetrics>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>
#include <QWidget>

QFont boldPixelFont(const QFont &_base, int _pixelSize)
{
    QFont font(_base);
    font.setPixelSize(_pixelSize);
    font.setWeight(QFont::Bold);
    return font;
}

QPen cosmeticPen(const QColor &_color)
{
    QPen pen(QBrush(_color), 0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
    pen.setCosmetic(true);
    return pen;
}

int textHeight(const QFont &_font, const QString &_text)
{
    return QFontMetrics(_font).boundingRect(_text).height();
}

int textWidth(const QFont &_font, const QString &_text)
{
    return QFontMetrics(_font).boundingRect(_text).width();
}

int textAdvance(const QFont &_font, const QString &_text)
{
    return QFontMetrics(_font).horizontalAdvance(_text);
}

QColor rowBackground(const QStyleOptionViewItem &_option, int _row, const QColor &_even, const QColor &_odd,
                     const QColor &_selected)
{
    if (_option.state & (QStyle::State_Selected | QStyle::State_MouseOver))
        return _selected;
    return _row % 2 == 0 ? _even : _odd;
}

void beginCard(QPainter *_painter, const QRect &_rect, const QColor &_background)
{
    _painter->save();
    _painter->setRenderHint(QPainter::Antialiasing, true);
    _painter->setRenderHint(QPainter::TextAntialiasing, true);
    _painter->setPen(Qt::NoPen);
    _painter->setBrush(_background);
    _painter->drawRoundedRect(QRectF(_rect), 4.0, 4.0);
}

void preparePainter(QPainter &_painter, const QFont &_font)
{
    _painter.setRenderHint(QPainter::Antialiasing, true);
    _painter.setRenderHint(QPainter::TextAntialiasing, true);
    _painter.setFont(_font);
    _painter.setPen(Qt::NoPen);
}

void drawStyledBackground(QWidget *_widget, QPainter &_painter)
{
    QStyleOptionButton option;
    option.initFrom(_widget);
    _widget->style()->drawControl(QStyle::CE_PushButton, &option, &_painter, _widget);
}

void paintStyledBackground(QWidget *_widget)
{
    QPainter painter(_widget);
    preparePainter(painter, _widget->font());
    drawStyledBackground(_widget, painter);
}
