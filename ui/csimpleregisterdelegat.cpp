#include "ui/csimpleregisterdelegat.h"

#include <QDebug>
#include <QPainter>

#include "devices/devicetemplate.h"
#include "ui/palette.h"
#include "ui/cardpainting.h"
#include "store/storecolumns.h"
#include "ui/csimpleregistereditwidget.h"
#include "app/registertext.h"

namespace {

QVariant cell(const QModelIndex &_index, int _column)
{
    return _index.model()->index(_index.row(), _column, _index.parent()).data();
}

} // namespace

CSimpleRegisterDelegat::CSimpleRegisterDelegat(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

void CSimpleRegisterDelegat::paint(QPainter *painter, const QStyleOptionViewItem &option,
                                   const QModelIndex &index) const
{
    if (index.model()->columnCount() < REG_COLUMN_COUNT) {
        qDebug().noquote() << "[CDeviceDelegat::paintAllRow] ERROR: invalid input data size!";
        return;
    }
    const QRect rect = option.rect;
    const int left = rect.left();
    const int top = rect.top();
    const int halfWidth = rect.width() / 2;
    beginCard(painter, rect,
              rowBackground(option, index.row(), QC_GLOB_BLACK6C_10, QC_GLOB_BLACK6C_25, QC_GLOB_BLACK6C_45));

    const QFont largeFont = boldPixelFont(painter->font(), 12);
    const QFont smallFont = boldPixelFont(painter->font(), 9);
    const QPen valuePen = cosmeticPen(QCT_GLOB_BLUE1_D2);
    const QPen labelPen = cosmeticPen(QC_GLOB_LILAC1_D2);

    const QString name = cell(index, REG_COL_NAME).toString();
    const int h1 = textHeight(largeFont, name);
    painter->setFont(largeFont);
    painter->setPen(valuePen);
    painter->drawText(QRect(QPoint(left + 2, top + 2), QPoint(rect.right() - 2, top + 2 + h1 - 1)), Qt::AlignLeft,
                      name);

    const QRectF badge(rect.right() - 51, top + 2, 50.0, 13.0);
    painter->setBrush(QC_GLOB_GREEN1_D2);
    painter->drawRoundedRect(badge, 4.0, 4.0);
    painter->setFont(smallFont);
    painter->setPen(cosmeticPen(QC_GLOB_WHITE1));
    painter->drawText(badge, Qt::AlignCenter, registerSourceText(cell(index, REG_COL_SOURCE).toInt()));

    const QString regMapText = QString::number(cell(index, REG_COL_REG_ADDR).toInt());
    const QString regMapLabel = tr("Register map bias: ");
    const int regMapLeft = left + rect.width() - 62 - textWidth(smallFont, regMapText);
    painter->setFont(largeFont);
    painter->setPen(valuePen);
    painter->drawText(QRect(QPoint(regMapLeft, top + 2), QPoint(regMapLeft + halfWidth - 1, top + 14)),
                      Qt::AlignLeft | Qt::AlignVCenter, regMapText);
    const int labelLeft = regMapLeft - textAdvance(smallFont, regMapLabel);
    painter->setFont(smallFont);
    painter->setPen(labelPen);
    painter->drawText(QRect(QPoint(labelLeft, top + 2), QPoint(labelLeft + halfWidth - 1, top + 14)),
                      Qt::AlignLeft | Qt::AlignVCenter, regMapLabel);

    QPen separator = cosmeticPen(QC_GLOB_GREEN2_D1);
    separator.setCosmetic(false);
    separator.setWidthF(3.0);
    painter->setPen(separator);
    painter->drawLine(QPointF(left + 20, top + 19), QPointF(rect.right() - 19, top + 19));

    const bool numeric = isNumericDataType(cell(index, REG_COL_DATA_TYPE).toString());
    const QString unsupported = QStringLiteral("UNSUPPORT");
    const auto parameterLine = [&](const QString &label, int lineTop, const QString &valueText) {
        const int lineBottom = lineTop + 11;
        painter->setFont(smallFont);
        painter->setPen(labelPen);
        painter->drawText(QRect(QPoint(left + 2, lineTop), QPoint(left + 2 + halfWidth - 1, lineBottom)),
                          Qt::AlignLeft | Qt::AlignVCenter, label);
        const int valueLeft = left + 2 + textAdvance(smallFont, label);
        painter->setFont(largeFont);
        painter->setPen(valuePen);
        painter->drawText(QRect(QPoint(valueLeft, lineTop), QPoint(valueLeft + halfWidth - 1, lineBottom)),
                          Qt::AlignLeft | Qt::AlignVCenter, numeric ? valueText : unsupported);
    };
    parameterLine(tr("ExtraValue: "), top + 23, parameterText(cell(index, REG_COL_START_VALUE)));
    parameterLine(tr("Multiplier: "), top + 37, parameterText(cell(index, REG_COL_GRATING_PERIOD)));
    parameterLine(tr("Units: "), top + 51, cell(index, REG_COL_UNIT).toString());

    painter->setFont(largeFont);
    painter->setPen(valuePen);
    painter->drawText(QRect(QPoint(left + halfWidth + 2, top + 23), QPoint(rect.right() - 2, rect.bottom() - 2)),
                      Qt::AlignCenter,
                      numeric ? tr("Value =\nRAW * Mulplier + ExtraValue") : tr("Parameter is\nTEXT value!"));
    painter->restore();
}

QSize CSimpleRegisterDelegat::sizeHint(const QStyleOptionViewItem &, const QModelIndex &) const
{
    return QSize(200, 65);
}

QWidget *CSimpleRegisterDelegat::createEditor(QWidget *parent, const QStyleOptionViewItem &,
                                              const QModelIndex &index) const
{
    if (!isNumericDataType(cell(index, REG_COL_DATA_TYPE).toString()))
        return nullptr;
    return new CSimpleRegisterEditWidget(parent);
}

void CSimpleRegisterDelegat::setEditorData(QWidget *editor, const QModelIndex &index) const
{
    auto *edit = qobject_cast<CSimpleRegisterEditWidget *>(editor);
    if (!edit)
        return;
    // The dialogs say which registers are float32; a row they did not mark goes by its data type.
    const QModelIndex dataType = index.sibling(index.row(), REG_COL_DATA_TYPE);
    const QVariant float32 = dataType.data(DECIMALS_ROLE);
    const bool decimals = float32.isValid() ? float32.toBool() : dataType.data().toString() == DATA_TYPE_FLOAT;
    edit->setData(cell(index, REG_COL_START_VALUE).toDouble(), cell(index, REG_COL_GRATING_PERIOD).toDouble(),
                  cell(index, REG_COL_UNIT).toString(), decimals);
}

void CSimpleRegisterDelegat::setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const
{
    auto *edit = qobject_cast<CSimpleRegisterEditWidget *>(editor);
    if (!edit)
        return;
    const auto cellIndex = [&](int column) { return model->index(index.row(), column, index.parent()); };
    const double multiplier = edit->getMultiplier();
    // A multiplier of 0 would wipe every value of the register. Integer registers keep whole numbers.
    const QVariant added = edit->hasDecimals() ? QVariant(edit->getExtraValue()) : QVariant(uint32_t(edit->getExtraValue()));
    const QVariant factor = edit->hasDecimals() ? QVariant(multiplier == 0 ? 1.0 : multiplier)
                                                : QVariant(multiplier == 0 ? 1u : uint32_t(multiplier));
    model->setData(cellIndex(REG_COL_START_VALUE), added, Qt::EditRole);
    model->setData(cellIndex(REG_COL_GRATING_PERIOD), factor, Qt::EditRole);
    model->setData(cellIndex(REG_COL_UNIT), edit->getUnits(), Qt::EditRole);
}

void CSimpleRegisterDelegat::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                                                  const QModelIndex &) const
{
    editor->setGeometry(option.rect);
}
