#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "app/clogfile.h"
#include "app/globaltables.h"
#include "devices/calldevicehandler.h"
#include "modbustestsupport.h"
#include "storetestsupport.h"
#include "testworkdir.h"

// The register store could not open its file: uplinks are logged and dropped, nothing crashes.
class TestHandler : public CAllDeviceHandler
{
public:
    TestHandler() = default;
};

class TestRegistryNoStore : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir dir;

private slots:
    void initTestCase()
    {
        QVERIFY(dir.enter());
        // A directory where the database file should be.
        QVERIFY(QDir().mkpath(QStringLiteral("server.db")));
    }

    void uplinkIsDroppedWithALogLine()
    {
        QTest::ignoreMessage(QtDebugMsg, "[CAllDeviceHandler::init] Dirrectory with device signature is not existed");
        TestHandler handler;
        DB::SDeviceRegMapDescription device;
        device.devEui = QStringLiteral("70B3D5E75F600001");
        device.appEui = QStringLiteral("0A0B0C0D01020304");
        handler.addNewDevice(device, ModbusTest::freePort());

        QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        QSignalSpy data(&handler, &CAllDeviceHandler::newDataForDevice);
        QTest::ignoreMessage(
            QtDebugMsg, QRegularExpression("^CRITICAL_ERROR! Data base hasn't been created/opened!.*"));
        API::SApiDeviceData uplink;
        uplink.devEui = device.devEui;
        uplink.data = QByteArray::fromHex("0145230100");
        handler.newPacketReceivedSlot(uplink);
        QCOMPARE(data.size(), 0);
        QVERIFY(StoreTest::logged(log,
            QStringLiteral("ERROR: [CAllDeviceHandler::processDataSlot] Register store is "
                           "not running, uplink of [70B3D5E75F600001] dropped")));
    }
};

QTEST_GUILESS_MAIN(TestRegistryNoStore)
#include "tst_registrynostore.moc"
