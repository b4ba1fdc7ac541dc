#include "ui/cregisterpanel.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QVBoxLayout>

#include "app/ceui.h"
#include "gateway/cgateway.h"
#include "store/storecolumns.h"
#include "ui/cregisterdelegat.h"
#include "ui/crecordmodel.h"

CRegisterPanel::CRegisterPanel(CGateway *_gateway, QWidget *_parent)
    : QWidget(_parent)
    , gateway(_gateway)
    , registerView(new QListView(this))
    , registerModel(new CRecordModel(REG_COLUMN_COUNT, this))
    , deviceTitleLabel(new QLabel(tr("Device [UNKNOWN] "), this))
    , modbusGroup(new QGroupBox(tr("ModBUS-TCP parameters"), this))
    , tcpPortValueLabel(new QLabel(modbusGroup))
    , beginRegisterValueLabel(new QLabel(modbusGroup))
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(5, 5, 5, 5);
    layout->setSpacing(0);
    deviceTitleLabel->setObjectName(QStringLiteral("title1Lab"));
    layout->addWidget(deviceTitleLabel);

    modbusGroup->setObjectName(QStringLiteral("modbusGroup"));
    auto *modbusLayout = new QVBoxLayout(modbusGroup);
    const auto addParameter = [&](const QString &_name, QLabel *_value) {
        auto *name = new QLabel(_name, modbusGroup);
        name->setObjectName(QStringLiteral("modbusName"));
        _value->setObjectName(QStringLiteral("modbusValue"));
        auto *line = new QHBoxLayout();
        line->addWidget(name);
        line->addWidget(_value);
        line->addStretch(20);
        modbusLayout->addLayout(line);
    };
    // Requests are answered whatever unit identifier they carry.
    addParameter(tr("Device ID:"), new QLabel(tr("ANY VALID VALUE"), modbusGroup));
    addParameter(tr("TCP port:"), tcpPortValueLabel);
    addParameter(tr("Begin register:"), beginRegisterValueLabel);
    modbusGroup->hide();
    layout->addWidget(modbusGroup);

    registerView->setModel(registerModel);
    registerView->setItemDelegate(new CRegisterDelegat());
    registerView->itemDelegate()->setParent(registerView);
    registerView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    layout->addWidget(registerView, 50);
}

void CRegisterPanel::showDevice(const SShownDevice &_device)
{
    shown = _device;
    showing = true;
    const SDeviceTemplateInfo info = gateway->templateInfo(_device.appEui);
    deviceTitleLabel->setText(tr("Device:%1 [%2]").arg(_device.devEui, info.devType));
    modbusGroup->show();
    tcpPortValueLabel->setText(QString::number(_device.port));
    beginRegisterValueLabel->setText(QString::number(_device.startAddr));
    refreshRegisters();
}

void CRegisterPanel::showNoDevice()
{
    showing = false;
    deviceTitleLabel->setText(tr("Device [UNKNOWN]"));
    modbusGroup->hide();
    registerModel->setRecords({});
}

void CRegisterPanel::refreshDevice(const QString &_devEui)
{
    if (showing && CEui(_devEui) == CEui(shown.devEui))
        refreshRegisters();
}

void CRegisterPanel::refreshRegisters()
{
    registerModel->setRecords(gateway->registers(shown.id));
    if (registerModel->rowCount() > 0)
        registerView->setCurrentIndex(registerModel->index(0, 0));
}
