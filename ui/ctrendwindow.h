#pragma once

#include <QHash>
#include <QString>
#include <QWidget>

#include "app/cclock.h"

class QComboBox;
class QLabel;
namespace QtCharts {
class QChart;
class QChartView;
class QDateTimeAxis;
class QLineSeries;
class QValueAxis;
} // namespace QtCharts

// The words of a trend, apart from painting. "Temperature [°C]", or the name alone.
QString trendAxisTitle(const QString &_name, const QString &_unit);
// The ranges the window offers: "hour", "day", "week", and their length.
QStringList trendRangeNames();
qint64 trendRangeMs(int _index);

// One value of one device over the last hour, day or week, from history.db. The window that
// opens it calls refresh() when the device's uplinks arrive.
class CTrendWindow : public QWidget
{
    Q_OBJECT

public:
    // Points drawn at most; a longer range is drawn as buckets' means.
    static constexpr int MAX_POINTS = 600;
    static const QColor LINE_COLOUR;

    CTrendWindow(const QString &_historyFile, CClock *_clock, const QString &_devEui, const QString &_deviceName,
        QWidget *_parent = nullptr);

    QString devEui() const { return eui; }
    // Reads the history again: the value names and the chosen value's points.
    void refresh();
    // Chooses the value by name and the range by index; the chart follows.
    void choose(const QString &_value, int _rangeIndex);
    int pointCount() const;
    QString axisTitle() const;
    QtCharts::QChartView *chartView() const { return view; }

private:
    void draw();

    QString historyFile;
    CClock *clock;
    QString eui;
    // Each value's unit as the history names it now.
    QHash<QString, QString> units;
    QComboBox *valueBox;
    QComboBox *rangeBox;
    QLabel *caption;
    QtCharts::QChart *chart;
    QtCharts::QChartView *view;
    QtCharts::QLineSeries *series;
    QtCharts::QDateTimeAxis *timeAxis;
    QtCharts::QValueAxis *valueAxis;
};
