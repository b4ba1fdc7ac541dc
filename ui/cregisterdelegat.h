#pragma once

#include <QStyledItemDelegate>

// Paints a register row of the main window as a two-line card: name and Modbus
// addresses, then reception time and value. Display only: no editor.
class CRegisterDelegat : public QStyledItemDelegate
{
    Q_OBJECT

public:
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
};
