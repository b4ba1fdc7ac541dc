#pragma once

#include <QStyledItemDelegate>

// Paints a register row of the device dialogs with its parameters and supplies
// the editor for the parameters of numeric registers.
class CSimpleRegisterDelegat : public QStyledItemDelegate
{
    Q_OBJECT

public:
    // Set true on a row's data-type cell when the register is stored as a float32: its
    // multiplier and added value may then have decimals, whatever the field's data type.
    static constexpr int DECIMALS_ROLE = Qt::UserRole + 1;

    explicit CSimpleRegisterDelegat(QObject *parent);

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    void setEditorData(QWidget *editor, const QModelIndex &index) const override;
    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override;
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const override;
};
