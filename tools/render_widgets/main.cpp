// Renders every custom widget offscreen, with the application style sheet and
// sample data, to PNG files: render_widgets <output directory>. The main window is the
// real gateway logged in to the simulator, with the demo's devices and one of their
// readings.

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QListView>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTextStream>

#include "app/clogfile.h"
#include "app/constants.h"
#include "app/csettings.h"
#include "app/globaltables.h"
#include "gateway/cgateway.h"
#include "ui/cabstractpanelbutton.h"
#include "ui/cdevicedelegat.h"
#include "ui/cgatewaystartup.h"
#include "ui/clogowidget.h"
#include "ui/cregisterdelegat.h"
#include "ui/csearcheditwidget.h"
#include "ui/csimpleregisterdelegat.h"
#include "ui/mainwindow.h"
#include "ui/theme.h"

namespace {

bool writeTemplate(const QString &name, const QByteArray &appEui, const QByteArray &type, const QByteArray &colour)
{
    QFile file(QStringLiteral("deviceFolder/") + name);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray json = "{ \"app_eui\": \"" + appEui + "\", \"dev_type\": \"" + type + "\", \"color\": \"" + colour
        + R"(", "device_packets": [ { "packet_type": 1, "packet_size": 3, "packet_fields": [ { "packet_bias": 1,
        "data_bit_bias": 0, "data_bit_size": 16, "data_type": "integer", "reg_map_bias": 0, "reg_bit_bias": 0,
        "reg_bit_size": 16, "data_name": "T" } ] } ] })";
    return file.write(json) == json.size();
}

bool save(QWidget &widget, const QDir &out, const QString &name)
{
    widget.show();
    QApplication::processEvents();
    const bool saved = widget.grab().save(out.filePath(name));
    QTextStream(stdout) << (saved ? "wrote " : "FAILED ") << out.filePath(name) << "\n";
    return saved;
}

void setRow(QStandardItemModel &model, int row, const QList<QVariant> &values)
{
    for (int column = 0; column < values.size(); ++column)
        model.setData(model.index(row, column), values.at(column));
}

QListView *listOf(QAbstractItemModel *model, QAbstractItemDelegate *delegate, int selectedRow)
{
    auto *view = new QListView();
    view->setModel(model);
    view->setItemDelegate(delegate);
    view->setSpacing(2);
    view->setCurrentIndex(model->index(selectedRow, 0));
    return view;
}

// The demo's devices, each sending always the same one of its readings: the boiler room
// 22.4 °C, 44.1 % and 3012 mV, as the README's Modbus example reads them.
bool writeSimulatorDevices(const QString &_path)
{
    QFile demo(QStringLiteral(KELVARA_SOURCE_DIR "/examples/demo-devices.json"));
    if (!demo.open(QIODevice::ReadOnly))
        return false;
    QJsonArray devices = QJsonDocument::fromJson(demo.readAll()).array();
    for (int i = 0; i < devices.size(); ++i) {
        QJsonObject device = devices.at(i).toObject();
        const QJsonArray payloads = device.take(QStringLiteral("payloads")).toArray();
        if (!payloads.isEmpty())
            device.insert(QStringLiteral("payload"), payloads.at(3 % payloads.size()));
        devices.replace(i, device);
    }
    QFile file(_path);
    const QByteArray json = QJsonDocument(devices).toJson();
    return !devices.isEmpty() && file.open(QIODevice::WriteOnly) && file.write(json) == json.size();
}

// A demo device as the quick start adds it, with units on its registers.
bool registerDevice(CGateway &_gateway, const QString &_devEui, const QString &_appEui, const QString &_name,
                    quint16 _port)
{
    const QMap<QString, QString> units { { "RSSI", "dBm" }, { "SNR", "dB" }, { "Temperature x0.1", "0.1 °C" },
        { "Humidity x0.1", "0.1 %" }, { "Battery", "mV" } };
    DB::SDeviceRegMapDescription device;
    device.devEui = _devEui;
    device.appEui = _appEui;
    device.name = _name;
    device.registers = _gateway.regMap(_appEui).registers;
    for (SRegisterDescription &reg : device.registers)
        reg.unit = units.value(reg.name);
    return !device.registers.isEmpty() && _gateway.addDevice(device, _port).ok();
}

// Runs the event loop until _done or _ms have passed.
template <typename Done> bool waitFor(Done _done, int _ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!_done() && timer.elapsed() < _ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return _done();
}

// The gateway's window on the demo: main_window.png with the log-in panel open,
// left_panel.png its left column, quick_start.png with the panel closed.
bool renderMainWindow(const QDir &_out)
{
    QProcess simulator;
    simulator.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    simulator.start(QStringLiteral(KELVARA_NETSIM),
        { "--port", "0", "--login", "demo", "--password", "kelvara", "--devices", "netsim-devices.json", "--rate", "10",
            "--duration", "60" });
    if (!writeSimulatorDevices(QStringLiteral("netsim-devices.json")) || !simulator.waitForStarted(5000)
        || !waitFor([&] { return simulator.canReadLine(); }, 5000)) {
        QTextStream(stderr) << "the simulator " KELVARA_NETSIM " did not start\n";
        return false;
    }
    const QString port = QRegularExpression(QStringLiteral("listening on port (\\d+)"))
                             .match(QString::fromUtf8(simulator.readLine()))
                             .captured(1);
    QFile settings(SETTINGS_FILE_NAME);
    if (port.isEmpty() || !settings.open(QIODevice::WriteOnly)
        || settings.write(
               QStringLiteral("[server]\nip=127.0.0.1\nport=%1\nlogin=demo\npassword=kelvara\n").arg(port).toUtf8())
            < 0)
        return false;
    settings.close();
    CSettings::getInstance(SETTINGS_FILE_NAME);
    CGatewayStartup startup;
    if (!startup.start())
        return false;
    CGateway &gateway = *startup.gateway();
    if (!registerDevice(gateway, "4B454C5600000001", "4B454C5641524101", "Boiler room climate", 1502)
        || !registerDevice(gateway, "4B454C5600000004", "4B454C5641524103", "Compressor status", 1503)
        || !registerDevice(gateway, "4B454C5600000003", "4B454C5641524102", "Water meter", 1504))
        return false;
    MainWindow *window = startup.window();
    window->show();
    // Every device has sent once: the frame counters (offsets 4 and 5) are no longer 0.
    const bool arrived = waitFor(
        [&] {
            for (int modbusPort : { 1502, 1503, 1504 })
                if (gateway.registerWords(modbusPort, 5, 1).value(5) == 0)
                    return false;
            return true;
        },
        15000);
    if (!arrived) {
        QTextStream(stderr) << "no uplinks arrived from the simulator\n";
        return false;
    }
    waitFor([] { return false; }, 300);

    auto *button = window->findChild<CAbstractPanelButton *>();
    auto *logo = window->findChild<CLogoWidget *>();
    if (!button || !logo)
        return false;
    bool ok = true;
    button->setChecked(true);
    waitFor([] { return false; }, 100);
    ok &= save(*window, _out, "main_window.png");
    const QRect column = logo->geometry().united(button->geometry().translated(button->parentWidget()->pos()));
    const bool saved
        = window->centralWidget()->grab(column.adjusted(0, 0, 0, 10)).save(_out.filePath("left_panel.png"));
    QTextStream(stdout) << (saved ? "wrote " : "FAILED ") << _out.filePath("left_panel.png") << "\n";
    ok &= saved;
    button->setChecked(false);
    waitFor([] { return false; }, 100);
    ok &= save(*window, _out, "quick_start.png");
    // Before the window goes, so it does not show the simulator leaving.
    simulator.terminate();
    simulator.waitForFinished(5000);
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    if (argc != 2) {
        QTextStream(stderr) << "usage: render_widgets <output directory>\n";
        return 2;
    }
    const QDir out(QDir::current().absoluteFilePath(QString::fromLocal8Bit(argv[1])));
    if (!QDir().mkpath(out.path()))
        return 1;

    application.setStyleSheet(loadThemeStyleSheet());
    fillGlobalTables();
    loadThemeIcons();
    QTemporaryDir work;
    if (!work.isValid() || !QDir::setCurrent(work.path()) || !QDir().mkpath(QStringLiteral("deviceFolder")))
        return 1;
    CLogFile::getInstance(QStringLiteral("history.log"));
    if (!writeTemplate("meter.json", "0a0b0c0d01020304", "Pulse meter", "#8db4d9")
        || !writeTemplate("thermo.json", "1122334455667788", "Thermometer", "#fbb878"))
        return 1;
    for (const char *name : { "th-sensor.json", "pulse-counter.json", "status-reporter.json" })
        if (!QFile::copy(QStringLiteral(KELVARA_SOURCE_DIR "/examples/") + QLatin1String(name),
                QStringLiteral("deviceFolder/") + QLatin1String(name)))
            return 1;
    CGateway gateway(SGatewayConfig {});
    QString error;
    if (!gateway.start(&error))
        return 1;

    bool ok = true;

    QStandardItemModel devices(4, 6);
    setRow(devices, 0, { 1, "Temp sensor 1", "1122334455667788", "70B3D5E75E001A2B", 502, 100 });
    setRow(devices, 1, { 2, "Pulse meter boiler room", "0A0B0C0D01020304", "70B3D5E75E001A2C", 502, 200 });
    setRow(devices, 2, { 3, "Room TEMPERATURE", "1122334455667788", "70B3D5E75E001A2D", 503, 100 });
    setRow(devices, 3, { 4, "Water meter", "0A0B0C0D01020304", "70B3D5E75E001A2E", 503, 300 });
    CDeviceDelegat deviceDelegate(&gateway, nullptr);
    QScopedPointer<QListView> deviceList(listOf(&devices, &deviceDelegate, 1));
    deviceList->resize(300, 140);
    ok &= save(*deviceList, out, "device_list.png");

    const qint64 received = QDateTime(QDate(2024, 3, 5), QTime(14, 7, 31)).toMSecsSinceEpoch();
    QStandardItemModel registers(6, 14);
    // device, port, reg_addr, start_value, grating_period, bit_size, data_type, value, full_value, time, name, unit,
    // parent, source
    setRow(registers, 0, { "D1", 502, 100, 0, 1, 32, "uinteger", "6553", "65e72fcb", received, "Time", "", 0, 0 });
    setRow(registers, 1, { "D1", 502, 102, 0, 1, 16, "integer", "ff9c", "ff9c", received, "RSSI", "dBm", 0, 0 });
    setRow(registers, 2, { "D1", 502, 103, 0, 10, 32, "uinteger", "000b", "000b60b7", received, "Counter", "m³", 0, 1 });
    setRow(registers, 3, { "D1", 502, 105, 5, 1, 16, "integer", "fff4", "fff4", received, "Temperature", "°C", 0, 1 });
    setRow(registers, 4, { "D1", 502, 106, 0, 1, 64, "text", "70B3", "70B3D5E75E001A2B", received, "DevEUI", "", 0, 0 });
    setRow(registers, 5, { "D1", 502, 110, 0, 1, 16, "integer", QVariant(), QVariant(), 0, "Battery", "mV", 0, 1 });
    CRegisterDelegat registerDelegate;
    QScopedPointer<QListView> registerList(listOf(&registers, &registerDelegate, 2));
    registerList->resize(420, 270);
    ok &= save(*registerList, out, "register_view.png");

    CSimpleRegisterDelegat parameterDelegate(nullptr);
    QScopedPointer<QListView> parameterList(listOf(&registers, &parameterDelegate, 3));
    parameterList->resize(420, 430);
    ok &= save(*parameterList, out, "register_parameters.png");

    // The editor as it opens over its row.
    parameterList->openPersistentEditor(registers.index(3, 0));
    ok &= save(*parameterList, out, "register_editor.png");

    CSearchEditWidget search;
    search.setText(QStringLiteral("temp"));
    search.resize(300, 30);
    search.findChild<QLineEdit *>()->deselect();
    ok &= save(search, out, "search_box.png");

    CAbstractPanelButton closedButton(QStringLiteral("Server"), QIcon(QStringLiteral(":/connectionFailIco.png")));
    closedButton.resize(220, 45);
    ok &= save(closedButton, out, "panel_button.png");

    CLogoWidget logoAlone;
    logoAlone.resize(logoAlone.sizeHint());
    ok &= save(logoAlone, out, "logo.png");

    ok &= renderMainWindow(out);

    return ok ? 0 : 1;
}
