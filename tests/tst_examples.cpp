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

    // The shipped examples, computed by hand from the payload bytes (fields little-endian,
    // byte 0 is the packet type). The template must hold exactly these and decode them.
    void templateExamples_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("payload");
        QTest::addColumn<QVariantMap>("expect");
        // d7 00 = 0x00d7 = 215; c4 01 = 0x01c4 = 452; c4 0b = 0x0bc4 = 3012
        QTest::newRow("th-sensor 0") << "th-sensor.json" << 0 << "01d700c401c40b"
                                     << QVariantMap { { "Temperature x0.1", 215 }, { "Humidity x0.1", 452 }, { "Battery", 3012 } };
        // 47 ff = 0xff47 = 65351 - 65536 = -185 (signed); 2c 03 = 0x032c = 812; ab 0b = 0x0bab = 2987
        QTest::newRow("th-sensor 1") << "th-sensor.json" << 1 << "0147ff2c03ab0b"
                                     << QVariantMap { { "Temperature x0.1", -185 }, { "Humidity x0.1", 812 }, { "Battery", 2987 } };
        // 78 00 00 00 = 0x78 = 120; ff d6 12 00.. = 0x12d6ff = 18 * 65536 + 214 * 256 + 255 = 1234687
        QTest::newRow("pulse-counter 0") << "pulse-counter.json" << 0 << "0278000000ffd6120000000000"
                                         << QVariantMap { { "Pulses since last", 120 }, { "Total pulses", 1234687 } };
        // 76 = 118; 75 d7 12 = 0x12d775 = 1179648 + 215 * 256 + 117 = 1234805
        QTest::newRow("pulse-counter 1") << "pulse-counter.json" << 1 << "027600000075d7120000000000"
                                         << QVariantMap { { "Pulses since last", 118 }, { "Total pulses", 1234805 } };
        // 01 = 1; 00 00 = 0; 34 46 33 41 39 43 32 31 = "4F3A9C21"
        QTest::newRow("status-reporter 0") << "status-reporter.json" << 0 << "030100003446334139433231"
                                           << QVariantMap { { "State", 1 }, { "Error code", 0 }, { "Serial number", "4F3A9C21" } };
        // 02 = 2; 07 01 = 0x0107 = 263
        QTest::newRow("status-reporter 1") << "status-reporter.json" << 1 << "030207013446334139433231"
                                           << QVariantMap { { "State", 2 }, { "Error code", 263 }, { "Serial number", "4F3A9C21" } };
    }
    void templateExamples()
    {
        QFETCH(QString, file);
        QFETCH(int, index);
        QFETCH(QString, payload);
        QFETCH(QVariantMap, expect);
        QFile json(examples + "/" + file);
        QVERIFY(json.open(QIODevice::ReadOnly));
        const QJsonArray list = QJsonDocument::fromJson(json.readAll()).object().value("examples").toArray();
        QCOMPARE(list.size(), 2);
        const QJsonObject example = list.at(index).toObject();
        QCOMPARE(example.value("payload").toString(), payload);
        QCOMPARE(example.value("expect").toObject().toVariantMap(), expect);
        QVERIFY(checkTemplateFile(examples, file).isEmpty());
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
