#include "ui/cregisterdelegat.h"

#include <QDebug>
#include <QPainter>
#include <QSet>

#include "app/clogfile.h"
#include "ui/palette.h"
#include "ui/cardpainting.h"
#include "store/storecolumns.h"
#include "app/registertext.h"

namespace {

// A register the view cannot show is reported once, not on every repaint, so the
// log does not grow while the window stays open.
void reportUnshownType(const QString &_device, int _regAddr, const QString &_message)
{
    static QSet<QString> reported;
    const QString key = _device + QLatin1Char('/') + QString::number(_regAddr);
    if (reported.contains(key))
        return;
    reported.insert(key);
    CLogFile::addLog(_message);
}

} // namespace

void CRegisterDelegat::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const QAbstractItemModel *model = index.model();
    if (model->columnCount() != REG_COLUMN_COUNT) {
        qDebug().noquote() << "[CRegisterDelegat::paint] ERROR: invalid input data size!";
        return;
    }
    const auto value = [&](int column) { return model->index(index.row(), column, index.parent()).data(); };
    const QRect rect = option.rect;
    beginCard(painter, rect,
              rowBackground(option, index.row(), QC_GLOB_BLACK6C_10, QC_GLOB_BLACK6C_25, QC_GLOB_BLACK6C_45));

    const QFont titleFont = boldPixelFont(painter->font(), 12);
    const QString name = value(REG_COL_NAME).toString();
    const int h1 = textHeight(titleFont, name);
    const QRect titleRect(QPoint(rect.left() + 2, rect.top() + 2), QPoint(rect.right() - 2, rect.top() + 2 + h1 - 1));
    const int regAddr = value(REG_COL_REG_ADDR).toInt();
    const int bitSize = value(REG_COL_BIT_SIZE).toInt();
    painter->setFont(titleFont);
    painter->setPen(cosmeticPen(QCT_GLOB_BLUE1_D2));
    painter->drawText(titleRect, Qt::AlignLeft, name);
    painter->drawText(titleRect, Qt::AlignRight, registerAddressText(regAddr, bitSize));

    const int top = rect.top() + 2 + h1;
    painter->setFont(boldPixelFont(painter->font(), 9));
    painter->setPen(cosmeticPen(QC_GLOB_LILAC1_D2));
    painter->drawText(QRect(QPoint(rect.left() + 2, top), QPoint(rect.right() - 2, top + 8)), Qt::AlignLeft,
                      registerTimeText(value(REG_COL_TIME)));

    const QString dataType = value(REG_COL_DATA_TYPE).toString();
    const QString unshown = unshownDataTypeMessage(dataType);
    if (!unshown.isEmpty())
        reportUnshownType(value(REG_COL_DEVICE).toString(), regAddr, unshown);
    painter->setFont(titleFont);
    painter->setPen(cosmeticPen(QC_GLOB_GREEN2_D1));
    painter->drawText(QRect(QPoint(rect.left() + 2, top), QPoint(rect.right() - 2, top + 15)), Qt::AlignRight,
                      registerValueText(dataType, bitSize, value(REG_COL_FULL_VALUE), value(REG_COL_UNIT).toString()));
    painter->restore();
}

QSize CRegisterDelegat::sizeHint(const QStyleOptionViewItem &, const QModelIndex &) const
{
    return QSize(100, 40);
}
