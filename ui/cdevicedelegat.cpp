#include "ui/cdevicedelegat.h"

#include <QDebug>
#include <QMap>
#include <QPainter>

#include "app/constants.h"
#include "devices/calldevicehandler.h"
#include "ui/cardpainting.h"

namespace {

enum EDeviceColumn { NameColumn = 1, AppEuiColumn = 2, DevEuiColumn = 3, DeviceColumnCount = 6 };

// Type names and colours by AppEUI, shared by every device list; templates are fixed
// while the program runs, so an entry is asked for once.
const SDeviceTemplateInfo &typeInfo(const QString &_appEui)
{
    static QMap<QString, SDeviceTemplateInfo> cache;
    auto found = cache.find(_appEui);
    if (found == cache.end())
        found = cache.insert(_appEui, CAllDeviceHandler::getInstance()->getTemplateInfo(_appEui));
    return *found;
}

QColor cardColor(const QStyleOptionViewItem &_option, int _row, const QColor &_typeColor)
{
    const QColor darker(static_cast<int>(_typeColor.red() / 1.3), static_cast<int>(_typeColor.green() / 1.3),
                        static_cast<int>(_typeColor.blue() / 1.3), 255);
    const QColor translucent(_typeColor.red(), _typeColor.green(), _typeColor.blue(), 200);
    return rowBackground(_option, _row, _typeColor, translucent, darker);
}

} // namespace

CDeviceDelegat::CDeviceDelegat(QObject *parent)
    : QStyledItemDelegate(parent)
{
}

void CDeviceDelegat::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const QAbstractItemModel *model = index.model();
    if (model->columnCount() != DeviceColumnCount) {
        qDebug().noquote() << "[CDeviceDelegat::paintAllRow] ERROR: invalid input data size!";
        return;
    }
    const auto text = [&](int column) { return model->index(index.row(), column, index.parent()).data().toString(); };
    const SDeviceTemplateInfo &info = typeInfo(text(AppEuiColumn));
    const QRect rect = option.rect;
    beginCard(painter, rect, cardColor(option, index.row(), info.color));

    const QFont titleFont = boldPixelFont(painter->font(), 12);
    const QString name = text(NameColumn);
    const int h1 = textHeight(titleFont, name);
    painter->setFont(titleFont);
    painter->setPen(cosmeticPen(QCT_GLOB_BLUE1_D2));
    painter->drawText(QRect(QPoint(rect.left() + 2, rect.top() + 2), QPoint(rect.right() - 2, rect.top() + 2 + h1 - 1)),
                      Qt::AlignLeft, name);

    const QFont smallFont = boldPixelFont(painter->font(), 9);
    const QString devEui = text(DevEuiColumn);
    const int top = rect.top() + 2 + h1;
    const int width = rect.width() - 4;
    painter->setFont(smallFont);
    painter->setPen(cosmeticPen(QC_GLOB_LILAC1_D2));
    painter->drawText(QRect(rect.left() + 2, top, width, textHeight(smallFont, devEui)), Qt::AlignLeft, devEui);
    painter->drawText(QRect(rect.left() + 2, top, width, textHeight(smallFont, info.devType)), Qt::AlignRight,
                      info.devType);
    painter->restore();
}

QSize CDeviceDelegat::sizeHint(const QStyleOptionViewItem &, const QModelIndex &) const
{
    return QSize(100, 30);
}
