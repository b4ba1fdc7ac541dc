#include "ui/mainwindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDebug>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QRegExpValidator>
#include <QSaveFile>
#include <QSpinBox>
#include <QSqlRecord>
#include <QTimer>
#include <QVBoxLayout>

#include "app/ceui.h"
#include "app/clogfile.h"
#include "app/constants.h"
#include "app/csettings.h"
#include "gateway/cgateway.h"
#include "gateway/registermap.h"
#include "gateway/settingsfile.h"
#include "ui/cabstractpanelbutton.h"
#include "ui/caddnewdeviceform.h"
#include "ui/cdevicedelegat.h"
#include "ui/ceditdeviceform.h"
#include "ui/cleftpanel.h"
#include "ui/clogowidget.h"
#include "ui/crecordmodel.h"
#include "ui/cregisterdelegat.h"
#include "ui/csearcheditwidget.h"
#include "ui/ctrendwindow.h"
#include "ui/cusernotice.h"
#include "store/storecolumns.h"

namespace {

const QString GOOD_CONNECTION_ICON = QStringLiteral(":/connectionGoodIco.png");
const QString FAIL_CONNECTION_ICON = QStringLiteral(":/connectionFailIco.png");

QHBoxLayout *row(std::initializer_list<QWidget *> _widgets)
{
    auto *layout = new QHBoxLayout();
    layout->setContentsMargins(0, 0, 0, 0);
    for (QWidget *widget : _widgets)
        layout->addWidget(widget);
    return layout;
}

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

MainWindow::MainWindow(CGateway *_gateway, QWidget *parent)
    : QMainWindow(parent)
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
    , registerView(new QListView(this))
    , registerModel(new CRecordModel(REG_COLUMN_COUNT, this))
    , deviceTitleLabel(new QLabel(tr("Device [UNKNOWN] "), this))
    , modbusGroup(new QGroupBox(tr("ModBUS-TCP parameters"), this))
    , tcpPortValueLabel(new QLabel(modbusGroup))
    , beginRegisterValueLabel(new QLabel(modbusGroup))
    , kindCombo(new QComboBox(this))
    , webSocketFields(new QWidget(this))
    , mqttFields(new QWidget(this))
    , protocolCombo(new QComboBox(this))
    , ipEdit(new QLineEdit(this))
    , portEdit(new QLineEdit(this))
    , loginEdit(new QLineEdit(this))
    , passwordEdit(new QLineEdit(this))
    , hostEdit(new QLineEdit(this))
    , mqttPortSpin(new QSpinBox(this))
    , tlsCheck(new QCheckBox(tr("TLS"), this))
    , caFileEdit(new QLineEdit(this))
    , certFileEdit(new QLineEdit(this))
    , keyFileEdit(new QLineEdit(this))
    , usernameEdit(new QLineEdit(this))
    , mqttPasswordEdit(new QLineEdit(this))
    , clientIdEdit(new QLineEdit(this))
    , topicEdit(new QLineEdit(this))
    , connectionStateLabel(new QLabel(tr("Connection state..."), this))
    , storeStatusLabel(new QLabel(this))
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
    serverButton->addWidget(buildLoginBox());
    panel->addWidget(serverButton);
    panel->addStretch();
    leftColumn->addWidget(panel);
    columns->addLayout(leftColumn);
    columns->addLayout(buildDeviceColumn(), 2);
    columns->addLayout(buildRegisterColumn(), 3);
    setCentralWidget(central);

    connect(searchEdit, &CSearchEditWidget::textChangedSignal, this, &MainWindow::refreshDevicesSlot);
    connect(deviceView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::deviceSelectSlot);
    connect(addButton, &QPushButton::clicked, this, &MainWindow::addNewItemSlot);
    connect(editButton, &QPushButton::clicked, this, &MainWindow::editItemSlot);
    connect(deleteButton, &QPushButton::clicked, this, &MainWindow::deleteItemSlot);
    connect(trendButton, &QPushButton::clicked, this, &MainWindow::trendSlot);
    connect(exportMapButton, &QPushButton::clicked, this, &MainWindow::exportRegisterMapSlot);
    connect(staleRepaintTimer, &QTimer::timeout, deviceView->viewport(), QOverload<>::of(&QWidget::update));
    staleRepaintTimer->start(STALE_REPAINT_MS);
    connect(CLogFile::getInstance(QString()), &CLogFile::addLogSignal, this, &MainWindow::debugSlot);

    connect(gateway, &CGateway::serverStatusChanged, this, &MainWindow::changeServerStatusSlot, Qt::QueuedConnection);
    connect(gateway, &CGateway::deviceListReceived, addDeviceForm.get(), &CAddNewDeviceForm::getDevicesListRespSlot);
    connect(addDeviceForm.get(), &CAbstractDeviceForm::refreshDeviceList, this, &MainWindow::refreshDevicesSlot,
            Qt::QueuedConnection);
    connect(editDeviceForm.get(), &CAbstractDeviceForm::refreshDeviceList, this, &MainWindow::refreshDevicesSlot,
            Qt::QueuedConnection);
    connect(gateway, &CGateway::newDataForDevice, this, &MainWindow::newDataForDeviceSlot, Qt::QueuedConnection);
    // Devices added or removed elsewhere (a reload) show up too.
    connect(gateway, &CGateway::devicesChanged, this, [this] { refreshDevicesSlot(QString()); }, Qt::QueuedConnection);
    connect(gateway, &CGateway::storeStatusChanged, this, &MainWindow::storeStatusSlot, Qt::QueuedConnection);

    readSettings();
    // What was saved was confirmed when it was saved: connecting with it changes nothing.
    gateway->connectToSavedServer();
    refreshDevicesSlot(QString());
}

MainWindow::~MainWindow() = default;

QWidget *MainWindow::buildLoginBox()
{
    auto *box = new QWidget(this);
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);

    kindCombo->addItem(tr("WebSocket"), int(EServerKind::eWebSocket));
    kindCombo->addItem(tr("ChirpStack"), int(EServerKind::eChirpStack));
    kindCombo->addItem(tr("The Things Stack"), int(EServerKind::eTts));
    kindCombo->setToolTip(tr("Where the uplinks come from"));
    layout->addWidget(kindCombo);
    layout->addWidget(buildWebSocketFields());
    layout->addWidget(buildMqttFields());
    layout->addWidget(connectionStateLabel);
    auto *connectButton = new QPushButton(tr("Connect"), box);
    connectButton->setObjectName(QStringLiteral("blueBtn"));
    connectButton->setFixedSize(75, 25);
    connect(connectButton, &QPushButton::clicked, this, &MainWindow::connectButtonSlot);
    layout->addWidget(connectButton, 0, Qt::AlignHCenter);
    connect(kindCombo, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this] { showKindFields(); });
    showKindFields();
    return box;
}

QWidget *MainWindow::buildWebSocketFields()
{
    auto *layout = new QVBoxLayout(webSocketFields);
    layout->setContentsMargins(0, 0, 0, 0);
    protocolCombo->addItems({ QStringLiteral("ws"), QStringLiteral("wss") });
    protocolCombo->setCurrentIndex(0);
    // The style sheet's font needs more than 90 + 35 px for an address and a port:
    // the port gets a row of its own and the address the rest of the first.
    ipEdit->setMinimumWidth(90);
    ipEdit->setValidator(new QRegExpValidator(
        QRegExp(QStringLiteral("[0-9]{1,3}.[0-9]{1,3}.[0-9]{1,3}.[0-9]{1,3}"), Qt::CaseSensitive), ipEdit));
    portEdit->setFixedWidth(70);
    portEdit->setValidator(new QRegExpValidator(QRegExp(QStringLiteral("[0-9]{5}")), portEdit));
    layout->addLayout(row({ protocolCombo, new QLabel(QStringLiteral("://"), webSocketFields), ipEdit }));
    QHBoxLayout *portRow = row({ new QLabel(QStringLiteral(":"), webSocketFields), portEdit });
    portRow->addStretch();
    layout->addLayout(portRow);
    layout->addLayout(row({ new QLabel(tr("Login:"), webSocketFields), loginEdit }));
    passwordEdit->setEchoMode(QLineEdit::Password);
    passwordEdit->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhNoAutoUppercase | Qt::ImhNoPredictiveText);
    layout->addLayout(row({ new QLabel(tr("Password:"), webSocketFields), passwordEdit }));
    return webSocketFields;
}

QWidget *MainWindow::buildMqttFields()
{
    auto *grid = new QGridLayout(mqttFields);
    grid->setContentsMargins(0, 0, 0, 0);
    // Fields take what the labels leave of the panel's width, however long their text.
    grid->setColumnStretch(1, 1);
    const auto addRow = [&](const QString &_label, QWidget *_field) {
        auto *label = new QLabel(_label, mqttFields);
        label->setBuddy(_field);
        const int at = grid->rowCount();
        grid->addWidget(label, at, 0);
        grid->addWidget(_field, at, 1);
        return label;
    };
    for (QLineEdit *edit :
        { hostEdit, caFileEdit, certFileEdit, keyFileEdit, usernameEdit, mqttPasswordEdit, clientIdEdit, topicEdit })
        edit->setMinimumWidth(0);
    addRow(tr("Host:"), hostEdit);
    mqttPortSpin->setRange(1, 65535);
    mqttPortSpin->setValue(MQTT::DEFAULT_PORT);
    addRow(tr("Port:"), mqttPortSpin);
    grid->addWidget(tlsCheck, grid->rowCount(), 1);
    caFileEdit->setPlaceholderText(tr("system's"));
    for (const auto &file : { qMakePair(tr("CA file:"), caFileEdit), qMakePair(tr("Cert file:"), certFileEdit),
             qMakePair(tr("Key file:"), keyFileEdit) })
        tlsRowWidgets << addRow(file.first, file.second) << file.second;
    addRow(tr("User:"), usernameEdit);
    mqttPasswordEdit->setEchoMode(QLineEdit::Password);
    mqttPasswordEdit->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhNoAutoUppercase | Qt::ImhNoPredictiveText);
    addRow(tr("Password:"), mqttPasswordEdit);
    clientIdEdit->setPlaceholderText(MQTT::defaultClientId());
    addRow(tr("Client id:"), clientIdEdit);
    addRow(tr("Topic:"), topicEdit);
    connect(tlsCheck, &QCheckBox::toggled, this, &MainWindow::showTlsFields);
    showTlsFields(false);
    return mqttFields;
}

QLayout *MainWindow::buildDeviceColumn()
{
    auto *layout = new QVBoxLayout();
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
    return layout;
}

QLayout *MainWindow::buildRegisterColumn()
{
    auto *layout = new QVBoxLayout();
    layout->setContentsMargins(5, 5, 5, 5);
    layout->setSpacing(0);
    deviceTitleLabel->setObjectName(QStringLiteral("title1Lab"));
    layout->addWidget(deviceTitleLabel);

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
    return layout;
}

void MainWindow::debugSlot(QString str)
{
    qDebug().noquote() << str;
}

void MainWindow::readSettings()
{
    const SServerLogin login = SServerLogin::fromSettings();
    ipEdit->setText(login.host);
    portEdit->setText(login.port);
    loginEdit->setText(login.login);
    passwordEdit->setText(login.password);
    const CSettings *settings = CSettings::getInstance(QString());
    if (!settings)
        return;
    // The broker fields show the saved values, or the defaults the gateway would use.
    const SMqttSettings mqtt = MQTT::readMqttSettings(*settings);
    hostEdit->setText(mqtt.host);
    tlsCheck->setChecked(mqtt.tls);
    mqttPortSpin->setValue(mqtt.port);
    caFileEdit->setText(mqtt.caFile);
    certFileEdit->setText(mqtt.certFile);
    keyFileEdit->setText(mqtt.keyFile);
    usernameEdit->setText(mqtt.username);
    mqttPasswordEdit->setText(mqtt.password);
    clientIdEdit->setText(mqtt.clientId);
    topicEdit->setText(mqtt.topic);
    kindCombo->setCurrentIndex(kindCombo->findData(int(MQTT::readServerKind(*settings))));
}

EServerKind MainWindow::chosenKind() const
{
    return EServerKind(kindCombo->currentData().toInt());
}

void MainWindow::showKindFields()
{
    const EServerKind kind = chosenKind();
    webSocketFields->setVisible(kind == EServerKind::eWebSocket);
    mqttFields->setVisible(kind != EServerKind::eWebSocket);
    const QString topic = topicEdit->text().trimmed();
    if (kind != EServerKind::eWebSocket
        && (topic.isEmpty() || topic == MQTT::defaultTopic(EServerKind::eChirpStack)
            || topic == MQTT::defaultTopic(EServerKind::eTts)))
        topicEdit->setText(MQTT::defaultTopic(kind));
}

void MainWindow::showTlsFields(bool _tls)
{
    for (QWidget *widget : tlsRowWidgets)
        widget->setVisible(_tls);
    if (_tls && mqttPortSpin->value() == MQTT::DEFAULT_PORT)
        mqttPortSpin->setValue(MQTT::DEFAULT_TLS_PORT);
    else if (!_tls && mqttPortSpin->value() == MQTT::DEFAULT_TLS_PORT)
        mqttPortSpin->setValue(MQTT::DEFAULT_PORT);
}

QVariant MainWindow::currentDevice(int _column) const
{
    const QModelIndex current = deviceView->currentIndex();
    if (!current.isValid())
        return QVariant();
    return deviceModel->index(current.row(), _column).data();
}

void MainWindow::showNoDevice()
{
    deviceTitleLabel->setText(tr("Device [UNKNOWN]"));
    modbusGroup->hide();
    registerModel->setRecords({});
    editButton->setEnabled(false);
    deleteButton->setEnabled(false);
    trendButton->setEnabled(false);
}

void MainWindow::refreshDevicesSlot(QString _search)
{
    deviceModel->setRecords(gateway->devices(_search));
    if (deviceModel->rowCount() > 0)
        deviceView->setCurrentIndex(deviceModel->index(0, 0));
    else
        showNoDevice();
}

void MainWindow::deviceSelectSlot(QItemSelection, QItemSelection)
{
    if (deviceModel->rowCount() == 0 || !deviceView->currentIndex().isValid()) {
        showNoDevice();
        return;
    }
    const SDeviceTemplateInfo info = gateway->templateInfo(currentDevice(DEV_COL_APP_EUI).toString());
    deviceTitleLabel->setText(tr("Device:%1 [%2]").arg(currentDevice(DEV_COL_DEV_EUI).toString(), info.devType));
    modbusGroup->show();
    tcpPortValueLabel->setText(QString::number(currentDevice(DEV_COL_PORT).toUInt()));
    beginRegisterValueLabel->setText(QString::number(currentDevice(DEV_COL_START_ADDR).toUInt()));
    editButton->setEnabled(true);
    deleteButton->setEnabled(true);
    trendButton->setEnabled(true);
    refreshRegisterSlot();
}

void MainWindow::refreshRegisterSlot()
{
    registerModel->setRecords(gateway->registers(currentDevice(DEV_COL_DEVICE).toUInt()));
    if (registerModel->rowCount() > 0)
        registerView->setCurrentIndex(registerModel->index(0, 0));
}

void MainWindow::newDataForDeviceSlot(QString _devEui)
{
    if (deviceView->currentIndex().isValid() && CEui(_devEui) == CEui(currentDevice(DEV_COL_DEV_EUI).toString()))
        refreshRegisterSlot();
    for (const QPointer<CTrendWindow> &trend : qAsConst(trends)) {
        if (trend && CEui(trend->devEui()) == CEui(_devEui))
            trend->refresh();
    }
}

void MainWindow::trendSlot()
{
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

void MainWindow::addNewItemSlot()
{
    addDeviceForm->showForm();
}

void MainWindow::editItemSlot()
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

void MainWindow::exportRegisterMapSlot()
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
        CLogFile::addLog(QStringLiteral("ERROR: [MainWindow::exportRegisterMapSlot] [%1] is not written: %2")
                             .arg(path, file.errorString()));
        CUserNotice::notify(this, QMessageBox::Critical, tr("Export register map"),
                            tr("The register map is not written: %1").arg(file.errorString()));
    }
}

void MainWindow::deleteItemSlot()
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
    refreshDevicesSlot(QString());
}

void MainWindow::connectButtonSlot()
{
    if (chosenKind() == EServerKind::eWebSocket)
        connectToWebSocket();
    else
        connectToMqtt();
}

void MainWindow::connectToWebSocket()
{
    const QList<QPair<QLineEdit *, QString>> required = {
        { ipEdit, QStringLiteral("[main] IP is empty") },
        { portEdit, QStringLiteral("[main] PORT is empty") },
        { loginEdit, QStringLiteral("[main] LOGIN is empty") },
        { passwordEdit, QStringLiteral("[main] PASSWORD is empty") },
    };
    for (const auto &field : required) {
        if (field.first->text().isEmpty()) {
            CLogFile::addLog(field.second);
            return;
        }
    }
    SServerLogin login;
    login.scheme = protocolCombo->currentText();
    login.host = ipEdit->text();
    login.port = portEdit->text();
    login.login = loginEdit->text();
    login.password = passwordEdit->text();
    gateway->connectToServer(login, true);
}

void MainWindow::connectToMqtt()
{
    SMqttSettings settings;
    settings.kind = chosenKind();
    settings.host = hostEdit->text().trimmed();
    if (settings.host.isEmpty()) {
        CLogFile::addLog(QStringLiteral("[main] MQTT host is empty"));
        return;
    }
    settings.port = static_cast<quint16>(mqttPortSpin->value());
    settings.tls = tlsCheck->isChecked();
    settings.caFile = caFileEdit->text().trimmed();
    settings.certFile = certFileEdit->text().trimmed();
    settings.keyFile = keyFileEdit->text().trimmed();
    settings.username = usernameEdit->text();
    settings.password = mqttPasswordEdit->text();
    // Empty fields mean the defaults, and the fields show what is used.
    if (clientIdEdit->text().trimmed().isEmpty())
        clientIdEdit->setText(MQTT::defaultClientId());
    if (topicEdit->text().trimmed().isEmpty())
        topicEdit->setText(MQTT::defaultTopic(settings.kind));
    settings.clientId = clientIdEdit->text().trimmed();
    settings.topic = topicEdit->text().trimmed();
    gateway->connectToMqtt(settings, true);
}

void MainWindow::storeStatusSlot(bool _saving, QString _reason)
{
    storeStatusLabel->setText(tr("Values are not saved: %1. Modbus clients still read the newest values.")
                                  .arg(_reason));
    storeStatusLabel->setVisible(!_saving);
}

void MainWindow::changeServerStatusSlot(COMM::EServerStatus _status)
{
    QString text;
    switch (_status) {
    case COMM::eSuccess: text = tr("SUCCESS"); break;
    case COMM::ePingWaiting: text = tr("PING WAITING"); break;
    case COMM::eInvalidPing: text = tr("INVALID PING"); break;
    case COMM::eAuthWaiting: text = tr("AUTH WAITING"); break;
    case COMM::eInvalidAuth: text = tr("INVALID AUTH"); break;
    case COMM::eDisconnected: text = tr("DISCONNECTED"); break;
    default: return;
    }
    connectionStateLabel->setText(text);
    emit setConnectStatusIco(QIcon(_status == COMM::eSuccess ? GOOD_CONNECTION_ICON : FAIL_CONNECTION_ICON));
}
