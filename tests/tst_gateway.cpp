#include <QApplication>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QSqlRecord>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "app/clogfile.h"
#include "app/constants.h"
#include "app/csettings.h"
#include "app/globaltables.h"
#include "devices/calldevicehandler.h"
#include "gatewaytestsupport.h"
#include "server/cserverhandler.h"
#include "store/cdatabasehandler.h"
#include "ui/cgatewaystartup.h"
#include "ui/cusernotice.h"
#include "store/storecolumns.h"
#include "ui/cregisterpanel.h"
#include "ui/ctrendwindow.h"
#include "ui/mainwindow.h"
#include "ui/theme.h"
#include "testworkdir.h"
#include "windowtestsupport.h"

using namespace GatewayTest;
using namespace WindowTest;

namespace {

const QString BOILER = QStringLiteral("70B3D5E75E000001");
const QString ROOF = QStringLiteral("70B3D5E75E000002");
const QString STRANGER = QStringLiteral("70B3D5E75E000003");
const QString CELLAR = QStringLiteral("70B3D5E75E000004");
const QString PULSE = QStringLiteral("70B3D5E75E000005");

// Register offsets of the sensor's map.
const int TEMPERATURE_OFFSET = 6;
const int HUMIDITY_OFFSET = 7;

// Temperature 225 (00e1), humidity 600 (0258), battery 2830 (0b0e), little-endian.
const char *BOILER_PAYLOAD = "01e10058020e0b";

struct SNotice {
    QMessageBox::Icon icon;
    QString text;
    QString informative;
};

} // namespace

// The whole gateway in this process, driven through its window and dialogs,
// against the network-server simulator and over real TCP ports.
class TestGateway : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir workDir;
    QProcess mainSimulator;
    quint16 simulatorPort = 0;
    quint16 cellarPort = 0;
    quint16 sharedPort = 0;
    std::unique_ptr<CGatewayStartup> startup;
    MainWindow *window = nullptr;
    std::unique_ptr<QSignalSpy> logSpy;
    QList<SNotice> notices;
    QStringList confirmations;
    bool confirmAnswer = false;

    bool logged(const QString &_text) const
    {
        for (const QList<QVariant> &line : *logSpy)
            if (line.at(0).toString().contains(_text))
                return true;
        return false;
    }

    SMainWindowParts parts() const { return SMainWindowParts(window); }

    bool connectTo(quint16 _port, const QString &_password)
    {
        SMainWindowParts ui = parts();
        ui.ip->setText(QStringLiteral("127.0.0.1"));
        ui.port->setText(QString::number(_port));
        ui.login->setText(LOGIN);
        ui.password->setText(_password);
        const COMM::EServerStatus awaited = _password == PASSWORD ? COMM::eSuccess : COMM::eInvalidAuth;
        const QString awaitedText = _password == PASSWORD ? QStringLiteral("SUCCESS") : QStringLiteral("INVALID AUTH");
        QSignalSpy statuses(startup->gateway(), &CGateway::serverStatusChanged);
        QTest::mouseClick(ui.connect, Qt::LeftButton);
        // The label may still show the last connection's status: wait for this one's.
        const bool reached = QTest::qWaitFor(
            [&] {
                for (const QList<QVariant> &status : statuses)
                    if (status.at(0).value<COMM::EServerStatus>() == awaited)
                        return true;
                return false;
            },
            10000);
        return reached && QTest::qWaitFor([&] { return ui.connectionState->text() == awaitedText; }, 5000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::exists(simulatorProgram()));
        QVERIFY(workDir.enter());
        qApp->setStyleSheet(loadThemeStyleSheet());
        CSettings::getInstance(SETTINGS_FILE_NAME);
        logSpy.reset(new QSignalSpy(CLogFile::getInstance(QString()), &CLogFile::addLogSignal));
        QVERIFY(installTemplates(QDir(workDir.path())));

        CUserNotice::setNoticeHandler([this](QWidget *, QMessageBox::Icon _icon, const QString &_text,
                                             const QString &_informative) {
            notices.append({ _icon, _text, _informative });
        });
        CUserNotice::setConfirmHandler([this](QWidget *, const QString &, const QString &_text) {
            confirmations.append(_text);
            return confirmAnswer;
        });

        // A device stored by an earlier run.
        cellarPort = freePort();
        sharedPort = freePort();
        QVERIFY(cellarPort && sharedPort && cellarPort != sharedPort);
        DB::SDeviceRegMapDescription cellar;
        cellar.devEui = CELLAR;
        cellar.appEui = TH_APP_EUI;
        cellar.name = QStringLiteral("cellar TH");
        cellar.startAddr = 0;
        cellar.registers = CAllDeviceHandler(nullptr, DEVICE_FOLDER).getRegMapDescription(TH_APP_EUI).registers;
        QCOMPARE(cellar.registers.size(), 7);
        {
            CDataBaseHandler earlierRun(DB_FILE_NAME);
            QVERIFY(earlierRun.open());
            QVERIFY(earlierRun.registerNewDevice(cellar, cellarPort));
        }

        QVERIFY(writeFile(QStringLiteral("devices.json"),
                          QStringLiteral(R"([
            {"devEui":"%1","devName":"boiler TH","appEui":"%6","payload":"%7"},
            {"devEui":"%2","devName":"roof TH","appEui":"%6","payload":"01f6ff2003b80b"},
            {"devEui":"%3","devName":"stranger","appEui":"0000000000000099"},
            {"devEui":"%4","devName":"cellar TH","appEui":"%6","payload":"01640090010a0b"},
            {"devEui":"%5","devName":"pulse","appEui":"%8","payload":"0101000000"}])")
                              .arg(BOILER, ROOF, STRANGER, CELLAR, PULSE, TH_APP_EUI,
                                   QLatin1String(BOILER_PAYLOAD), PULSE_APP_EUI)
                              .toUtf8()));
        simulatorPort = startSimulator(mainSimulator,
                                       { QStringLiteral("--devices"), QStringLiteral("devices.json"),
                                         QStringLiteral("--rate"), QStringLiteral("20"), QStringLiteral("--duration"),
                                         QStringLiteral("280") });
        QVERIFY(simulatorPort);
    }

    void cleanupTestCase()
    {
        stopProcess(mainSimulator);
        CUserNotice::setNoticeHandler(nullptr);
        CUserNotice::setConfirmHandler(nullptr);
    }

    void startsServingStoredDevices()
    {
        QVERIFY(!QFile::exists(SETTINGS_FILE_NAME));
        SGatewayConfig config;
        // A locked file fails an edit at once instead of after the program's five seconds.
        config.storeBusyTimeoutMs = 200;
        startup.reset(new CGatewayStartup(config));
        QVERIFY(startup->start());
        window = startup->window();
        QVERIFY(window);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        SMainWindowParts ui = parts();

        // Nothing stored yet to log in with.
        QVERIFY(logged(QStringLiteral("[main] IP is empty")));
        QCOMPARE(ui.connectionState->text(), QStringLiteral("Connection state..."));
        QVERIFY(ui.ip->text().isEmpty() && ui.password->text().isEmpty());

        QVERIFY(portAccepts(cellarPort));
        QCOMPARE(ui.deviceModel()->rowCount(), 1);
        QCOMPARE(ui.deviceTitle->text(), QStringLiteral("Device:%1 [TH sensor]").arg(CELLAR));
        QVERIFY(ui.modbus->isVisible());
        QVERIFY(ui.edit->isEnabled());
        QVERIFY(ui.remove->isEnabled());
        QCOMPARE(ui.registerModel()->rowCount(), 7);
    }

    void addDialogWithoutLogInHasNoTypesToAsk()
    {
        SDialogParts dialog = openAddDialog(window);
        QCOMPARE(dialog.pages->currentIndex(), int(CAbstractDeviceForm::eStatusPage));
        QCOMPARE(dialog.status->text(), QStringLiteral("EMPTY LIST OF\nKNOWN DEVICE TYPES"));
        window->addForm()->reject();
    }

    void statusWalksToSuccessAndOnlyThenSavesLogIn()
    {
        SMainWindowParts ui = parts();
        QVERIFY(connectTo(simulatorPort, QStringLiteral("wrong")));
        QVERIFY(!QFile::exists(SETTINGS_FILE_NAME));

        // The label as the window shows it after each status: a queued receiver
        // connected after the window's runs right after the window's slot.
        QStringList shown;
        const QMetaObject::Connection watching = connect(
            startup->gateway(), &CGateway::serverStatusChanged, this,
            [&] { shown << ui.connectionState->text(); }, Qt::QueuedConnection);
        QSignalSpy icons(window, &MainWindow::setConnectStatusIco);
        QVERIFY(connectTo(simulatorPort, PASSWORD));
        disconnect(watching);
        const QStringList walk = { "DISCONNECTED", "PING WAITING", "AUTH WAITING", "SUCCESS" };
        int at = 0;
        for (const QString &text : shown)
            if (at < walk.size() && text == walk.at(at))
                ++at;
        QVERIFY2(at == walk.size(), qPrintable(shown.join(QLatin1Char(','))));
        QCOMPARE(shown.last(), QStringLiteral("SUCCESS"));
        QVERIFY(!icons.isEmpty());
        QCOMPARE(icons.last().at(0).value<QIcon>().pixmap(16, 16).toImage(),
                 QIcon(QStringLiteral(":/connectionGoodIco.png")).pixmap(16, 16).toImage());

        QVERIFY(QFile::exists(SETTINGS_FILE_NAME));
        QSettings saved(SETTINGS_FILE_NAME, QSettings::IniFormat);
        QCOMPARE(saved.value(QStringLiteral("server/ip")).toString(), QStringLiteral("127.0.0.1"));
        QCOMPARE(saved.value(QStringLiteral("server/port")).toString(), QString::number(simulatorPort));
        QCOMPARE(saved.value(QStringLiteral("server/login")).toString(), LOGIN);
        QCOMPARE(saved.value(QStringLiteral("server/password")).toString(), PASSWORD);
        // It holds the password: the owner's alone.
        const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup
            | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
        QCOMPARE(QFile(SETTINGS_FILE_NAME).permissions() & others, QFileDevice::Permissions());
    }

    void panelTitleFitsBesideTheStatusIcon()
    {
        // After log-in the status icon is the large one.
        CAbstractPanelButton *button = parts().serverPanel;
        auto *title = button->findChild<QLabel *>(QStringLiteral("titleLable"));
        auto *icon = button->findChild<QLabel *>(QStringLiteral("icoLab"));
        QVERIFY(title && icon);
        QCOMPARE(title->text(), QStringLiteral("Server authorization"));
        QApplication::processEvents();
        const int needed = title->fontMetrics().horizontalAdvance(title->text());
        QVERIFY2(needed <= title->contentsRect().width(),
            qPrintable(QStringLiteral("text %1 px, label %2 px").arg(needed).arg(title->contentsRect().width())));
        QVERIFY(!title->geometry().intersects(icon->geometry()));
        QVERIFY(button->rect().contains(icon->geometry()));
    }

    void addDialogTellsEmptyAndRefusedAnswers()
    {
        QVERIFY(writeFile(QStringLiteral("strangers.json"),
                          R"([{"devEui":"70B3D5E75E0000F1","devName":"x","appEui":"0000000000000099"}])"));
        QProcess emptySimulator;
        const quint16 emptyPort = startSimulator(emptySimulator, { QStringLiteral("--devices"),
                                                                   QStringLiteral("strangers.json") });
        QVERIFY(emptyPort);
        QVERIFY(connectTo(emptyPort, PASSWORD));
        SDialogParts dialog = openAddDialog(window);
        QCOMPARE(dialog.status->text(), QStringLiteral("WAITING..."));
        QTRY_COMPARE(dialog.status->text(), QStringLiteral("EMPTY DEVICE LIST\nFROM SERVER"));
        QCOMPARE(dialog.pages->currentIndex(), int(CAbstractDeviceForm::eStatusPage));
        stopProcess(emptySimulator);

        QProcess refusingSimulator;
        const quint16 refusingPort = startSimulator(
            refusingSimulator, { QStringLiteral("--devices"), QStringLiteral("devices.json"),
                                 QStringLiteral("--devices-reply"), QStringLiteral("refuse") });
        QVERIFY(refusingPort);
        QVERIFY(connectTo(refusingPort, PASSWORD));
        QTest::mouseClick(dialog.refresh, Qt::LeftButton);
        QTRY_COMPARE(dialog.status->text(), QStringLiteral("SERVER TIMEOUT"));

        // OK on the status page adds nothing, whatever the fields hold.
        dialog.port->setText(QString::number(sharedPort));
        dialog.startAddress->setText(QStringLiteral("100"));
        const QStringList before = startup->gateway()->registeredDevices();
        QTest::mouseClick(dialog.ok, Qt::LeftButton);
        QVERIFY(window->addForm()->isVisible());
        QCOMPARE(startup->gateway()->registeredDevices(), before);
        stopProcess(refusingSimulator);
        window->addForm()->reject();

        QVERIFY(connectTo(simulatorPort, PASSWORD));
    }

    void addDialogListsNewDevicesOfKnownTypes()
    {
        SDialogParts dialog = openAddDialog(window);
        QTRY_COMPARE(dialog.pages->currentIndex(), int(CAbstractDeviceForm::eDeviceListPage));
        // Not the stranger (no template), not the cellar sensor (stored), in the server's order.
        QCOMPARE(dialog.listedDevEuis(), QStringList({ BOILER, ROOF, PULSE }));
        QCOMPARE(dialog.devices->currentIndex().row(), 0);
        QCOMPARE(dialog.registerModel()->rowCount(), 7);
        QCOMPARE(dialog.registerCell(QStringLiteral("Humidity x0.1"), REG_COL_REG_ADDR).toInt(), HUMIDITY_OFFSET);
        QCOMPARE(dialog.registerCell(QStringLiteral("Humidity x0.1"), REG_COL_GRATING_PERIOD).toInt(), 1);
        QVERIFY(window->addForm()->grab().save(screenshotPath(QStringLiteral("add_device_dialog.png"))));
    }

    void addDialogKeepsEditsWithinOneType()
    {
        SDialogParts dialog(window->addForm());
        // Another type brings its own map; coming back brings the defaults again.
        dialog.editRegister(QStringLiteral("Humidity x0.1"), 9, 9, QStringLiteral("x"));
        dialog.devices->setCurrentIndex(dialog.deviceModel()->index(2, 0));
        QCOMPARE(dialog.registerRow(QStringLiteral("Humidity x0.1")), -1);
        dialog.devices->setCurrentIndex(dialog.deviceModel()->index(0, 0));
        QCOMPARE(dialog.registerCell(QStringLiteral("Humidity x0.1"), REG_COL_GRATING_PERIOD).toInt(), 1);

        dialog.editRegister(QStringLiteral("Humidity x0.1"), 3, 2, QStringLiteral("%"));
        dialog.devices->setCurrentIndex(dialog.deviceModel()->index(1, 0));
        dialog.devices->setCurrentIndex(dialog.deviceModel()->index(0, 0));
        QCOMPARE(dialog.registerCell(QStringLiteral("Humidity x0.1"), REG_COL_START_VALUE).toInt(), 3);
        QCOMPARE(dialog.registerCell(QStringLiteral("Humidity x0.1"), REG_COL_GRATING_PERIOD).toInt(), 2);
        QCOMPARE(dialog.registerCell(QStringLiteral("Humidity x0.1"), REG_COL_UNIT).toString(), QStringLiteral("%"));
    }

    void addDialogMarksUnusableFields_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("startAddress");
        QTest::addColumn<bool>("portMarked");
        QTest::addColumn<bool>("startMarked");
        QTest::newRow("both empty") << "" << "" << true << true;
        QTest::newRow("port empty") << "" << "100" << true << false;
        QTest::newRow("port 0") << "0" << "100" << true << false;
        QTest::newRow("port negative") << "-502" << "100" << true << false;
        QTest::newRow("port above 65535") << "65536" << "100" << true << false;
        QTest::newRow("start empty") << "FREE" << "" << false << true;
        QTest::newRow("start negative") << "FREE" << "-1" << false << true;
        QTest::newRow("start above 65535") << "FREE" << "65536" << false << true;
        // Registers 65528..65536: the last one does not exist.
        QTest::newRow("map beyond 65535") << "FREE" << "65528" << false << true;
    }
    void addDialogMarksUnusableFields()
    {
        QFETCH(QString, port);
        QFETCH(QString, startAddress);
        QFETCH(bool, portMarked);
        QFETCH(bool, startMarked);
        SDialogParts dialog(window->addForm());
        dialog.port->setText(port == QStringLiteral("FREE") ? QString::number(sharedPort) : port);
        dialog.startAddress->setText(startAddress);
        QTest::mouseClick(dialog.ok, Qt::LeftButton);
        QCOMPARE(dialog.portMarker->isVisible(), portMarked);
        QCOMPARE(dialog.startMarker->isVisible(), startMarked);
        QVERIFY(window->addForm()->isVisible());
        QVERIFY(!startup->gateway()->registeredDevices().contains(BOILER));
    }

    void addDialogMarksPortHeldByAnotherListener()
    {
        QTcpServer other;
        QVERIFY(other.listen(QHostAddress::Any, 0));
        SDialogParts dialog(window->addForm());
        dialog.port->setText(QString::number(other.serverPort()));
        dialog.startAddress->setText(QStringLiteral("100"));
        QTest::mouseClick(dialog.ok, Qt::LeftButton);
        QVERIFY(dialog.portMarker->isVisible());
        QCOMPARE(dialog.portMarker->toolTip(),
                 QStringLiteral("Port %1 is busy: another program listens on it").arg(other.serverPort()));
        QVERIFY(!dialog.startMarker->isVisible());
        QVERIFY(window->addForm()->isVisible());
        QVERIFY(!startup->gateway()->registeredDevices().contains(BOILER));
    }

    void addDialogOkStoresEditedDeviceAndServesIt()
    {
        SDialogParts dialog(window->addForm());
        QVERIFY(!portAccepts(sharedPort));
        dialog.port->setText(QString::number(sharedPort));
        dialog.startAddress->setText(QStringLiteral("100"));
        QTest::mouseClick(dialog.ok, Qt::LeftButton);
        QVERIFY(!window->addForm()->isVisible());
        QCOMPARE(window->addForm()->result(), int(QDialog::Accepted));
        QVERIFY(logged(QStringLiteral("INFO: [CGateway::addDevice] device created successfully")));

        const QVariantMap humidity = storedRegister(*startup->gateway(), BOILER, 100 + HUMIDITY_OFFSET);
        QCOMPARE(humidity.value(QStringLiteral("start_value")).toInt(), 3);
        QCOMPARE(humidity.value(QStringLiteral("grating_period")).toInt(), 2);
        QCOMPARE(humidity.value(QStringLiteral("unit")).toString(), QStringLiteral("%"));
        QCOMPARE(humidity.value(QStringLiteral("port")).toInt(), int(sharedPort));
        QVERIFY(portAccepts(sharedPort));

        // The window lists it; by name, "boiler TH" comes first.
        SMainWindowParts ui = parts();
        QTRY_COMPARE(ui.deviceModel()->rowCount(), 2);
        QCOMPARE(ui.deviceModel()->index(0, DEV_COL_DEV_EUI).data().toString(), BOILER);
        QCOMPARE(ui.devices->currentIndex().row(), 0);

        // Uplinks arrive scaled: humidity 600 * 2 + 3 = 1203 = 04b3, temperature 225 = 00e1.
        QTRY_COMPARE_WITH_TIMEOUT(ui.shownFullValue(100 + HUMIDITY_OFFSET).toString(), QStringLiteral("04b3"), 10000);
        QCOMPARE(ui.shownFullValue(100 + TEMPERATURE_OFFSET).toString(), QStringLiteral("00e1"));
    }

    void addSecondDeviceOnTheSamePortAndRunOutOfNewOnes()
    {
        SDialogParts dialog = openAddDialog(window);
        QTRY_COMPARE(dialog.listedDevEuis(), QStringList({ ROOF, PULSE }));
        // The last register of the map lands exactly on 65535.
        dialog.port->setText(QString::number(sharedPort));
        dialog.startAddress->setText(QStringLiteral("65527"));
        QTest::mouseClick(dialog.ok, Qt::LeftButton);
        QVERIFY(!window->addForm()->isVisible());
        QCOMPARE(storedRegister(*startup->gateway(), ROOF, 65535).value(QStringLiteral("name")).toString(), QStringLiteral("Battery"));

        dialog = openAddDialog(window);
        QTRY_COMPARE(dialog.listedDevEuis(), QStringList({ PULSE }));
        dialog.port->setText(QString::number(sharedPort));
        dialog.startAddress->setText(QStringLiteral("300"));
        QTest::mouseClick(dialog.ok, Qt::LeftButton);
        QVERIFY(!window->addForm()->isVisible());

        dialog = openAddDialog(window);
        QTRY_COMPARE(dialog.status->text(), QStringLiteral("NOT NEW DEVICES\nALL DEVICES ALREADY REGISTERED"));
        QCOMPARE(dialog.pages->currentIndex(), int(CAbstractDeviceForm::eStatusPage));
        window->addForm()->reject();
        QTRY_COMPARE(parts().deviceModel()->rowCount(), 4);
    }

    void mainWindowShowsLiveValues()
    {
        QVERIFY(selectInWindow(window, BOILER));
        SMainWindowParts ui = parts();
        ui.serverPanel->setChecked(true);
        QTRY_VERIFY_WITH_TIMEOUT(ui.shownFullValue(100 + TEMPERATURE_OFFSET).toString() == QStringLiteral("00e1"),
                                 10000);
        QCOMPARE(ui.deviceTitle->text(), QStringLiteral("Device:%1 [TH sensor]").arg(BOILER));
        // An uplink naming the device in the other letter case refreshes it too.
        QSignalSpy reread(ui.registerModel(), &QAbstractItemModel::modelReset);
        window->findChild<CRegisterPanel *>()->refreshDevice(BOILER.toLower());
        QVERIFY(!reread.isEmpty());
        QApplication::processEvents();
        QVERIFY(window->grab().save(screenshotPath(QStringLiteral("main_window.png"))));
    }

    // The Trend button opens the selected device's trend; it gains points as its uplinks arrive.
    void trendButtonOpensTheSelectedDevicesTrend()
    {
        QVERIFY(selectInWindow(window, BOILER));
        QPushButton *trendButton = nullptr;
        for (QPushButton *button : window->findChildren<QPushButton *>()) {
            if (button->text() == QLatin1String("Trend"))
                trendButton = button;
        }
        QVERIFY(trendButton && trendButton->isEnabled());
        trendButton->click();
        QList<CTrendWindow *> trends = window->findChildren<CTrendWindow *>();
        QCOMPARE(trends.size(), 1);
        CTrendWindow *trend = trends.first();
        QCOMPARE(trend->devEui(), BOILER);
        QTRY_VERIFY_WITH_TIMEOUT(trend->pointCount() > 0, 10000);
        QCOMPARE(trend->axisTitle(), QStringLiteral("Temperature x0.1"));
        const int before = trend->pointCount();
        QTRY_VERIFY_WITH_TIMEOUT(trend->pointCount() > before, 10000);
        // A second press raises the open one.
        trendButton->click();
        QCOMPARE(window->findChildren<CTrendWindow *>().size(), 1);
        trend->close();
        QTRY_VERIFY(window->findChildren<CTrendWindow *>().isEmpty());
    }

    void editDialogMultiplierScalesTheNextUplink()
    {
        QVERIFY(selectInWindow(window, BOILER));
        SMainWindowParts ui = parts();
        CEditDeviceForm *form = window->editForm();
        bool checked = false;
        QTimer::singleShot(0, form, [&] {
            SDialogParts dialog(form);
            checked = QApplication::activeModalWidget() == form && dialog.port->text() == QString::number(sharedPort)
                && !dialog.port->isEnabled() && dialog.startAddress->text() == QStringLiteral("100")
                && !dialog.startAddress->isEnabled() && dialog.registerModel()->rowCount() == 7
                && dialog.registerCell(QStringLiteral("Humidity x0.1"), REG_COL_GRATING_PERIOD).toInt() == 2;
            dialog.editRegister(QStringLiteral("Temperature x0.1"), 0, 10, QStringLiteral("dC"));
            form->grab().save(screenshotPath(QStringLiteral("edit_device_dialog.png")));
            QTest::mouseClick(dialog.ok, Qt::LeftButton);
        });
        QTest::mouseClick(ui.edit, Qt::LeftButton);
        QVERIFY(checked);
        QCOMPARE(form->result(), int(QDialog::Accepted));
        QVERIFY(logged(QStringLiteral("INFO: [CEditDeviceForm::updateDeviceSlot] device's register update successfully")));
        QCOMPARE(storedRegister(*startup->gateway(), BOILER, 100 + TEMPERATURE_OFFSET).value(QStringLiteral("grating_period")).toInt(), 10);
        // Temperature 225 * 10 = 2250 = 08ca; the humidity parameters stay.
        QTRY_COMPARE_WITH_TIMEOUT(parts().shownFullValue(100 + TEMPERATURE_OFFSET).toString(), QStringLiteral("08ca"),
                                  10000);
        QCOMPARE(parts().shownFullValue(100 + HUMIDITY_OFFSET).toString(), QStringLiteral("04b3"));
    }

    void editDialogReportsFailedUpdateAndStaysOpen()
    {
        QVERIFY(selectInWindow(window, BOILER));
        CEditDeviceForm *form = window->editForm();
        notices.clear();
        bool stayedOpen = false;
        QTimer::singleShot(0, form, [&] {
            SDialogParts dialog(form);
            dialog.editRegister(QStringLiteral("Temperature x0.1"), 0, 20, QStringLiteral("dC"));
            dialog.editRegister(QStringLiteral("Humidity x0.1"), 0, 1, QString());
            {
                // Another writer holds the file for longer than the store waits.
                QSqlDatabase locker = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("locker"));
                locker.setDatabaseName(DB_FILE_NAME);
                QVERIFY(locker.open());
                QSqlQuery lock(locker);
                QVERIFY(lock.exec(QStringLiteral("BEGIN EXCLUSIVE;")));
                QTest::mouseClick(dialog.ok, Qt::LeftButton);
                QVERIFY(lock.exec(QStringLiteral("ROLLBACK;")));
                locker.close();
            }
            QSqlDatabase::removeDatabase(QStringLiteral("locker"));
            stayedOpen = form->isVisible();
            QTest::mouseClick(dialog.cancel, Qt::LeftButton);
        });
        QTest::mouseClick(parts().edit, Qt::LeftButton);
        QVERIFY(stayedOpen);
        QCOMPARE(form->result(), int(QDialog::Rejected));
        QVERIFY(logged(QStringLiteral("ERROR: [CGateway::editDevice]")));
        QCOMPARE(notices.size(), 1);
        QCOMPARE(notices.first().icon, QMessageBox::Critical);
        // Nothing of the failed OK reached the store.
        QCOMPARE(storedRegister(*startup->gateway(), BOILER, 100 + TEMPERATURE_OFFSET).value(QStringLiteral("grating_period")).toInt(), 10);
        QCOMPARE(storedRegister(*startup->gateway(), BOILER, 100 + HUMIDITY_OFFSET).value(QStringLiteral("grating_period")).toInt(), 2);
    }

    void deleteAsksFirstThenRemovesRowsAndFreesThePort()
    {
        QVERIFY(selectInWindow(window, BOILER));
        SMainWindowParts ui = parts();
        const uint32_t boilerId = storedDeviceId(*startup->gateway(), BOILER);
        confirmations.clear();
        confirmAnswer = false;
        QTest::mouseClick(ui.remove, Qt::LeftButton);
        QCOMPARE(confirmations.size(), 1);
        QVERIFY(confirmations.first().contains(QStringLiteral("boiler TH")));
        QVERIFY(confirmations.first().contains(BOILER));
        QCOMPARE(ui.deviceModel()->rowCount(), 4);
        QVERIFY(storedDeviceId(*startup->gateway(), BOILER) != 0);

        confirmAnswer = true;
        QTest::mouseClick(ui.remove, Qt::LeftButton);
        QCOMPARE(ui.deviceModel()->rowCount(), 3);
        QCOMPARE(storedDeviceId(*startup->gateway(), BOILER), 0u);
        QVERIFY(rowsOf(startup->gateway()->registers(boilerId)).isEmpty());
        // Two devices still share the port.
        QVERIFY(portAccepts(sharedPort));

        for (const QString &devEui : { ROOF, PULSE }) {
            QVERIFY(selectInWindow(window, devEui));
            QTest::mouseClick(ui.remove, Qt::LeftButton);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!portAccepts(sharedPort), 5000);
        QVERIFY(portAccepts(cellarPort));

        QVERIFY(selectInWindow(window, CELLAR));
        QTest::mouseClick(ui.remove, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!portAccepts(cellarPort), 5000);
        QCOMPARE(ui.deviceModel()->rowCount(), 0);
        QCOMPARE(ui.deviceTitle->text(), QStringLiteral("Device [UNKNOWN]"));
        QVERIFY(!ui.modbus->isVisible());
        QCOMPARE(ui.registerModel()->rowCount(), 0);
        QVERIFY(!ui.edit->isEnabled());
        QVERIFY(!ui.remove->isEnabled());
    }

    void exitStopsTheStoreThread()
    {
        QThread *storeThread = startup->gateway()->storeThread();
        QVERIFY(storeThread != QThread::currentThread());
        QVERIFY(storeThread->isRunning());
        QSignalSpy finished(storeThread, &QThread::finished);
        startup.reset();
        QCOMPARE(finished.size(), 1);
    }
};

QTEST_MAIN(TestGateway)
#include "tst_gateway.moc"
