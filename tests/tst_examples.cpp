#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include "devices/devicetemplate.h"
#include "testworkdir.h"

// The sample templates shipped for newcomers must load and keep their
// documented register maps.
class TestExamples : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir dir;
    const QString examples = QStringLiteral(KELVARA_SOURCE_DIR "/examples");

private slots:
    void initTestCase() { QVERIFY(dir.enter()); }

    void registerMaps_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("appEui");
        QTest::addColumn<QStringList>("layout");
        const QStringList server = {"Received at@0/32", "RSSI@2/16", "SNR@3/16", "Frame counter@4/32"};
        QTest::newRow("temperature and humidity") << "th-sensor.json" << "4B454C5641524101"
            << server + QStringList{"Temperature x0.1@6/16", "Humidity x0.1@7/16", "Battery@8/16"};
        QTest::newRow("pulse counter") << "pulse-counter.json" << "4B454C5641524102"
            << server + QStringList{"Pulses since last@6/32", "Total pulses@8/64"};
        QTest::newRow("status reporter") << "status-reporter.json" << "4B454C5641524103"
            << server + QStringList{"State@6/16", "Error code@7/16", "Serial number@8/32"};
    }
    void registerMaps()
    {
        QFETCH(QString, file);
        QFETCH(QString, appEui);
        QFETCH(QStringList, layout);
        const SDeviceTemplate deviceTemplate = loadTemplateFile(examples, file);
        QVERIFY(deviceTemplate.valid);
        QCOMPARE(deviceTemplate.appEui, appEui);
        QStringList actual;
        const SDeviceRegMap map = regMapOfTemplate(deviceTemplate);
        // Server values come first in keyword order; list them in address order.
        QList<SRegisterDescription> registers = map.registers;
        std::sort(registers.begin(), registers.end(),
                  [](const SRegisterDescription &a, const SRegisterDescription &b) { return a.offset < b.offset; });
        for (const SRegisterDescription &description : registers)
            actual << QStringLiteral("%1@%2/%3").arg(description.name).arg(description.offset).arg(description.bitSize);
        QCOMPARE(actual, layout);
        // Every packet field lies inside its packet.
        for (const SDevicePacket &packet : deviceTemplate.packets)
            for (const SDevicePacketField &field : packet.fields)
                QVERIFY(field.packetBias + field.dataBitSize / 8 <= packet.packetSize);
    }

    // Every payload the demo's simulator sends must decode with its device's template.
    void demoPayloadsFitTheirTemplates()
    {
        QMap<QString, SDeviceTemplate> templates;
        for (const char *file : {"th-sensor.json", "pulse-counter.json", "status-reporter.json"}) {
            const SDeviceTemplate deviceTemplate = loadTemplateFile(examples, QString::fromLatin1(file));
            templates.insert(deviceTemplate.appEui, deviceTemplate);
        }
        QFile file(examples + QStringLiteral("/demo-devices.json"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonArray devices = QJsonDocument::fromJson(file.readAll()).array();
        int checked = 0;
        for (const QJsonValue &device : devices) {
            const QString appEui = device[QStringLiteral("appEui")].toString();
            if (!templates.contains(appEui))
                continue; // the demo's device without a template
            for (const QJsonValue &hex : device[QStringLiteral("payloads")].toArray()) {
                const QByteArray payload = QByteArray::fromHex(hex.toString().toLatin1());
                const auto packet = templates.value(appEui).packets.constFind(packetTypeKey(qint8(payload.at(0))));
                QVERIFY2(packet != templates.value(appEui).packets.constEnd(), qPrintable(hex.toString()));
                QCOMPARE(payload.size(), packet->packetSize);
                ++checked;
            }
        }
        QCOMPARE(checked, 20);
    }
};

QTEST_GUILESS_MAIN(TestExamples)
#include "tst_examples.moc"
