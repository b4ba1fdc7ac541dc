#include "ui/cabstractdeviceform.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLayoutItem>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedLayout>
#include <QStandardItemModel>
#include <QVBoxLayout>

#include "gateway/cgateway.h"
#include "ui/cdevicedelegat.h"
#include "ui/cdevicesearchmodel.h"
#include "ui/csearcheditwidget.h"
#include "ui/csimpleregisterdelegat.h"
#include "store/storecolumns.h"

namespace {

const int DEVICE_TYPES_PER_ROW = 5;

QPushButton *errorMarker(const QString &_toolTip, QWidget *_parent)
{
    auto *button = new QPushButton(QStringLiteral("!"), _parent);
    button->setObjectName(QStringLiteral("redBtn"));
    button->setFixedSize(25, 25);
    button->setToolTip(_toolTip);
    button->hide();
    return button;
}

QPushButton *dialogButton(const QString &_text, const QString &_objectName, QWidget *_parent)
{
    auto *button = new QPushButton(_text, _parent);
    button->setObjectName(_objectName);
    button->setFixedSize(100, 35);
    return button;
}

} // namespace

CAbstractDeviceForm::CAbstractDeviceForm(CGateway *_gateway, QWidget *parent)
    : QDialog(parent)
    , gateway(_gateway)
    , titleLabel(new QLabel(tr("Add new device interface"), this))
    , pageStack(new QStackedLayout())
    , statusLabel(new QLabel(this))
    , searchEdit(new CSearchEditWidget(this))
    , deviceView(new QListView(this))
    , deviceSourceModel(new QStandardItemModel(0, DEV_COLUMN_COUNT, this))
    , deviceProxyModel(new CDeviceSearchModel(this))
    , registerView(new QListView(this))
    , registerModel(new QStandardItemModel(0, REG_COLUMN_COUNT, this))
    , portEdit(new QLineEdit(this))
    , startAddressEdit(new QLineEdit(this))
    , portErrorButton(errorMarker(tr("Invalid TCP port (is used or unsupported)"), this))
    , startAddressErrorButton(errorMarker(tr("Empty start address"), this))
    , deviceTypeGrid(new QGridLayout())
    , unitIdSpin(new QSpinBox(this))
    , wordOrderCombo(new QComboBox(this))
    , staleAfterSpin(new QSpinBox(this))
    , stalePolicyCombo(new QComboBox(this))
{
    setWindowTitle(tr("Add new device interface"));
    setWindowFlags(Qt::Window);
    setWindowIcon(QIcon(QStringLiteral(":/korv-a_logo5_gradient.png")));
    setGeometry(30, 30, 800, 600);

    auto *mainLayout = new QVBoxLayout(this);
    mainLayout->setContentsMargins(5, 5, 5, 5);
    mainLayout->setSpacing(5);

    titleLabel->setObjectName(QStringLiteral("title1Lab"));
    mainLayout->addWidget(titleLabel, 0, Qt::AlignHCenter);

    // Connection parameters.
    auto *connectionBox = new QGroupBox(tr("Connection parameters"), this);
    auto *connectionLayout = new QHBoxLayout(connectionBox);
    connectionLayout->setContentsMargins(5, 5, 5, 5);
    connectionLayout->setSpacing(5);
    // Wide enough for five digits in the style sheet's font.
    portEdit->setFixedSize(70, 25);
    portEdit->setValidator(new QIntValidator(portEdit));
    startAddressEdit->setFixedWidth(70);
    startAddressEdit->setValidator(new QIntValidator(startAddressEdit));
    connectionLayout->addStretch(1);
    connectionLayout->addWidget(new QLabel(tr("TCP port for device:"), connectionBox), 1, Qt::AlignRight);
    connectionLayout->addWidget(portEdit);
    connectionLayout->addWidget(portErrorButton);
    connectionLayout->addStretch(3);
    connectionLayout->addWidget(new QLabel(tr("Start address for registers:"), connectionBox), 1, Qt::AlignRight);
    connectionLayout->addWidget(startAddressEdit);
    connectionLayout->addWidget(startAddressErrorButton);
    writableBox = new QCheckBox(tr("Writes send downlinks"), connectionBox);
    writableBox->setObjectName(QStringLiteral("writableBox"));
    writableBox->setToolTip(tr("Modbus writes to the template's commands are sent to the device"));
    connectionLayout->addWidget(writableBox);
    connectionLayout->addStretch(1);
    mainLayout->addWidget(connectionBox);

    // How SCADA reads the device: its unit ID, word order and what stale values do.
    auto *settingsBox = new QGroupBox(tr("Modbus settings"), this);
    auto *settingsLayout = new QHBoxLayout(settingsBox);
    settingsLayout->setContentsMargins(5, 5, 5, 5);
    settingsLayout->setSpacing(5);
    unitIdSpin->setRange(0, MAX_UNIT_ID);
    unitIdSpin->setToolTip(tr("0 answers any unit ID"));
    wordOrderCombo->addItem(tr("big"), wordOrderName(EWordOrder::Big));
    wordOrderCombo->addItem(tr("little"), wordOrderName(EWordOrder::Little));
    staleAfterSpin->setRange(0, 100000000);
    staleAfterSpin->setSuffix(tr(" s"));
    staleAfterSpin->setToolTip(tr("0: never stale"));
    stalePolicyCombo->addItem(tr("keep last values"), stalePolicyName(EStalePolicy::Keep));
    stalePolicyCombo->addItem(tr("exception 0x0B"), stalePolicyName(EStalePolicy::Exception));
    settingsLayout->addWidget(new QLabel(tr("Unit ID:"), settingsBox));
    settingsLayout->addWidget(unitIdSpin);
    settingsLayout->addWidget(new QLabel(tr("Word order:"), settingsBox));
    settingsLayout->addWidget(wordOrderCombo);
    settingsLayout->addWidget(new QLabel(tr("Stale after:"), settingsBox));
    settingsLayout->addWidget(staleAfterSpin);
    settingsLayout->addWidget(new QLabel(tr("Stale values:"), settingsBox));
    settingsLayout->addWidget(stalePolicyCombo);
    settingsLayout->addStretch(1);
    mainLayout->addWidget(settingsBox);

    // Devices and the selected device's registers.
    auto *listsLayout = new QHBoxLayout();
    listsLayout->setContentsMargins(0, 0, 0, 0);
    listsLayout->setSpacing(5);

    auto *devicesBox = new QGroupBox(tr("Accessible devices"), this);
    devicesBox->setLayout(pageStack);
    statusLabel->setObjectName(QStringLiteral("title1Lab"));
    statusLabel->setAlignment(Qt::AlignCenter);
    auto *listPage = new QWidget(devicesBox);
    auto *listPageLayout = new QVBoxLayout(listPage);
    listPageLayout->setContentsMargins(5, 5, 5, 5);
    listPageLayout->setSpacing(5);
    deviceProxyModel->setSourceModel(deviceSourceModel);
    deviceView->setModel(deviceProxyModel);
    deviceView->setItemDelegate(new CDeviceDelegat(gateway, deviceView));
    deviceView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    listPageLayout->addWidget(searchEdit);
    listPageLayout->addWidget(deviceView, 50);
    pageStack->insertWidget(eStatusPage, statusLabel);
    pageStack->insertWidget(eDeviceListPage, listPage);
    pageStack->setCurrentIndex(eStatusPage);
    listsLayout->addWidget(devicesBox, 2);

    auto *registersBox = new QGroupBox(tr("Device's registers"), this);
    auto *registersLayout = new QVBoxLayout(registersBox);
    registersLayout->setContentsMargins(5, 5, 5, 5);
    registersLayout->setSpacing(5);
    registerView->setModel(registerModel);
    registerView->setItemDelegate(new CSimpleRegisterDelegat(registerView));
    registerView->setEditTriggers(QAbstractItemView::DoubleClicked);
    registersLayout->addWidget(registerView, 50);
    listsLayout->addWidget(registersBox, 3);
    mainLayout->addLayout(listsLayout);

    // Legend of the known device types.
    auto *typesBox = new QGroupBox(tr("Registered device type"), this);
    auto *typesLayout = new QHBoxLayout(typesBox);
    typesLayout->setContentsMargins(5, 5, 5, 5);
    typesLayout->setSpacing(5);
    deviceTypeGrid->setContentsMargins(0, 0, 0, 0);
    deviceTypeGrid->setSpacing(5);
    typesLayout->addLayout(deviceTypeGrid);
    auto *refreshButton = new QPushButton(QIcon(QStringLiteral(":/refresh2Ico.png")), QString(), typesBox);
    refreshButton->setObjectName(QStringLiteral("blueBtn"));
    refreshButton->setFixedSize(30, 30);
    refreshButton->setIconSize(QSize(24, 24));
    typesLayout->addWidget(refreshButton, 0, Qt::AlignRight | Qt::AlignVCenter);
    mainLayout->addWidget(typesBox);

    auto *buttonBox = new QDialogButtonBox(Qt::Horizontal, this);
    buttonBox->setCenterButtons(true);
    QPushButton *okButton = dialogButton(tr("OK"), QStringLiteral("greenBtn"), buttonBox);
    okButton->setDefault(true);
    buttonBox->addButton(okButton, QDialogButtonBox::AcceptRole);
    buttonBox->addButton(dialogButton(tr("Cancel"), QStringLiteral("orangeBtn"), buttonBox),
                         QDialogButtonBox::RejectRole);
    mainLayout->addWidget(buttonBox);

    connect(searchEdit, &CSearchEditWidget::textChangedSignal, this, &CAbstractDeviceForm::deviceSearchNameSlot);
    connect(deviceView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &CAbstractDeviceForm::deviceListSelectSlot);
    connect(refreshButton, &QPushButton::clicked, this, &CAbstractDeviceForm::refresh);
    connect(buttonBox, &QDialogButtonBox::accepted, this, &CAbstractDeviceForm::addDeviceSlot);
    connect(buttonBox, &QDialogButtonBox::rejected, this, &CAbstractDeviceForm::reject);
}

int CAbstractDeviceForm::showForm()
{
    refresh();
    return exec();
}

QList<SDeviceTemplateInfo> CAbstractDeviceForm::fillDeviceTypeGrid()
{
    while (QLayoutItem *item = deviceTypeGrid->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const QList<SDeviceTemplateInfo> templates = gateway->templates();
    for (int i = 0; i < templates.size(); ++i) {
        auto *label = new QLabel(templates.at(i).devType, this);
        label->setStyleSheet(
            QStringLiteral("QLabel {padding: 5px; background-color: %1;}").arg(templates.at(i).color));
        deviceTypeGrid->addWidget(label, i / DEVICE_TYPES_PER_ROW, i % DEVICE_TYPES_PER_ROW);
    }
    return templates;
}

void CAbstractDeviceForm::appendRegisterRow(const QList<QPair<int, QVariant>> &_cells, bool _decimals)
{
    const int row = registerModel->rowCount();
    registerModel->insertRow(row);
    for (const auto &cell : _cells)
        registerModel->setData(registerModel->index(row, cell.first), cell.second, Qt::EditRole);
    registerModel->setData(registerModel->index(row, REG_COL_DATA_TYPE), _decimals, CSimpleRegisterDelegat::DECIMALS_ROLE);
}

void CAbstractDeviceForm::showSettings(const DB::SDeviceRegMapDescription &_device)
{
    unitIdSpin->setValue(_device.unitId);
    wordOrderCombo->setCurrentIndex(wordOrderCombo->findData(wordOrderName(_device.wordOrder)));
    staleAfterSpin->setValue(_device.staleAfter);
    stalePolicyCombo->setCurrentIndex(stalePolicyCombo->findData(stalePolicyName(_device.stalePolicy)));
}

void CAbstractDeviceForm::readSettings(DB::SDeviceRegMapDescription *_device) const
{
    _device->unitId = quint8(unitIdSpin->value());
    wordOrderFromName(wordOrderCombo->currentData().toString(), &_device->wordOrder);
    _device->staleAfter = staleAfterSpin->value();
    stalePolicyFromName(stalePolicyCombo->currentData().toString(), &_device->stalePolicy);
}
