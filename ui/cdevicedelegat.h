#pragma once

#include <QMap>
#include <QStyledItemDelegate>

#include "store/registerdescription.h"

class CGateway;

// Paints a device row as a card in the colour of the device's type.
class CDeviceDelegat : public QStyledItemDelegate
{
    Q_OBJECT

public:
    // Type names and colours come from the gateway's templates; without one every type is unknown.
    CDeviceDelegat(const CGateway *_gateway, QObject *parent);

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

private:
    const SDeviceTemplateInfo &typeInfo(const QString &_appEui) const;

    const CGateway *gateway;
    // Templates are fixed while the program runs, so each type is asked for once.
    mutable QMap<QString, SDeviceTemplateInfo> typeCache;
};
