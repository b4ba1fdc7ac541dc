#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "app/clogfile.h"
#include "app/globaltables.h"
#include "server/cserverhandler.h"
#include "testworkdir.h"

// The network-server simulator driven as a separate program, with the
// gateway's own server link as its client.
class TestNetSim : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir dir;

    static QString program() { return QStringLiteral(KELVARA_BINARY_DIR "/tools/netsim/kelvara-netsim"); }

    bool writeFile(const QString &_name, const QByteArray &_content)
    {
        QFile file(dir.filePath(_name));
        return file.open(QIODevice::WriteOnly) && file.write(_content) == _content.size();
    }

    // Starts the simulator and returns the port it prints, 0 on failure.
    static quint16 startSimulator(QProcess &_process, const QStringList &_arguments)
    {
        _process.start(program(), _arguments);
        if (!_process.waitForStarted(5000))
            return 0;
        for (int i = 0; i < 50 && !_process.canReadLine(); ++i)
            _process.waitForReadyRead(100);
        const QString line = QString::fromUtf8(_process.readLine()).trimmed();
        const QRegularExpressionMatch match
            = QRegularExpression(QStringLiteral("^listening on port (\\d+)$")).match(line);
        return match.hasMatch() ? static_cast<quint16>(match.captured(1).toUInt()) : 0;
    }

    static bool waitForSuccess(QSignalSpy &_statusSpy)
    {
        return QTest::qWaitFor(
            [&_statusSpy] {
                return !_statusSpy.isEmpty() && _statusSpy.last().at(0).value<COMM::EServerStatus>() == COMM::eSuccess;
            },
            5000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.enter());
        QVERIFY(QFile::exists(program()));
        QVERIFY(writeFile(QStringLiteral("devices.json"),
            "[{\"devEui\":\"70b3d5e75e000001\",\"devName\":\"pump 1\",\"appEui\":\"70B3D5E75E0000A0\","
            "\"payload\":\"0102a0ff\",\"port\":3},"
            "{\"devEui\":\"70B3D5E75E000002\",\"devName\":\"meter\",\"appEui\":\"70B3D5E75E0000B0\"},"
            "{\"devEui\":\"70B3D5E75E000003\",\"devName\":\"pump 2\",\"appEui\":\"70B3D5E75E0000A0\","
            "\"payloads\":[\"aa\",\"bbcc\"]}]"));
    }

    void helpDescribesOptions()
    {
        QProcess process;
        process.start(program(), { QStringLiteral("--help") });
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 0);
        const QString help = QString::fromUtf8(process.readAllStandardOutput());
        for (const char *word : { "--port", "--devices", "--scenario", "--rate", "--duration", "--ping-delay",
                 "--devices-reply", "Devices file:", "Scenario file:" })
            QVERIFY2(help.contains(QLatin1String(word)), word);
    }

    void badInputIsRefused_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("complaint");
        QTest::newRow("unknown reply mode") << QStringList { "--devices-reply", "sometimes" } << "--devices-reply";
        QTest::newRow("missing devices file") << QStringList { "--devices", "absent.json" } << "absent.json";
        QTest::newRow("negative rate") << QStringList { "--rate", "-1" } << "--rate";
    }
    void badInputIsRefused()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, complaint);
        QProcess process;
        process.start(program(), arguments);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 2);
        QVERIFY(QString::fromUtf8(process.readAllStandardError()).contains(complaint));
    }

    void loginListAndGeneratedUplinks()
    {
        QProcess process;
        const quint16 port = startSimulator(process,
            { "--login", "op", "--password", "pw", "--devices", dir.filePath("devices.json"), "--rate", "30",
                "--payload-size", "4", "--duration", "1" });
        QVERIFY(port != 0);

        CServerHandler handler;
        QSignalSpy statusSpy(&handler, &CServerHandler::changeServerStatus);
        QSignalSpy listSpy(&handler, &CServerHandler::getDevicesListResp);
        QSignalSpy packetSpy(&handler, &CServerHandler::newPacketReceived);
        handler.connectSlot(QStringLiteral("ws://127.0.0.1:%1").arg(port), QStringLiteral("op"), QStringLiteral("pw"));
        QVERIFY(waitForSuccess(statusSpy));

        QVERIFY(handler.getDevicesList({ QStringLiteral("70B3D5E75E0000A0") }));
        QVERIFY(listSpy.wait(5000));
        QCOMPARE(listSpy.at(0).at(0).toBool(), true);
        const auto devices = listSpy.at(0).at(1).value<QList<API::SServerDeviceInfo>>();
        QCOMPARE(devices.size(), 2);
        QCOMPARE(devices.at(0).devEui, QStringLiteral("70b3d5e75e000001"));
        QCOMPARE(devices.at(0).devName, QStringLiteral("pump 1"));
        QCOMPARE(devices.at(0).appEui, QStringLiteral("70B3D5E75E0000A0"));
        QCOMPARE(devices.at(1).devEui, QStringLiteral("70B3D5E75E000003"));

        QTRY_VERIFY_WITH_TIMEOUT(packetSpy.count() >= 6, 5000);
        QHash<QString, quint32> lastFcnt;
        for (int i = 0; i < 6; ++i) {
            const auto packet = packetSpy.at(i).at(0).value<API::SApiDeviceData>();
            const QString expectedEui = QStringLiteral("70B3D5E75E00000%1").arg(i % 3 + 1);
            QCOMPARE(packet.devEui, expectedEui);
            QCOMPARE(packet.gatewayId, QStringLiteral("00800000A0001234"));
            QCOMPARE(packet.fcnt, lastFcnt.value(expectedEui) + 1);
            lastFcnt[expectedEui] = packet.fcnt;
            if (i % 3 == 0) {
                QCOMPARE(packet.data, QByteArray("\x01\x02\xa0\xff", 4));
                QCOMPARE(int(packet.port), 3);
            } else if (i % 3 == 2) {
                // Its payloads in turn.
                QCOMPARE(packet.data, i == 2 ? QByteArray("\xaa", 1) : QByteArray("\xbb\xcc", 2));
            } else {
                QCOMPARE(packet.data.size(), 4);
                QCOMPARE(int(packet.port), 2);
            }
            QVERIFY(packet.ts > 1600000000000ULL);
        }

        // It stops by itself and says how much it sent.
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(QString::fromUtf8(process.readAllStandardOutput()).contains(QStringLiteral("uplinks sent")));
        QTRY_COMPARE(statusSpy.last().at(0).value<COMM::EServerStatus>(), COMM::eDisconnected);
    }

    void scenarioStepsOverrideUplinks()
    {
        QVERIFY(writeFile(QStringLiteral("scenario.json"),
            "[{\"delay\":0,\"devEui\":\"70b3d5e75e000001\",\"data\":\"0a0b\",\"fcnt\":77},"
            "{\"delay\":50,\"devEui\":\"70b3d5e75e000002\",\"type\":\"JOIN_REQ\"},"
            "{\"delay\":50,\"devEui\":\"70b3d5e75e000002\",\"port\":9,\"rssi\":-120}]"));
        QProcess process;
        const quint16 port = startSimulator(process,
            { "--devices", dir.filePath("devices.json"), "--scenario", dir.filePath("scenario.json"), "--duration",
                "5" });
        QVERIFY(port != 0);
        CServerHandler handler;
        QSignalSpy statusSpy(&handler, &CServerHandler::changeServerStatus);
        QSignalSpy packetSpy(&handler, &CServerHandler::newPacketReceived);
        QTest::ignoreMessage(QtDebugMsg, "[SApiDeviceData] Not UPLINK message");
        handler.connectSlot(
            QStringLiteral("ws://127.0.0.1:%1").arg(port), QStringLiteral("admin"), QStringLiteral("admin"));
        QVERIFY(waitForSuccess(statusSpy));
        QTRY_COMPARE(packetSpy.count(), 2);
        const auto first = packetSpy.at(0).at(0).value<API::SApiDeviceData>();
        const auto second = packetSpy.at(1).at(0).value<API::SApiDeviceData>();
        QCOMPARE(first.fcnt, quint32(77));
        QCOMPARE(first.data, QByteArray("\x0a\x0b"));
        QCOMPARE(second.devEui, QStringLiteral("70B3D5E75E000002"));
        QCOMPARE(int(second.port), 9);
        QCOMPARE(int(second.rssi), -120);
        process.kill();
        QVERIFY(process.waitForFinished(5000));
    }
};

QTEST_GUILESS_MAIN(TestNetSim)
#include "tst_netsim.moc"
