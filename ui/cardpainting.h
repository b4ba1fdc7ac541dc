#pragma once

#include <QColor>
#include <QFont>
#include <QPen>
#include <QRect>
#include <QStyleOptionViewItem>

class QPainter;
class QWidget;

// Shared pieces of the painted list cards and of the style-sheet painted widgets.

// A copy of _base at _pixelSize px, bold.
QFont boldPixelFont(const QFont &_base, int _pixelSize);

// Solid cosmetic pen (width 0, square cap, bevel join).
QPen cosmeticPen(const QColor &_color);

// Height of the bounding rectangle of _text in _font.
int textHeight(const QFont &_font, const QString &_text);
int textWidth(const QFont &_font, const QString &_text);
// Advance width, trailing spaces included: where text drawn after _text may start.
int textAdvance(const QFont &_font, const QString &_text);

// Background of a row: _selected when selected or hovered, otherwise by row parity.
QColor rowBackground(const QStyleOptionViewItem &_option, int _row, const QColor &_even, const QColor &_odd,
                     const QColor &_selected);

// Saves the painter, switches on antialiasing and fills the whole row as a rounded card.
void beginCard(QPainter *_painter, const QRect &_rect, const QColor &_background);

// Antialiased text and shapes, _font, no pen.
void preparePainter(QPainter &_painter, const QFont &_font);

// Draws a push-button control filled from _widget, so that the style sheet paints its background.
void drawStyledBackground(QWidget *_widget, QPainter &_painter);

// The whole paintEvent of a widget whose look comes from the style sheet alone.
void paintStyledBackground(QWidget *_widget);
