#include <QDateTime>
#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include "app/clogfile.h"
#include "app/globaltables.h"
#include "peertestsupport.h"
#include "store/cdatabasehandler.h"
#include "storetestsupport.h"
#include "testworkdir.h"

using namespace StoreTest;

class TestStore : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir dir;
    CDataBaseHandler *store = nullptr;

    static QSignalSpy *newLogSpy() { return new QSignalSpy(CLogFile::getInstance(QString()), &CLogFile::addLogSignal); }

    // Register rows of one device as "addr:parent:name:unit:start:grating:bits:type:source" texts.
    static QStringList rowsOf(const QString &devEui)
    {
        QSqlQuery query(peer());
        QStringList rows;
        if (!query.exec(QStringLiteral("SELECT reg_addr, parent, name, unit, start_value, grating_period, bit_size, "
                                       "data_type, source FROM dev_data WHERE device IN (SELECT device FROM devices "
                                       "WHERE dev_eui='%1') ORDER BY reg_addr, parent DESC;")
                            .arg(devEui)))
            return {QStringLiteral("error")};
        while (query.next()) {
            QStringList fields;
            for (int i = 0; i < 9; ++i)
                fields << (query.isNull(i) ? QStringLiteral("NULL") : query.value(i).toString());
            rows << fields.join(QLatin1Char(':'));
        }
        return rows;
    }

    static uint32_t idOf(const QString &devEui)
    {
        const QVariantList ids = peerColumn(QStringLiteral("SELECT device FROM devices WHERE dev_eui='%1';").arg(devEui));
        return ids.isEmpty() ? 0 : ids.first().toUInt();
    }

    static QStringList deviceNames(const QVector<QSqlRecord> &_devices)
    {
        QStringList names;
        for (const QSqlRecord &device : _devices)
            names << device.value(1).toString();
        return names;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.enter());

        // A database written by an earlier version: the same tables, no indexes.
        QVERIFY(peerExec(QStringLiteral("CREATE TABLE devices ( device INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL "
                                         "UNIQUE, name TEXT, app_eui TEXT, dev_eui TEXT, port INTEGER, start_addr "
                                         "INTEGER ); ")));
        QVERIFY(peerExec(QStringLiteral(
            "CREATE TABLE dev_data ( device INTEGER NOT NULL, port INTEGER, reg_addr INTEGER, start_value INTEGER, "
            "grating_period INTEGER, bit_size INTEGER, data_type TEXT, value TEXT DEFAULT NULL, full_value TEXT "
            "DEFAULT NULL, time INTEGER DEFAULT NULL, name TEXT DEFAULT NULL, unit TEXT DEFAULT NULL, parent INTEGER, "
            "source INTEGER ); ")));
        QVERIFY(peerExec(QStringLiteral("INSERT INTO devices VALUES (1, 'Old meter', 'AA', '0011223344556677', "
                                         "4000, 7);")));
        QVERIFY(peerExec(QStringLiteral("INSERT INTO dev_data VALUES (1, 4000, 7, 0, 1, 16, 'uinteger', '0042', "
                                         "'0042', 0, 'Level', 'mm', 1, 1);")));

        store = StoreTest::workingDirectoryStore();
        QVERIFY(store);
        QCOMPARE(StoreTest::workingDirectoryStore(), store);
    }

    void cleanupTestCase()
    {
        QSqlDatabase::database(QStringLiteral("peer")).close();
    }

    void cleanup()
    {
        for (const char *trigger : {"refuse_insert", "refuse_update", "refuse_delete"})
            QVERIFY(peerExec(QStringLiteral("DROP TRIGGER IF EXISTS %1;").arg(trigger)));
        // Through the store, so its in-memory copy forgets the devices as well.
        for (const QVariant &id : peerColumn(QStringLiteral("SELECT device FROM devices;")))
            QVERIFY(store->deleteDevice(id.toUInt()));
        QVERIFY(peerExec(QStringLiteral("DELETE FROM dev_data;")));
    }

    void oldDatabaseKeepsDataAndGainsIndexes()
    {
        const QVariantList indexes = peerColumn(
            QStringLiteral("SELECT name FROM sqlite_master WHERE type='index' AND tbl_name='dev_data' ORDER BY name;"));
        QCOMPARE(indexes, QVariantList({"dev_data_device_reg_addr", "dev_data_port_reg_addr"}));
        QCOMPARE(deviceNames(store->getDevices(QString())), QStringList{"Old meter"});
        QCOMPARE(store->getRegisterData(4000, 7, 1), (QMap<uint16_t, uint16_t>{{7, 0x42}}));
    }

    void duplicateDevEuiRefused()
    {
        const auto info = device("70B3D5E75F600001", "Meter", 0, {reg("Level", 0, 16)});
        QVERIFY(store->registerNewDevice(info, 502));
        QScopedPointer<QSignalSpy> spy(newLogSpy());
        QVERIFY(!store->registerNewDevice(info, 502));
        QVERIFY(logged(*spy, "ERROR: [CDataBaseHandler::registerNewDevice] Device [70B3D5E75F600001] already exist!"));
        // The same DevEUI typed in lower case is the same device.
        QVERIFY(!store->registerNewDevice(device("70b3d5e75f600001", "Meter 2", 50, {reg("Level", 0, 16)}), 503));
        QCOMPARE(peerCount("SELECT COUNT(*) FROM devices;"), 1);
        QCOMPARE(peerCount("SELECT COUNT(*) FROM dev_data;"), 1);
    }

    void wideValueAndOverlapWriteThreeRows()
    {
        QScopedPointer<QSignalSpy> spy(newLogSpy());
        QVERIFY(store->registerNewDevice(
            device("A1", "Meter", 100, {reg("Counter", 0, 32, "uinteger", "kWh"), reg("Temp", 1, 16, "integer", "C")}),
            1502));
        QCOMPARE(rowsOf("A1"), QStringList({"100:1:Counter:kWh:0:1:32:uinteger:1", "101:1:Temp:C:0:1:16:integer:1",
                                            "101:0:NULL:NULL:0:1:32:uinteger:0"}));
        for (const QList<QVariant> &args : *spy)
            QVERIFY2(!args.at(0).toString().contains("WARNING"), qPrintable(args.at(0).toString()));
        QCOMPARE(peerCount("SELECT COUNT(*) FROM dev_data WHERE port=1502;"), 3);
    }

    void rowsPerValue_data()
    {
        QTest::addColumn<int>("bitSize");
        QTest::addColumn<int>("rows");
        QTest::newRow("0 bits") << 0 << 1;
        QTest::newRow("16 bits") << 16 << 1;
        QTest::newRow("17 bits") << 17 << 2;
        QTest::newRow("32 bits") << 32 << 2;
        QTest::newRow("33 bits") << 33 << 3;
        QTest::newRow("64 bits") << 64 << 4;
    }
    void rowsPerValue()
    {
        QFETCH(int, bitSize);
        QFETCH(int, rows);
        QVERIFY(store->registerNewDevice(device("B1", "Meter", 0, {reg("Value", 0, bitSize)}), 502));
        QCOMPARE(peerCount("SELECT COUNT(*) FROM dev_data;"), rows);
        QCOMPARE(peerCount("SELECT COUNT(*) FROM dev_data WHERE parent=1;"), 1);
        QCOMPARE(peerCount("SELECT MAX(reg_addr) FROM dev_data;"), rows - 1);
    }

    void sameOffsetSkippedWithWarning()
    {
        QScopedPointer<QSignalSpy> spy(newLogSpy());
        QVERIFY(store->registerNewDevice(device("C1", "Meter", 256, {reg("First", 5, 16), reg("Second", 5, 16)}), 502));
        QVERIFY(logged(*spy, "WARNING: [CDataBaseHandler::registerNewDevice] Register [0x0105] for device [C1] already "
                             "exist!"));
        QCOMPARE(rowsOf("C1"), QStringList{"261:1:First::0:1:16:uinteger:1"});
    }

    void emptyRegisterListWritesNothing()
    {
        QVERIFY(!store->registerNewDevice(device("D1", "Meter", 0, {}), 502));
        QCOMPARE(peerCount("SELECT COUNT(*) FROM devices;"), 0);
    }

    void failedRegistrationLeavesNoRow()
    {
        QVERIFY(peerExec("CREATE TRIGGER refuse_insert BEFORE INSERT ON dev_data WHEN NEW.reg_addr = 3 "
                         "BEGIN SELECT RAISE(ABORT, 'refused'); END;"));
        QScopedPointer<QSignalSpy> spy(newLogSpy());
        QVERIFY(!store->registerNewDevice(
            device("E1", "Meter", 0, {reg("A", 0, 16), reg("B", 1, 32), reg("C", 3, 16), reg("D", 4, 16)}), 502));
        QVERIFY(logged(*spy, "[CDataBaseHandler::registerNewDevice] Invalid SQL request [4]"));
        QCOMPARE(peerCount("SELECT COUNT(*) FROM devices;"), 0);
        QCOMPARE(peerCount("SELECT COUNT(*) FROM dev_data;"), 0);
        // The store is usable again afterwards.
        QVERIFY(peerExec("DROP TRIGGER refuse_insert;"));
        QVERIFY(store->registerNewDevice(device("E1", "Meter", 0, {reg("A", 0, 16)}), 502));
    }

    void injectionTextsRoundTrip_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("double quote") << "Pump \"north\"";
        QTest::newRow("single quote") << "Pump 'north'";
        QTest::newRow("percent") << "Valve 50%";
        QTest::newRow("statement") << "\"; DROP TABLE devices; --";
        QTest::newRow("single statement") << "'); DROP TABLE dev_data; --";
    }
    void injectionTextsRoundTrip()
    {
        QFETCH(QString, text);
        QVERIFY(store->registerNewDevice(device("F0", "Plain decoy", 0, {reg("Level", 0, 16)}), 502));
        QVERIFY(store->registerNewDevice(device(text, text, 10, {reg(text, 0, 16, text, text)}), 502));

        const QVector<QSqlRecord> devices = store->getDevices(text);
        QCOMPARE(devices.size(), 1);
        QCOMPARE(devices.first().value(1).toString(), text);
        QCOMPARE(devices.first().value(3).toString(), text);
        const uint32_t id = devices.first().value(0).toUInt();

        const QVector<QSqlRecord> registers = store->getRegisters(id);
        QVERIFY(!registers.isEmpty());
        QCOMPARE(registers.first().value(6).toString(), text);
        QCOMPARE(registers.first().value(10).toString(), text);
        QCOMPARE(registers.first().value(11).toString(), text);

        QVERIFY(store->saveRegisterData(uplink(text, 10, {value("00ff", 0, text)})));
        QCOMPARE(store->getRegisterData(502, 10, 1), (QMap<uint16_t, uint16_t>{{10, 0xff}}));
        SRegisterUpdate update;
        update.regAddr = 10;
        update.unit = text + text;
        QVERIFY(store->updateRegInfo(SDeviceRegUpdate{id, 502, {update}}));
        QCOMPARE(store->getRegisterParam(text, 10).unit, text + text);
        QCOMPARE(peerCount("SELECT COUNT(*) FROM devices;"), 2);
        QCOMPARE(peerCount("SELECT COUNT(*) FROM dev_data;"), 2);
    }

    void searchIsCaseInsensitiveContainsWithLiteralWildcards_data()
    {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("empty lists all by name")
            << QString() << QStringList{"Boiler 50% valve", "Boiler 500 valve", "Zeta", "pumpXa", "pump_a"};
        QTest::newRow("percent literal") << "50%" << QStringList{"Boiler 50% valve"};
        QTest::newRow("underscore literal") << "p_a" << QStringList{"pump_a"};
        QTest::newRow("case-insensitive") << "BOILER" << QStringList{"Boiler 50% valve", "Boiler 500 valve"};
        QTest::newRow("middle of name") << "ET" << QStringList{"Zeta"};
        QTest::newRow("backslash") << "\\" << QStringList{};
        QTest::newRow("no match") << "valves" << QStringList{};
    }
    void searchIsCaseInsensitiveContainsWithLiteralWildcards()
    {
        QFETCH(QString, search);
        QFETCH(QStringList, names);
        const QStringList all = {"pump_a", "Zeta", "Boiler 500 valve", "pumpXa", "Boiler 50% valve"};
        for (int i = 0; i < all.size(); ++i)
            QVERIFY(store->registerNewDevice(device(QString::number(i), all.at(i), 0, {reg("L", 0, 16)}), 502));
        QCOMPARE(deviceNames(store->getDevices(search)), names);
    }

    void registerRangeReadsZeroWhereNothingIsStored()
    {
        QVERIFY(store->registerNewDevice(device("G1", "Meter", 10, {reg("A", 0, 16), reg("B", 2, 16)}), 502));
        QVERIFY(store->registerNewDevice(device("G2", "Other port", 10, {reg("A", 1, 16)}), 503));
        QVERIFY(store->saveRegisterData(uplink("G1", 10, {value("0102", 0, "0102"), value("ff9c", 2, "ff9c")})));
        QVERIFY(store->saveRegisterData(uplink("G2", 10, {value("7777", 1, "7777")})));
        QCOMPARE(store->getRegisterData(502, 10, 3), (QMap<uint16_t, uint16_t>{{10, 0x0102}, {11, 0}, {12, 65436}}));
        QCOMPARE(store->getRegisterData(502, 10, 0), (QMap<uint16_t, uint16_t>{}));
    }

    void valueTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("word");
        QTest::newRow("negative number") << "ff9c" << 65436;
        QTest::newRow("text AB") << "AB" << 171;
        QTest::newRow("text Hi") << "Hi" << 0;
        QTest::newRow("max") << "FFFF" << 65535;
        QTest::newRow("one digit") << "7" << 7;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("five digits") << "10000" << 0;
        QTest::newRow("prefix") << "0x1" << 0;
        QTest::newRow("space") << " 12" << 0;
    }
    void valueTexts()
    {
        QFETCH(QString, text);
        QFETCH(int, word);
        QCOMPARE(int(CDataBaseHandler::registerWord(text)), word);
        QVERIFY(store->registerNewDevice(device("H1", "Meter", 20, {reg("A", 0, 16, "text")}), 502));
        if (!text.isEmpty())
            QVERIFY(store->saveRegisterData(uplink("H1", 20, {value(text, 0, text)})));
        QCOMPARE(store->getRegisterData(502, 20, 1), (QMap<uint16_t, uint16_t>{{20, uint16_t(word)}}));
    }

    void deletingOneOfTwoDevicesOnAPortKeepsTheOther()
    {
        QVERIFY(store->registerNewDevice(device("S1", "First", 0, {reg("A", 0, 16), reg("B", 1, 16)}), 1502));
        QVERIFY(store->registerNewDevice(device("S2", "Second", 2, {reg("A", 0, 16)}), 1502));
        QVERIFY(store->saveRegisterData(uplink("S1", 0, {value("0001", 0, "0001"), value("0002", 1, "0002")})));
        QVERIFY(store->saveRegisterData(uplink("S2", 2, {value("0003", 0, "0003")})));
        QCOMPARE(store->getRegisterData(1502, 0, 3), (QMap<uint16_t, uint16_t>{{0, 1}, {1, 2}, {2, 3}}));
        QVERIFY(store->deleteDevice(idOf("S1")));
        QCOMPARE(store->getRegisterData(1502, 0, 3), (QMap<uint16_t, uint16_t>{{0, 0}, {1, 0}, {2, 3}}));
        // An uplink of the deleted device finds nothing to write.
        QVERIFY(!store->saveRegisterData(uplink("S1", 0, {value("0009", 0, "0009")})));
        QCOMPARE(store->getRegisterData(1502, 0, 1), (QMap<uint16_t, uint16_t>{{0, 0}}));
    }

    void registersWithoutRowsTakeNoValue()
    {
        QVERIFY(store->registerNewDevice(device("R1", "Meter", 40, {reg("A", 0, 16)}), 1503));
        QVERIFY(store->saveRegisterData(uplink("R1", 40, {value("0101", 0, "0101"), value("0202", 5, "0202")})));
        QCOMPARE(store->getRegisterData(1503, 40, 6),
                 (QMap<uint16_t, uint16_t>{{40, 0x0101}, {41, 0}, {42, 0}, {43, 0}, {44, 0}, {45, 0}}));
    }

    void memoryCopyMatchesTheFile()
    {
        QVERIFY(store->registerNewDevice(device("F1", "Meter", 10, {reg("A", 0, 32), reg("B", 2, 16)}), 1504));
        QVERIFY(store->saveRegisterData(
            uplink("F1", 10, {value("1234", 0, "12345678"), value("5678", 1, ""), value("9abc", 2, "9abc")})));
        SRegisterUpdate update;
        update.regAddr = 12;
        update.startValue = 7;
        update.gratingPeriod = 3;
        update.unit = "V";
        QVERIFY(store->updateRegInfo(SDeviceRegUpdate{idOf("F1"), 1504, {update}}));
        // What a restarted gateway would read back from the file.
        CRegisterImage reloaded;
        QString error;
        QVERIFY2(reloaded.load(peer(), &error), qPrintable(error));
        QCOMPARE(reloaded.words(1504, 10, 4), store->getRegisterData(1504, 10, 4));
        const SRegisterParam *param = reloaded.param(idOf("F1"), 12);
        QVERIFY(param);
        QCOMPARE(param->startValue, 7);
        QCOMPARE(param->gratingPeriod, 3);
        QCOMPARE(param->unit, QStringLiteral("V"));
        QCOMPARE(store->getRegisterParam("F1", 12).gratingPeriod, 3);
    }

    void readsAnswerFromMemory()
    {
        QVERIFY(store->registerNewDevice(device("L1", "Meter", 30, {reg("A", 0, 16)}), 502));
        QVERIFY(store->saveRegisterData(uplink("L1", 30, {value("0a0b", 0, "0a0b")})));
        // With the table out of SQLite's reach, only the store's own copy can answer.
        QVERIFY(peerExec("ALTER TABLE dev_data RENAME TO dev_data_away;"));
        const auto words = store->getRegisterData(502, 30, 2);
        const SRegisterParam param = store->getRegisterParam("L1", 30);
        QVERIFY(peerExec("ALTER TABLE dev_data_away RENAME TO dev_data;"));
        QCOMPARE(words, (QMap<uint16_t, uint16_t>{{30, 0x0a0b}, {31, 0}}));
        QCOMPARE(param.gratingPeriod, 1);
    }

    void uplinkWritesValueFullValueAndTime()
    {
        QVERIFY(store->registerNewDevice(device("I1", "Meter", 100, {reg("Counter", 2, 32)}), 502));
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        QVERIFY(store->saveRegisterData(uplink("I1", 100, {value("0001", 2, "00012345"), value("2345", 3)})));
        const qint64 after = QDateTime::currentMSecsSinceEpoch();
        QSqlQuery query(peer());
        QVERIFY(query.exec("SELECT reg_addr, value, full_value, time FROM dev_data ORDER BY reg_addr;"));
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toInt(), 102);
        QCOMPARE(query.value(1).toString(), QStringLiteral("0001"));
        QCOMPARE(query.value(2).toString(), QStringLiteral("00012345"));
        QVERIFY(query.value(3).toLongLong() >= before && query.value(3).toLongLong() <= after);
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toInt(), 103);
        QCOMPARE(query.value(1).toString(), QStringLiteral("2345"));
        QVERIFY(query.isNull(2));
        QVERIFY(query.value(3).toLongLong() >= before && query.value(3).toLongLong() <= after);
    }

    void uplinkForDeletedDeviceWritesNothing()
    {
        QVERIFY(store->registerNewDevice(device("J1", "Meter", 0, {reg("A", 0, 16)}), 502));
        QVERIFY(store->deleteDevice(idOf("J1")));
        QScopedPointer<QSignalSpy> spy(newLogSpy());
        QVERIFY(!store->saveRegisterData(uplink("J1", 0, {value("0001", 0, "0001")})));
        QVERIFY(logged(*spy, "ERROR: [CDataBaseHandler::saveRegisterData] Uncknown DevEUI [J1]"));
        QCOMPARE(peerCount("SELECT COUNT(*) FROM dev_data;"), 0);
        QVERIFY(!store->saveRegisterData(uplink("J1", 0, {})));
        QVERIFY(logged(*spy, "INFO: [CDataBaseHandler::saveRegisterData] Empty input data"));
    }

    void lowerCaseStoredDevEuiFoundByUpperCase()
    {
        QVERIFY(store->registerNewDevice(device("70b3d5e75f6000ab", "Meter", 30, {reg("A", 0, 16, "integer", "bar")}),
                                         502));
        QVERIFY(store->saveRegisterData(uplink("70B3D5E75F6000AB", 30, {value("0203", 0, "0203")})));
        QCOMPARE(store->getRegisterData(502, 30, 1), (QMap<uint16_t, uint16_t>{{30, 0x0203}}));
        QCOMPARE(store->getRegisterParam("70B3D5E75F6000AB", 30).unit, QStringLiteral("bar"));
        QCOMPARE(store->getRegisteredDevices(), QStringList{"70B3D5E75F6000AB"});
    }

    void uplinkIsWrittenWholeOrNotAtAll()
    {
        QVERIFY(store->registerNewDevice(device("K1", "Meter", 10, {reg("A", 0, 32)}), 502));
        QVERIFY(peerExec("CREATE TRIGGER refuse_update BEFORE UPDATE ON dev_data WHEN NEW.reg_addr = 11 "
                         "BEGIN SELECT RAISE(ABORT, 'refused'); END;"));
        QScopedPointer<QSignalSpy> spy(newLogSpy());
        QVERIFY(!store->saveRegisterData(uplink("K1", 10, {value("0001", 0, "00010002"), value("0002", 1)})));
        QCOMPARE(spy->size(), 1);
        QVERIFY2(spy->first().at(0).toString().contains(
                     "ERROR: [CDataBaseHandler::saveRegisterData] Saving to \"server.db\" fails: refused (deviceId["
                     + QString::number(idOf("K1")) + "], regAddr[11])"),
                 qPrintable(spy->first().at(0).toString()));
        QCOMPARE(peerCount("SELECT COUNT(*) FROM dev_data WHERE value IS NOT NULL;"), 0);
        // Served from memory until a save succeeds.
        QCOMPARE(store->getRegisterData(502, 10, 2), (QMap<uint16_t, uint16_t>{{10, 1}, {11, 2}}));
        QVERIFY(peerExec("DROP TRIGGER refuse_update;"));
        QVERIFY(store->saveRegisterData(uplink("K1", 10, {value("0003", 0, "00030002")})));
        QCOMPARE(peerColumn("SELECT value FROM dev_data ORDER BY reg_addr;"), (QVariantList{"0003", "0002"}));
    }

    // Another process holds the write lock: values staged meanwhile wait for their write,
    // polls are answered at once from what is committed, and the newest value wins.
    void stagedValuesAreServedOnlyOnceWritten()
    {
        QVERIFY(store->registerNewDevice(device("S1", "Meter", 40, {reg("A", 0, 16)}), 502));
        QVERIFY(store->registerNewDevice(device("S2", "Meter", 41, {reg("A", 0, 16)}), 502));
        QSignalSpy written(store, &CDataBaseHandler::registersWritten);
        QVERIFY(peerExec("BEGIN IMMEDIATE;"));
        const quint64 first = store->stageRegisterBatch({uplink("S1", 40, {value("0001", 0, "0001")})});
        const quint64 second = store->stageRegisterBatch({uplink("S1", 40, {value("0002", 0, "0002")}),
                                                          uplink("S2", 41, {value("0bbb", 0, "0bbb")})});
        const quint64 third = store->stageRegisterBatch({uplink("S1", 40, {value("0003", 0, "0003")})});
        QVERIFY(first != 0 && first < second && second < third);
        QCOMPARE(store->stageRegisterBatch({uplink("S1", 40, {})}), quint64(0));
        QCOMPARE(store->getRegisterData(502, 40, 2), (QMap<uint16_t, uint16_t>{{40, 0}, {41, 0}}));
        QVERIFY(peerExec("COMMIT;"));

        QVERIFY(store->waitForWrite(third));
        QCOMPARE(store->getRegisterData(502, 40, 2), (QMap<uint16_t, uint16_t>{{40, 3}, {41, 0x0bbb}}));
        QCOMPARE(peerColumn("SELECT value FROM dev_data ORDER BY reg_addr;"), (QVariantList{"0003", "0bbb"}));
        // At most one write a ticket; the last one tells of all.
        QVERIFY(written.size() >= 1 && written.size() <= 3);
        QCOMPARE(written.last().at(0).value<quint64>(), third);
    }

    void registerParameters()
    {
        SRegisterDescription scaled = reg("A", 4, 16, "integer", "kPa");
        scaled.startValue = -40;
        scaled.gratingPeriod = 10;
        QVERIFY(store->registerNewDevice(device("L1", "Meter", 100, {scaled}), 502));
        const SRegisterParam found = store->getRegisterParam("L1", 104);
        QCOMPARE(found.regAddr, 104);
        QCOMPARE(found.startValue, -40);
        QCOMPARE(found.gratingPeriod, 10);
        QCOMPARE(found.unit, QStringLiteral("kPa"));

        QScopedPointer<QSignalSpy> spy(newLogSpy());
        const SRegisterParam missing = store->getRegisterParam("L1", 105);
        QCOMPARE(missing.regAddr, 0);
        QCOMPARE(missing.startValue, 0);
        QCOMPARE(missing.gratingPeriod, 1);
        QVERIFY(missing.unit.isEmpty());
        QVERIFY(logged(*spy, "ERROR: [CDataBaseHandler::getRegisterParam] Register is not exist!"));

        SRegisterUpdate update;
        update.regAddr = 104;
        update.startValue = 5;
        update.gratingPeriod = 2;
        update.unit = "bar";
        QVERIFY(store->updateRegInfo(SDeviceRegUpdate{idOf("L1"), 502, {update}}));
        const SRegisterParam edited = store->getRegisterParam("L1", 104);
        QCOMPARE(edited.startValue, 5);
        QCOMPARE(edited.gratingPeriod, 2);
        QCOMPARE(edited.unit, QStringLiteral("bar"));
    }

    void deleteDeviceIsWholeOrNotAtAll()
    {
        QVERIFY(store->registerNewDevice(device("M1", "Meter", 0, {reg("A", 0, 32)}), 502));
        QVERIFY(store->registerNewDevice(device("M2", "Kept", 10, {reg("A", 0, 16)}), 502));
        QVERIFY(peerExec("CREATE TRIGGER refuse_delete BEFORE DELETE ON dev_data BEGIN SELECT RAISE(ABORT, 'no'); END;"));
        QScopedPointer<QSignalSpy> spy(newLogSpy());
        QVERIFY(!store->deleteDevice(idOf("M1")));
        QVERIFY(logged(*spy, "[CDataBaseHandler::deleteDevice] Invalid SQL request [2]"));
        QCOMPARE(peerCount("SELECT COUNT(*) FROM devices;"), 2);
        QVERIFY(peerExec("DROP TRIGGER refuse_delete;"));
        QVERIFY(store->deleteDevice(idOf("M1")));
        QCOMPARE(peerColumn("SELECT dev_eui FROM devices;"), QVariantList{"M2"});
        QCOMPARE(peerCount("SELECT COUNT(*) FROM dev_data;"), 1);
    }

    void writeWaitsForAnotherProcessLock()
    {
        QVERIFY(store->registerNewDevice(device("N1", "Meter", 0, {reg("A", 0, 16)}), 502));
        const QString missing = PeerTest::missingPythonModule("sqlite3", "python3");
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
        QProcess holder;
        holder.setWorkingDirectory(dir.path());
        holder.start("/usr/bin/python3",
                     {"-c", "import sqlite3, sys, time\n"
                            "c = sqlite3.connect('server.db', isolation_level=None)\n"
                            "c.execute('BEGIN IMMEDIATE')\n"
                            "c.execute(\"UPDATE dev_data SET unit='held'\")\n"
                            "print('locked', flush=True)\n"
                            "time.sleep(0.5)\n"
                            "c.execute('COMMIT')\n"});
        QVERIFY(holder.waitForStarted(5000));
        QByteArray output;
        QTRY_VERIFY2_WITH_TIMEOUT((output += holder.readAllStandardOutput()).contains("locked"),
                                  holder.readAllStandardError().constData(), 10000);
        QVERIFY(store->saveRegisterData(uplink("N1", 0, {value("abcd", 0, "abcd")})));
        QVERIFY(holder.waitForFinished(10000));
        QCOMPARE(holder.exitCode(), 0);
        QCOMPARE(store->getRegisterData(502, 0, 1), (QMap<uint16_t, uint16_t>{{0, 0xabcd}}));
        // Both writes landed, one after the other.
        QCOMPARE(peerColumn("SELECT unit || ':' || value FROM dev_data WHERE reg_addr=0 AND device IN "
                            "(SELECT device FROM devices WHERE dev_eui='N1');"),
                 QVariantList{"held:abcd"});
    }

    void storeThatCannotOpenSaysWhy()
    {
        // A directory where the database file should be.
        QVERIFY(QDir().mkpath(QStringLiteral("broken/server.db")));
        QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        QTest::ignoreMessage(QtDebugMsg,
                             QRegularExpression("^CRITICAL_ERROR! Data base hasn't been created/opened! Error_text\\[.*"
                                                "\\]. DataBaseHandler is not running!$"));
        CDataBaseHandler broken(QStringLiteral("broken/server.db"), CDataBaseHandler::DEFAULT_BUSY_TIMEOUT_MS,
                                CClock::system(), CLogFile::getInstance(QString()));
        QString reason;
        QVERIFY(!broken.open(&reason));
        QVERIFY(reason.contains("CRITICAL_ERROR! Data base hasn't been created/opened!"));
        QCOMPARE(log.size(), 1);

        // Once the file can be made, a store on it creates both tables.
        QVERIFY(QDir().rmdir(QStringLiteral("broken/server.db")));
        CDataBaseHandler fresh(QStringLiteral("broken/server.db"));
        QVERIFY(fresh.open());
        QVERIFY(QFile::exists(QStringLiteral("broken/server.db")));
        QSqlDatabase reader = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("broken-reader"));
        reader.setDatabaseName(QStringLiteral("broken/server.db"));
        QVERIFY(reader.open());
        QSqlQuery tables(reader);
        QVERIFY(tables.exec("SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite%' "
                            "ORDER BY name;"));
        QStringList names;
        while (tables.next())
            names << tables.value(0).toString();
        QCOMPARE(names, QStringList({"dev_data", "devices"}));
        tables = QSqlQuery();
        reader.close();
    }
};

QTEST_GUILESS_MAIN(TestStore)
#include "tst_store.moc"
