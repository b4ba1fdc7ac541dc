#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "app/clogfile.h"
#include "app/globaltables.h"
#include "modbus/cdevicehandler.h"
#include "store/cdatabasehandler.h"
#include "modbustestsupport.h"
#include "storetestsupport.h"
#include "testworkdir.h"

using namespace ModbusTest;

// The store cannot open "server.db": no instance, and the Modbus service still answers.
class TestStoreUnavailable : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir dir;

private slots:
    void initTestCase()
    {
        QVERIFY(dir.enter());
        // A directory where the database file should be.
        QVERIFY(QDir().mkpath(QStringLiteral("broken/server.db")));
        QVERIFY(QDir::setCurrent(dir.filePath(QStringLiteral("broken"))));
    }


    void noInstanceWhenDatabaseCannotOpen()
    {
        QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        QTest::ignoreMessage(QtDebugMsg,
                             QRegularExpression("^CRITICAL_ERROR! Data base hasn't been created/opened! Error_text\\[.*"
                                                "\\]. DataBaseHandler is not running!$"));
        QVERIFY(!CDataBaseHandler::getInstance());
        QCOMPARE(log.size(), 1);
        QVERIFY(log.at(0).at(0).toString().contains("CRITICAL_ERROR! Data base hasn't been created/opened!"));
    }

    void modbusAnswersDeviceFailure()
    {
        CModbusConnections connections{SModbusLimits()};
        std::unique_ptr<CDeviceHandler> server = startServer(connections);
        QVERIFY(server->isListening());
        QTcpSocket client;
        QVERIFY(connectClient(client, server->getPort()));
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^CRITICAL_ERROR! .*"));
        QVERIFY(client.write(hex("0001 0000 0006 01 03 0000 0002")) == 12);
        QCOMPARE(readExactly(client, 9).toHex(), hex("0001 0000 0003 01 83 04").toHex());
        // Unsupported functions do not need the store.
        QVERIFY(client.write(hex("0002 0000 0006 01 06 0000 0002")) == 12);
        QCOMPARE(readExactly(client, 9).toHex(), hex("0002 0000 0003 01 86 01").toHex());
    }

    void nextCallOpensOnceTheFileCanBeMade()
    {
        QVERIFY(QDir::setCurrent(dir.path()));
        CDataBaseHandler *store = CDataBaseHandler::getInstance();
        QVERIFY(store);
        QVERIFY(QFile::exists(QStringLiteral("server.db")));
        QCOMPARE(StoreTest::peerColumn("SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE "
                                       "'sqlite%' ORDER BY name;"),
                 QVariantList({"dev_data", "devices"}));
        QCOMPARE(StoreTest::peerCount("SELECT COUNT(*) FROM devices;"), 0);
        QCOMPARE(StoreTest::peerCount("SELECT COUNT(*) FROM dev_data;"), 0);
        QSqlDatabase::database(QStringLiteral("peer")).close();
    }
};

QTEST_GUILESS_MAIN(TestStoreUnavailable)
#include "tst_storeunavailable.moc"
