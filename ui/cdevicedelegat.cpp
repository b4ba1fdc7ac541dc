#include "ui/cdevicedelegat.h"

#include <QDebug>
#include <QMap>
#include <QPainter>

#include "ui/palette.h"
#include "gateway/cgateway.h"
#include "store/storecolumns.h"
#include "ui/cardpainting.h"

namespace {

QColor cardColor(const QStyleOptionViewItem &_option, int _row, const QColor &_typeColor)
{
    const QColor darker(static_cast<int>(_typeColor.red() / 1.3), static_cast<int>(_typeColor.green() / 1.3),
                        static_cast<int>(_typeColor.blue() / 1.3), 255);
    const QColor translucent(_typeColor.red(), _typeColor.green(), _typeColor.blue(), 200);
    return rowBackground(_option, _row, _typeColor, translucent, darker);
}

} // namespace

CDeviceDelegat::CDeviceDelegat(const CGateway *_gateway, QObject *parent)
    : QStyledItemDelegate(parent)
    , gateway(_gateway)
{
}

const SDeviceTemplateInfo &CDeviceDelegat::typeInfo(const QString &_appEui) const
{
    auto found = typeCache.find(_appEui);
    if (found == typeCache.end())
        found = typeCache.insert(_appEui, gateway ? gateway->templateInfo(_appEui) : SDeviceTemplateInfo());
    return *found;
}

void CDeviceDelegat::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const QAbstractItemModel *model = index.model();
    if (model->columnCount() != DEV_COLUMN_COUNT) {
        qDebug().noquote() << "[CDeviceDelegat::paintAllRow] ERROR: invalid input data size!";
        return;
    }
    const auto text = [&](int column) { return model->index(index.row(), column, index.parent()).data().toString(); };
    const SDeviceTemplateInfo &info = typeInfo(text(DEV_COL_APP_EUI));
    const QRect rect = option.rect;
    beginCard(painter, rect, cardColor(option, index.row(), QColor(info.color)));

    const QFont titleFont = boldPixelFont(painter->font(), 12);
    const QString name = text(DEV_COL_NAME);
    const int h1 = textHeight(titleFont, name);
    painter->setFont(titleFont);
    painter->setPen(cosmeticPen(QCT_GLOB_BLUE1_D2));
    painter->drawText(QRect(QPoint(rect.left() + 2, rect.top() + 2), QPoint(rect.right() - 2, rect.top() + 2 + h1 - 1)),
                      Qt::AlignLeft, name);

    const QFont smallFont = boldPixelFont(painter->font(), 9);
    const QString devEui = text(DEV_COL_DEV_EUI);
    const int top = rect.top() + 2 + h1;
    const int width = rect.width() - 4;
    painter->setFont(smallFont);
    painter->setPen(cosmeticPen(QC_GLOB_LILAC1_D2));
    painter->drawText(QRect(rect.left() + 2, top, width, textHeight(smallFont, devEui)), Qt::AlignLeft, devEui);
    const bool stale = gateway && gateway->isDeviceStale(devEui);
    const QString typeText = stale ? tr("STALE  %1").arg(info.devType) : info.devType;
    if (stale)
        painter->setPen(cosmeticPen(QC_GLOB_RED1));
    painter->drawText(QRect(rect.left() + 2, top, width, textHeight(smallFont, typeText)), Qt::AlignRight, typeText);
    painter->restore();
}

QSize CDeviceDelegat::sizeHint(const QStyleOptionViewItem &, const QModelIndex &) const
{
    return QSize(100, 30);
}
