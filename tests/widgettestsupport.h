#pragma once

// What the widget tests share: register rows of a model, a delegate's row painted into an
// image, and the colours found in it.

#include <QAbstractItemDelegate>
#include <QImage>
#include <QPainter>
#include <QStandardItemModel>
#include <QString>

#include <cmath>

#include "store/storecolumns.h"

namespace WidgetTest {

inline const QString ORANGE_EUI = QStringLiteral("FF80000000000001");
inline const QString UNKNOWN_EUI = QStringLiteral("0000000000000000");


// One register row in the column order of the register table.
inline void setRegisterRow(QStandardItemModel &model, int row, const QString &device, int regAddr, const QString &type,
                    const QVariant &fullValue = QVariant(), const QString &unit = QString())
{
    const auto set = [&](int column, const QVariant &value) { model.setData(model.index(row, column), value); };
    set(REG_COL_DEVICE, device);
    set(REG_COL_REG_ADDR, regAddr);
    set(REG_COL_START_VALUE, 0u);
    set(REG_COL_GRATING_PERIOD, 1u);
    set(REG_COL_BIT_SIZE, 16);
    set(REG_COL_DATA_TYPE, type);
    set(REG_COL_FULL_VALUE, fullValue);
    set(REG_COL_TIME, 0);
    set(REG_COL_NAME, QStringLiteral("Temperature"));
    set(REG_COL_UNIT, unit);
    set(REG_COL_SOURCE, 1);
}

inline QImage paintRow(const QAbstractItemDelegate &delegate, const QAbstractItemModel &model, int row,
                QStyle::State state, const QSize &size)
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    QStyleOptionViewItem option;
    option.rect = QRect(QPoint(0, 0), size);
    option.state = state;
    delegate.paint(&painter, option, model.index(row, 0));
    painter.end();
    return image;
}

// The card's fill, just left of where any text starts.
inline QColor cardFill(const QImage &image)
{
    return image.pixelColor(1, image.height() / 2);
}

inline bool sameColour(const QColor &actual, const QColor &expected)
{
    // Painting through premultiplied alpha may move a channel by one.
    return qAbs(actual.red() - expected.red()) <= 1 && qAbs(actual.green() - expected.green()) <= 1
        && qAbs(actual.blue() - expected.blue()) <= 1 && actual.alpha() == expected.alpha();
}

inline bool containsColour(const QImage &image, const QColor &colour)
{
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixelColor(x, y) == colour)
                return true;
        }
    }
    return false;
}

inline bool isBlank(const QImage &image)
{
    QImage empty(image.size(), image.format());
    empty.fill(Qt::transparent);
    return image == empty;
}

} // namespace WidgetTest
