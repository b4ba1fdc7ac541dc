#pragma once

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

#include "devices/devicetemplate.h"
#include "devices/registerdescription.h"

// The gateway's device side: the loaded device templates and the queries on them.
class CAllDeviceHandler : public QObject
{
    Q_OBJECT

public:
    static CAllDeviceHandler *getInstance();

    // Type name and colour of a template; empty texts and an invalid colour when unknown.
    SDeviceTemplateInfo getTemplateInfo(const QString &appEui) const;
    // One entry per template, ascending AppEUI.
    QList<SDeviceTemplateInfo> getTemplateList() const;
    // The register map a template exposes; empty AppEUI and list when unknown.
    SDeviceRegMap getRegMapDescription(const QString &appEui) const;

protected:
    explicit CAllDeviceHandler(QObject *parent = nullptr);

protected slots:
    // Adds every valid template of the template directory whose AppEUI is new.
    void init();

protected:
    QMap<QString, SDeviceTemplate> templates;
};
