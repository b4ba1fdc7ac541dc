#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QtCharts/QChartView>
#include <QtTest>

#include "app/clogfile.h"
#include "store/chistorystore.h"
#include "testworkdir.h"
#include "ui/ctrendwindow.h"

// The window's trend of one value, rendered into an image: its points are drawn, its axis
// names the value and its unit, and an uplink more is a point more.
class TestTrend : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir workDir;

    // Pixels of the trend line's colour in the chart as it is painted now.
    static int linePixels(CTrendWindow &_window)
    {
        // The chart lays its axes out again on the events a change posts.
        QCoreApplication::processEvents();
        QImage image(_window.chartView()->size(), QImage::Format_ARGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        _window.chartView()->render(&painter);
        painter.end();
        int count = 0;
        const QColor line = CTrendWindow::LINE_COLOUR;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor pixel = image.pixelColor(x, y);
                count += qAbs(pixel.red() - line.red()) < 10 && qAbs(pixel.green() - line.green()) < 10
                        && qAbs(pixel.blue() - line.blue()) < 10
                    ? 1
                    : 0;
            }
        }
        return count;
    }

private slots:
    void initTestCase() { QVERIFY(workDir.enter()); }

    void axisTitle_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QString>("title");
        QTest::newRow("with a unit") << "Temperature" << QStringLiteral("°C") << QStringLiteral("Temperature [°C]");
        QTest::newRow("without") << "Frame counter"
                                 << ""
                                 << "Frame counter";
    }
    void axisTitle()
    {
        QFETCH(QString, name);
        QFETCH(QString, unit);
        QFETCH(QString, title);
        QCOMPARE(trendAxisTitle(name, unit), title);
    }

    void chartDrawsTheValuesPoints()
    {
        const QString eui = QStringLiteral("70B3D5E75E00A001");
        CManualClock clock;
        // Mid-range: neither bound of the week is near.
        clock.advance(30 * 24 * 3600 * 1000LL);
        CHistoryStore history(
            QStringLiteral("history.db"), SHistorySettings(), &clock, CLogFile::getInstance(QString()));
        QVERIFY(history.open());
        QList<SDeviceRegData> batch;
        // A climb over the last hour, one row every five minutes, and a value beside it.
        for (int i = 0; i < 12; ++i) {
            SDeviceRegData uplink;
            uplink.devEui = eui;
            uplink.receivedMs = clock.epochMs() - 3600000 + 300000 * (i + 1) - 60000;
            uplink.values = { { QStringLiteral("Humidity"), 40.0 + i, QStringLiteral("%") },
                { QStringLiteral("Level"), 100.0 - i, QStringLiteral("cm") } };
            batch << uplink;
        }
        history.stage(batch);
        history.writeStaged();

        CTrendWindow window(QStringLiteral("history.db"), &clock, eui, QStringLiteral("tank"));
        window.resize(800, 450);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.choose(QStringLiteral("Level"), 0);
        QCOMPARE(window.pointCount(), 12);
        QCOMPARE(window.axisTitle(), QStringLiteral("Level [cm]"));
        const int drawn = linePixels(window);
        QVERIFY2(drawn > 200, qPrintable(QString::number(drawn)));

        // The next uplink, and the refresh its arrival brings: one point more.
        SDeviceRegData next;
        next.devEui = eui;
        next.receivedMs = clock.epochMs();
        next.values = { { QStringLiteral("Level"), 80.0, QStringLiteral("cm") } };
        history.stage({ next });
        history.writeStaged();
        window.refresh();
        QCOMPARE(window.pointCount(), 13);
        QVERIFY(linePixels(window) > drawn);

        // Another device's window draws nothing of this one.
        CTrendWindow empty(
            QStringLiteral("history.db"), &clock, QStringLiteral("70B3D5E75E00A0FF"), QStringLiteral("x"));
        QCOMPARE(empty.pointCount(), 0);
    }
};

QTEST_MAIN(TestTrend)
#include "tst_trend.moc"
