#include "ui/mainwindow.h"

#include <QDebug>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/clogfile.h"
#include "app/constants.h"
#include "gateway/cgateway.h"
#include "ui/cabstractpanelbutton.h"
#include "ui/cdevicelistpanel.h"
#include "ui/cleftpanel.h"
#include "ui/clogowidget.h"
#include "ui/cregisterpanel.h"
#include "ui/cserverpanel.h"

namespace {

const QString FAIL_CONNECTION_ICON = QStringLiteral(":/connectionFailIco.png");

} // namespace

MainWindow::MainWindow(CGateway *_gateway, QWidget *parent)
    : QMainWindow(parent)
    , gateway(_gateway)
    , serverPanel(new CServerPanel(_gateway, this))
    , deviceList(new CDeviceListPanel(_gateway, this))
    , registerPanel(new CRegisterPanel(_gateway, this))
{
    setWindowTitle(QStringLiteral("%1").arg(APPLICATION_NAME));
    setObjectName(QStringLiteral("MainWindow"));
    setWindowIcon(QIcon(QStringLiteral(":/korv-a_logo5_gradient.png")));
    setWindowFlags(windowFlags() | Qt::WindowMaximizeButtonHint);
    setAttribute(Qt::WA_NoSystemBackground);
    setGeometry(10, 30, 1000, 640);
    setAnimated(true);

    auto *central = new QWidget(this);
    central->setObjectName(QStringLiteral("MainWidget"));
    auto *columns = new QHBoxLayout(central);
    columns->setContentsMargins(0, 0, 0, 0);
    columns->setSpacing(0);

    auto *leftColumn = new QVBoxLayout();
    leftColumn->setContentsMargins(0, 0, 0, 0);
    auto *logo = new CLogoWidget(central);
    leftColumn->addWidget(logo);
    auto *panel = new CLeftPanel(central);
    auto *serverButton
        = new CAbstractPanelButton(tr("Server authorization"), QIcon(FAIL_CONNECTION_ICON), panel);
    serverButton->setPicAlign(Qt::AlignRight);
    // 200 px wide, or what the title beside the status icon needs in the fonts at hand.
    serverButton->ensurePolished();
    const int panelWidth = qMax(200, serverButton->minimumSizeHint().width() + 10);
    logo->setFixedSize(panelWidth, 45);
    panel->setFixedWidth(panelWidth);
    connect(this, &MainWindow::setConnectStatusIco, serverButton, &CAbstractPanelButton::setIcon);
    serverButton->addWidget(serverPanel);
    panel->addWidget(serverButton);
    panel->addStretch();
    leftColumn->addWidget(panel);
    columns->addLayout(leftColumn);
    columns->addWidget(deviceList, 2);
    columns->addWidget(registerPanel, 3);
    setCentralWidget(central);

    connect(serverPanel, &CServerPanel::connectionIconChanged, this, &MainWindow::setConnectStatusIco);
    connect(deviceList, &CDeviceListPanel::deviceSelected, registerPanel, &CRegisterPanel::showDevice);
    connect(deviceList, &CDeviceListPanel::noDeviceSelected, registerPanel, &CRegisterPanel::showNoDevice);
    connect(CLogFile::getInstance(QString()), &CLogFile::addLogSignal, this, &MainWindow::debugSlot);

    connect(gateway, &CGateway::serverStatusChanged, serverPanel, &CServerPanel::showServerStatus, Qt::QueuedConnection);
    connect(gateway, &CGateway::newDataForDevice, registerPanel, &CRegisterPanel::refreshDevice, Qt::QueuedConnection);
    // Devices added or removed elsewhere (a reload) show up too.
    connect(gateway, &CGateway::devicesChanged, deviceList, [this] { deviceList->refreshDevices(QString()); },
            Qt::QueuedConnection);
    connect(gateway, &CGateway::storeStatusChanged, deviceList, &CDeviceListPanel::showStoreStatus,
            Qt::QueuedConnection);

    serverPanel->readSettings();
    // What was saved was confirmed when it was saved: connecting with it changes nothing.
    gateway->connectToSavedServer();
    deviceList->refreshDevices(QString());
}


MainWindow::~MainWindow() = default;

CAddNewDeviceForm *MainWindow::addForm() const
{
    return deviceList->addForm();
}

CEditDeviceForm *MainWindow::editForm() const
{
    return deviceList->editForm();
}

void MainWindow::debugSlot(QString str)
{
    qDebug().noquote() << str;
}
