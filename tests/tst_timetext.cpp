#include <QtTest>

#include "app/timetext.h"

// The times and durations the history command and the API take.
class TestTimeText : public QObject
{
    Q_OBJECT

private slots:
    // The times the command line and the API take; each worked out by hand from 1970.
    void timesAreRead_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<qint64>("ms");
        QTest::newRow("seconds") << "1700000000" << true << qint64(1700000000000);
        QTest::newRow("seconds and a fraction") << "1700000000.25" << true << qint64(1700000000250);
        QTest::newRow("UTC") << "2023-11-14T22:13:20Z" << true << qint64(1700000000000);
        QTest::newRow("milliseconds") << "2023-11-14T22:13:20.125Z" << true << qint64(1700000000125);
        QTest::newRow("an hour east") << "2023-11-14T23:13:20+01:00" << true << qint64(1700000000000);
        QTest::newRow("no zone: UTC") << "2023-11-14T22:13:20" << true << qint64(1700000000000);
        QTest::newRow("a space for the T") << "2023-11-14 22:13:20Z" << true << qint64(1700000000000);
        QTest::newRow("a day") << "2023-11-14" << true << qint64(1699920000000);
        QTest::newRow("words") << "yesterday" << false << qint64(0);
        QTest::newRow("a month 13") << "2023-13-14T22:13:20Z" << false << qint64(0);
        QTest::newRow("negative") << "-5" << false << qint64(0);
    }
    void timesAreRead()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(qint64, ms);
        qint64 read = 0;
        QCOMPARE(parseTimeText(text, &read), valid);
        if (valid) {
            QCOMPARE(read, ms);
            QCOMPARE(parseTimeText(isoTimeText(read), &read), true);
            QCOMPARE(read, ms);
        }
    }

    void durationsAreRead_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("ms");
        QTest::newRow("seconds") << "90s" << qint64(90000);
        QTest::newRow("minutes") << "30m" << qint64(1800000);
        QTest::newRow("hours") << "24h" << qint64(86400000);
        QTest::newRow("days") << "7d" << qint64(604800000);
        QTest::newRow("no unit") << "24" << qint64(-1);
        QTest::newRow("a week") << "1w" << qint64(-1);
    }
    void durationsAreRead()
    {
        QFETCH(QString, text);
        QFETCH(qint64, ms);
        qint64 read = -1;
        QCOMPARE(parseDurationText(text, &read), ms >= 0);
        if (ms >= 0)
            QCOMPARE(read, ms);
    }
};

QTEST_GUILESS_MAIN(TestTimeText)
#include "tst_timetext.moc"
