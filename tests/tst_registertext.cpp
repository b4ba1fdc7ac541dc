#include <QDateTime>
#include <QLocale>
#include <QtTest>

#include "app/registertext.h"

class TestRegisterText : public QObject
{
    Q_OBJECT

private slots:
    void addressText_data()
    {
        QTest::addColumn<int>("bitSize");
        QTest::addColumn<QString>("expected");
        QTest::newRow("0 bits") << 0 << "ModBUS register[100]";
        QTest::newRow("16 bits") << 16 << "ModBUS register[100]";
        QTest::newRow("17 bits take two") << 17 << "ModBUS register[100..101]";
        QTest::newRow("32 bits") << 32 << "ModBUS register[100..101]";
        QTest::newRow("33 bits take three") << 33 << "ModBUS register[100..102]";
        QTest::newRow("64 bits") << 64 << "ModBUS register[100..103]";
    }

    void addressText()
    {
        QFETCH(int, bitSize);
        QFETCH(QString, expected);
        QCOMPARE(registerAddressText(100, bitSize), expected);
    }

    void valueText_data()
    {
        QTest::addColumn<QString>("dataType");
        QTest::addColumn<int>("bitSize");
        QTest::addColumn<QVariant>("fullValue");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QString>("expected");

        QTest::newRow("integer 16 ffff") << "integer" << 16 << QVariant("ffff") << "" << "-1";
        QTest::newRow("uinteger 16 ffff") << "uinteger" << 16 << QVariant("ffff") << "" << "65535";
        QTest::newRow("integer 32 with unit") << "integer" << 32 << QVariant("fffffffe") << "V" << "-2 [V]";
        QTest::newRow("integer 32 no unit") << "integer" << 32 << QVariant("fffffffe") << "" << "-2";
        QTest::newRow("integer 16 positive") << "integer" << 16 << QVariant("7fff") << "mA" << "32767 [mA]";
        QTest::newRow("integer 64") << "integer" << 64 << QVariant("fffffffffffffff6") << "" << "-10";
        QTest::newRow("integer 48 reads 8 bytes") << "integer" << 48 << QVariant("0000000000012345") << "" << "74565";
        // 0x000b60b7 = 745655: the decoder's scaled value of 74565 * 10 + 5.
        QTest::newRow("integer 32 scaled") << "integer" << 32 << QVariant("000b60b7") << "" << "745655";
        // Wider text than the width: only the first bytes count (0xfffe of fffe1234).
        QTest::newRow("integer reads first bytes") << "integer" << 16 << QVariant("fffe1234") << "" << "-2";
        // Narrower than the width: the decoded bytes alone, with their own sign (0xfffb = -5).
        QTest::newRow("integer 32 short value") << "integer" << 32 << QVariant("fffb") << "" << "-5";
        QTest::newRow("integer 64 short value") << "integer" << 64 << QVariant("00012345") << "" << "74565";
        QTest::newRow("integer 16 one byte") << "integer" << 16 << QVariant("9c") << "" << "-100";
        QTest::newRow("integer empty text") << "integer" << 16 << QVariant("") << "V" << "NEVER RECEIVING";
        QTest::newRow("uinteger 32") << "uinteger" << 32 << QVariant("00012345") << "" << "74565";
        QTest::newRow("uinteger 64 max") << "uinteger" << 64 << QVariant("ffffffffffffffff") << "" << "18446744073709551615";
        QTest::newRow("uinteger too long reads 0") << "uinteger" << 64 << QVariant("1ffffffffffffffff") << "V" << "0 [V]";
        QTest::newRow("uinteger with unit") << "uinteger" << 16 << QVariant("000a") << "s" << "10 [s]";
        QTest::newRow("text") << "text" << 64 << QVariant("AB") << "V" << "AB";
        QTest::newRow("text embedded zero") << "text" << 64 << QVariant(QString("AB") + QChar(0) + "CD") << "" << "AB";
        QTest::newRow("text utf8") << "text" << 64 << QVariant(QString::fromUtf8("\xc2\xb0" "C")) << "" << QString::fromUtf8("\xc2\xb0" "C");
        QTest::newRow("integer null") << "integer" << 16 << QVariant() << "V" << "NEVER RECEIVING";
        QTest::newRow("uinteger null") << "uinteger" << 16 << QVariant() << "" << "NEVER RECEIVING";
        QTest::newRow("text null") << "text" << 64 << QVariant() << "" << "NEVER RECEIVING";
        QTest::newRow("boolean") << "boolean" << 16 << QVariant("0001") << "" << "NEVER RECEIVING";
        QTest::newRow("unknown type") << "float" << 32 << QVariant("0001") << "" << "NEVER RECEIVING";
        QTest::newRow("type is case-sensitive") << "INTEGER" << 16 << QVariant("0001") << "" << "NEVER RECEIVING";
    }

    void valueText()
    {
        QFETCH(QString, dataType);
        QFETCH(int, bitSize);
        QFETCH(QVariant, fullValue);
        QFETCH(QString, unit);
        QFETCH(QString, expected);
        QCOMPARE(registerValueText(dataType, bitSize, fullValue, unit), expected);
    }

    void unshownTypeMessages_data()
    {
        QTest::addColumn<QString>("dataType");
        QTest::addColumn<QString>("expected");
        QTest::newRow("integer") << "integer" << "";
        QTest::newRow("uinteger") << "uinteger" << "";
        QTest::newRow("text") << "text" << "";
        QTest::newRow("boolean") << "boolean" << "[CRegisterDelegat::paint] Unsupporting dataType: BOOLEAN";
        QTest::newRow("unknown") << "float" << "[CRegisterDelegat::paint] Unknown data type!";
    }

    void unshownTypeMessages()
    {
        QFETCH(QString, dataType);
        QFETCH(QString, expected);
        QCOMPARE(unshownDataTypeMessage(dataType), expected);
    }

    void timeNeverReceived_data()
    {
        QTest::addColumn<QVariant>("time");
        QTest::newRow("zero") << QVariant(0);
        QTest::newRow("null") << QVariant();
    }

    void timeNeverReceived()
    {
        QFETCH(QVariant, time);
        QCOMPARE(registerTimeText(time), QString("NEVER RECEIVING"));
    }

    void timeInLocalTime()
    {
        // 1700000000123 ms is 2023-11-14 22:13:20.123 UTC.
        const QDateTime utc(QDate(2023, 11, 14), QTime(22, 13, 20, 123), Qt::UTC);
        const QDateTime local = utc.toLocalTime();
        const QString expected = QString("%1-%2-%3 %4")
                                     .arg(local.date().day(), 2, 10, QChar('0'))
                                     .arg(QLocale::system().monthName(local.date().month(), QLocale::ShortFormat))
                                     .arg(local.date().year() % 100, 2, 10, QChar('0'))
                                     .arg(local.time().toString("HH:mm:ss"));
        QCOMPARE(registerTimeText(QVariant(quint64(1700000000123))), expected);
    }

    void parametersFromEditText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<quint32>("expected");
        QTest::newRow("zero") << "0" << 0u;
        QTest::newRow("number") << "25" << 25u;
        QTest::newRow("negative") << "-5" << 0u;
        QTest::newRow("empty") << "" << 0u;
        QTest::newRow("largest") << "4294967295" << 4294967295u;
    }

    void parametersFromEditText()
    {
        QFETCH(QString, text);
        QFETCH(quint32, expected);
        QCOMPARE(unsignedFromText(text), expected);
    }
};

QTEST_APPLESS_MAIN(TestRegisterText)
#include "tst_registertext.moc"
