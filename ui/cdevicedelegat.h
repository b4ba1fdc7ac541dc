#pragma once

#include <QStyledItemDelegate>

// Paints a device row as a card in the colour of the device's type.
class CDeviceDelegat : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit CDeviceDelegat(QObject *parent);

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
};
