#include "ui/cdevicelistpanel.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QSaveFile>
#include <QTimer>
#include <QVBoxLayout>

#include "app/ceui.h"
#include "app/clogfile.h"
#include "gateway/cgateway.h"
#include "gateway/registermap.h"
#include "store/storecolumns.h"
#include "ui/caddnewdeviceform.h"
#include "ui/cdevicedelegat.h"
#include "ui/ceditdeviceform.h"
#include "ui/crecordmodel.h"
#include "ui/csearcheditwidget.h"
#include "ui/ctrendwindow.h"
#include "ui/cusernotice.h"

namespace {

QPushButton *listButton(const QString &_icon, const QString &_objectName, const QString &_toolTip, QWidget *_parent)
{
    auto *button = new QPushButton(QIcon(_icon), QString(), _parent);
    button->setObjectName(_objectName);
    button->setToolTip(_toolTip);
    button->setFixedSize(40, 40);
    button->setIconSize(QSize(30, 30));
    return button;
}

} // namespace

CDeviceListPanel::CDeviceListPanel(CGateway *_gateway, QWidget *_parent)
    : QWidget(_parent)
    , gateway(_gateway)
    , addDeviceForm(std::make_unique<CAddNewDeviceForm>(_gateway))
    , editDeviceForm(std::make_unique<CEditDeviceForm>(_gateway))
    , searchEdit(new CSearchEditWidget(this))
    , deviceView(new QListView(this))
    , deviceModel(new CRecordModel(DEV_COLUMN_COUNT, this))
    , addButton(listButton(
          QStringLiteral(":/addIco.png"), QStringLiteral("greenBtn"), tr("Add new device from server"), this))
    , editButton(
          listButton(QStringLiteral(":/editIco.png"), QStringLiteral("greenBtn"), tr("Edit device parametrs"), this))
    , deleteButton(listButton(QStringLiteral(":/delete2Ico.png"), QStringLiteral("redBtn"), tr("Delete device"), this))
    , trendButton(new QPushButton(tr("Trend"), this))
    , exportMapButton(new QPushButton(tr("Export register map…"), this))
    , staleRepaintTimer(new QTimer(this))
    , storeStatusLabel(new QLabel(this))
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(5, 5, 5, 5);
    layout->setSpacing(5);
    storeStatusLabel->setObjectName(QStringLiteral("storeStatusLab"));
    storeStatusLabel->setWordWrap(true);
    storeStatusLabel->hide();
    layout->addWidget(storeStatusLabel);
    layout->addWidget(searchEdit);
    deviceView->setModel(deviceModel);
    deviceView->setItemDelegate(new CDeviceDelegat(gateway, deviceView));
    deviceView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    layout->addWidget(deviceView, 50);
    auto *buttons = new QHBoxLayout();
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->setSpacing(5);
    buttons->addWidget(addButton);
    buttons->addWidget(editButton);
    buttons->addWidget(deleteButton);
    buttons->addWidget(trendButton);
    buttons->addStretch(10);
    buttons->addWidget(exportMapButton);
    layout->addLayout(buttons);

    connect(searchEdit, &CSearchEditWidget::textChangedSignal, this, &CDeviceListPanel::refreshDevices);
    connect(deviceView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &CDeviceListPanel::selectionChanged);
    connect(addButton, &QPushButton::clicked, this, [this] { addDeviceForm->showForm(); });
    connect(editButton, &QPushButton::clicked, this, &CDeviceListPanel::editDevice);
    connect(deleteButton, &QPushButton::clicked, this, &CDeviceListPanel::deleteDevice);
    connect(trendButton, &QPushButton::clicked, this, &CDeviceListPanel::openTrend);
    connect(gateway, &CGateway::newDataForDevice, this, &CDeviceListPanel::refreshTrends, Qt::QueuedConnection);
    connect(exportMapButton, &QPushButton::clicked, this, &CDeviceListPanel::exportRegisterMap);
    connect(staleRepaintTimer, &QTimer::timeout, deviceView->viewport(), QOverload<>::of(&QWidget::update));
    staleRepaintTimer->start(STALE_REPAINT_MS);
    connect(gateway, &CGateway::deviceListReceived, addDeviceForm.get(), &CAddNewDeviceForm::getDevicesListRespSlot);
    connect(addDeviceForm.get(), &CAbstractDeviceForm::refreshDeviceList, this, &CDeviceListPanel::refreshDevices,
            Qt::QueuedConnection);
    connect(editDeviceForm.get(), &CAbstractDeviceForm::refreshDeviceList, this, &CDeviceListPanel::refreshDevices,
            Qt::QueuedConnection);
}

CDeviceListPanel::~CDeviceListPanel() = default;

QVariant CDeviceListPanel::currentDevice(int _column) const
{
    const QModelIndex current = deviceView->currentIndex();
    if (!current.isValid())
        return QVariant();
    return deviceModel->index(current.row(), _column).data();
}

void CDeviceListPanel::showNoDevice()
{
    editButton->setEnabled(false);
    deleteButton->setEnabled(false);
    trendButton->setEnabled(false);
    emit noDeviceSelected();
}

void CDeviceListPanel::refreshDevices(QString _search)
{
    deviceModel->setRecords(gateway->devices(_search));
    if (deviceModel->rowCount() > 0)
        deviceView->setCurrentIndex(deviceModel->index(0, 0));
    else
        showNoDevice();
}

void CDeviceListPanel::selectionChanged()
{
    if (deviceModel->rowCount() == 0 || !deviceView->currentIndex().isValid()) {
        showNoDevice();
        return;
    }
    editButton->setEnabled(true);
    deleteButton->setEnabled(true);
    trendButton->setEnabled(true);
    emit deviceSelected(SShownDevice { currentDevice(DEV_COL_DEVICE).toUInt(), currentDevice(DEV_COL_DEV_EUI).toString(),
                                       currentDevice(DEV_COL_APP_EUI).toString(),
                                       static_cast<quint16>(currentDevice(DEV_COL_PORT).toUInt()),
                                       currentDevice(DEV_COL_START_ADDR).toUInt() });
}

void CDeviceListPanel::openTrend()
{
    if (!deviceView->currentIndex().isValid())
        return;
    const QString devEui = currentDevice(DEV_COL_DEV_EUI).toString();
    trends.removeAll(nullptr);
    for (const QPointer<CTrendWindow> &trend : qAsConst(trends)) {
        if (CEui(trend->devEui()) == CEui(devEui)) {
            trend->raise();
            trend->activateWindow();
            return;
        }
    }
    auto *trend = new CTrendWindow(gateway->historyFile(), gateway->clock(), devEui,
                                   currentDevice(DEV_COL_NAME).toString(), this);
    trend->setAttribute(Qt::WA_DeleteOnClose);
    trends.append(trend);
    trend->show();
}

void CDeviceListPanel::refreshTrends(const QString &_devEui)
{
    for (const QPointer<CTrendWindow> &trend : qAsConst(trends)) {
        if (trend && CEui(trend->devEui()) == CEui(_devEui))
            trend->refresh();
    }
}

void CDeviceListPanel::editDevice()
{
    if (!deviceView->currentIndex().isValid())
        return;
    CEditDeviceForm *form = editDeviceForm.get();
    form->setOriginal(currentDevice(DEV_COL_DEVICE).toUInt(), currentDevice(DEV_COL_DEV_EUI).toString(),
                      currentDevice(DEV_COL_NAME).toString(), currentDevice(DEV_COL_APP_EUI).toString(),
                      static_cast<uint16_t>(currentDevice(DEV_COL_PORT).toUInt()),
                      currentDevice(DEV_COL_START_ADDR).toUInt());
    form->showForm();
}

void CDeviceListPanel::exportRegisterMap()
{
    const QString path = QFileDialog::getSaveFileName(this, tr("Export register map"), QStringLiteral("register-map.csv"),
                                                      tr("CSV (*.csv);;Markdown (*.md)"));
    if (path.isEmpty())
        return;
    const QList<SRegisterMapRow> rows = registerMap(*gateway);
    const QString text = path.endsWith(QLatin1String(".md"), Qt::CaseInsensitive) ? registerMapMarkdown(rows)
                                                                                 : registerMapCsv(rows);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit()) {
        CLogFile::addLog(QStringLiteral("ERROR: [CDeviceListPanel::exportRegisterMapSlot] [%1] is not written: %2")
                             .arg(path, file.errorString()));
        CUserNotice::notify(this, QMessageBox::Critical, tr("Export register map"),
                            tr("The register map is not written: %1").arg(file.errorString()));
    }
}

void CDeviceListPanel::deleteDevice()
{
    if (!deviceView->currentIndex().isValid())
        return;
    const QString devEui = currentDevice(DEV_COL_DEV_EUI).toString();
    const QString name = currentDevice(DEV_COL_NAME).toString();
    const uint16_t port = static_cast<uint16_t>(currentDevice(DEV_COL_PORT).toUInt());
    if (!CUserNotice::confirm(this, tr("Delete device"),
                              tr("Delete device \"%1\" [%2]?\nIts registers are removed and port %3 stops "
                                 "serving it.")
                                  .arg(name, devEui)
                                  .arg(port)))
        return;
    const SGatewayResult result = gateway->removeDevice(currentDevice(DEV_COL_DEVICE).toUInt(), devEui, port);
    if (!result.ok()) {
        CUserNotice::notify(this, QMessageBox::Critical, tr("Delete device status"), result.message);
        return;
    }
    refreshDevices(QString());
}

void CDeviceListPanel::showStoreStatus(bool _saving, QString _reason)
{
    storeStatusLabel->setText(tr("Values are not saved: %1. Modbus clients still read the newest values.")
                                  .arg(_reason));
    storeStatusLabel->setVisible(!_saving);
}
