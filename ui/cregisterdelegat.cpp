#include "ui/cregisterdelegat.h"

#include <QDebug>
#include <QPainter>
#include <QSet>

#include "app/clogfile.h"
#include "app/constants.h"
#include "ui/cardpainting.h"
#include "ui/registertext.h"

namespace {

enum ERegisterColumn {
    DeviceColumn = 0,
    RegAddrColumn = 2,
    BitSizeColumn = 5,
    DataTypeColumn = 6,
    FullValueColumn = 8,
    TimeColumn = 9,
    NameColumn = 10,
    UnitColumn = 11,
    RegisterColumnCount = 14
};

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
    if (model->columnCount() != RegisterColumnCount) {
        qDebug().noquote() << "[CRegisterDelegat::paint] ERROR: invalid input data size!";
        return;
    }
    const auto value = [&](int column) { return model->index(index.row(), column, index.parent()).data(); };
    const QRect rect = option.rect;
    beginCard(painter, rect,
              rowBackground(option, index.row(), QC_GLOB_BLACK6C_10, QC_GLOB_BLACK6C_25, QC_GLOB_BLACK6C_45));

    const QFont titleFont = boldPixelFont(painter->font(), 12);
    const QString name = value(NameColumn).toString();
    const int h1 = textHeight(titleFont, name);
    const QRect titleRect(QPoint(rect.left() + 2, rect.top() + 2), QPoint(rect.right() - 2, rect.top() + 2 + h1 - 1));
    const int regAddr = value(RegAddrColumn).toInt();
    const int bitSize = value(BitSizeColumn).toInt();
    painter->setFont(titleFont);
    painter->setPen(cosmeticPen(QCT_GLOB_BLUE1_D2));
    painter->drawText(titleRect, Qt::AlignLeft, name);
    painter->drawText(titleRect, Qt::AlignRight, registerAddressText(regAddr, bitSize));

    const int top = rect.top() + 2 + h1;
    painter->setFont(boldPixelFont(painter->font(), 9));
    painter->setPen(cosmeticPen(QC_GLOB_LILAC1_D2));
    painter->drawText(QRect(QPoint(rect.left() + 2, top), QPoint(rect.right() - 2, top + 8)), Qt::AlignLeft,
                      registerTimeText(value(TimeColumn)));

    const QString dataType = value(DataTypeColumn).toString();
    const QString unshown = unshownDataTypeMessage(dataType);
    if (!unshown.isEmpty())
        reportUnshownType(value(DeviceColumn).toString(), regAddr, unshown);
    painter->setFont(titleFont);
    painter->setPen(cosmeticPen(QC_GLOB_GREEN2_D1));
    painter->drawText(QRect(QPoint(rect.left() + 2, top), QPoint(rect.right() - 2, top + 15)), Qt::AlignRight,
                      registerValueText(dataType, bitSize, value(FullValueColumn), value(UnitColumn).toString()));
    painter->restore();
}

QSize CRegisterDelegat::sizeHint(const QStyleOptionViewItem &, const QModelIndex &) const
{
    return QSize(100, 40);
}
