#include "ui/ctrendwindow.h"

#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QDateTimeAxis>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>

#include <limits>

#include "store/chistoryreader.h"

using namespace QtCharts;

const QColor CTrendWindow::LINE_COLOUR = QColor(31, 119, 180);

QString trendAxisTitle(const QString &_name, const QString &_unit)
{
    return _unit.isEmpty() ? _name : QStringLiteral("%1 [%2]").arg(_name, _unit);
}

QStringList trendRangeNames()
{
    return { QStringLiteral("hour"), QStringLiteral("day"), QStringLiteral("week") };
}

qint64 trendRangeMs(int _index)
{
    const qint64 hour = 3600 * 1000;
    return _index <= 0 ? hour : _index == 1 ? 24 * hour : 7 * 24 * hour;
}

CTrendWindow::CTrendWindow(
    const QString &_historyFile, CClock *_clock, const QString &_devEui, const QString &_deviceName, QWidget *_parent)
    : QWidget(_parent, Qt::Window)
    , historyFile(_historyFile)
    , clock(_clock)
    , eui(_devEui)
    , valueBox(new QComboBox(this))
    , rangeBox(new QComboBox(this))
    , caption(new QLabel(this))
    , chart(new QChart())
    , view(new QChartView(chart, this))
    , series(new QLineSeries())
    , timeAxis(new QDateTimeAxis())
    , valueAxis(new QValueAxis())
{
    setWindowTitle(tr("Trend of %1 (%2)").arg(_deviceName, _devEui));
    rangeBox->addItems(trendRangeNames());
    rangeBox->setCurrentIndex(1);
    auto *choices = new QHBoxLayout();
    choices->addWidget(new QLabel(tr("Value"), this));
    choices->addWidget(valueBox, 1);
    choices->addWidget(new QLabel(tr("over the last"), this));
    choices->addWidget(rangeBox);
    choices->addWidget(caption, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(choices);
    layout->addWidget(view, 1);

    QPen pen(LINE_COLOUR);
    pen.setWidth(2);
    series->setPen(pen);
    series->setPointsVisible(true);
    chart->addSeries(series);
    chart->legend()->hide();
    timeAxis->setFormat(QStringLiteral("dd.MM HH:mm"));
    chart->addAxis(timeAxis, Qt::AlignBottom);
    chart->addAxis(valueAxis, Qt::AlignLeft);
    series->attachAxis(timeAxis);
    series->attachAxis(valueAxis);
    view->setRenderHint(QPainter::Antialiasing);
    resize(800, 450);

    connect(valueBox, &QComboBox::currentTextChanged, this, &CTrendWindow::draw);
    connect(rangeBox, qOverload<int>(&QComboBox::currentIndexChanged), this, &CTrendWindow::draw);
    refresh();
}

void CTrendWindow::refresh()
{
    CHistoryReader reader(historyFile);
    QString problem;
    QVector<SHistoryValueName> names;
    if (reader.open(&problem))
        names = reader.valueNames(eui);
    QStringList texts;
    units.clear();
    for (const SHistoryValueName &name : qAsConst(names)) {
        texts << name.name;
        units.insert(name.name, name.unit);
    }
    QStringList shown;
    for (int i = 0; i < valueBox->count(); ++i)
        shown << valueBox->itemText(i);
    if (texts != shown) {
        const QString chosen = valueBox->currentText();
        const QSignalBlocker blocker(valueBox);
        valueBox->clear();
        valueBox->addItems(texts);
        if (texts.contains(chosen))
            valueBox->setCurrentText(chosen);
    }
    draw();
}

void CTrendWindow::choose(const QString &_value, int _rangeIndex)
{
    const QSignalBlocker values(valueBox);
    const QSignalBlocker ranges(rangeBox);
    valueBox->setCurrentText(_value);
    rangeBox->setCurrentIndex(_rangeIndex);
    draw();
}

int CTrendWindow::pointCount() const
{
    return series->count();
}

QString CTrendWindow::axisTitle() const
{
    return valueAxis->titleText();
}

void CTrendWindow::draw()
{
    const qint64 toMs = clock->epochMs();
    const qint64 fromMs = toMs - trendRangeMs(rangeBox->currentIndex());
    const QString name = valueBox->currentText();
    SHistorySeries points;
    QString problem;
    CHistoryReader reader(historyFile);
    if (name.isEmpty() || !reader.open(&problem)
        || !reader.series(eui, name, fromMs, toMs, MAX_POINTS, &points, &problem)) {
        series->clear();
        caption->setText(name.isEmpty() ? tr("no history yet") : problem);
        return;
    }
    QVector<QPointF> line;
    line.reserve(points.points.size());
    double lowest = std::numeric_limits<double>::max();
    double highest = std::numeric_limits<double>::lowest();
    for (const SHistoryPoint &point : qAsConst(points.points)) {
        line.append(QPointF(double(point.timeMs), point.mean));
        lowest = qMin(lowest, point.min);
        highest = qMax(highest, point.max);
    }
    series->replace(line);
    timeAxis->setRange(QDateTime::fromMSecsSinceEpoch(fromMs), QDateTime::fromMSecsSinceEpoch(toMs));
    if (line.isEmpty()) {
        valueAxis->setRange(0, 1);
    } else {
        // A flat line sits in the middle rather than on the frame.
        const double margin = highest > lowest ? (highest - lowest) * 0.05 : qMax(1.0, qAbs(highest) * 0.05);
        valueAxis->setRange(lowest - margin, highest + margin);
    }
    valueAxis->setTitleText(trendAxisTitle(name, points.unit.isEmpty() ? units.value(name) : points.unit));
    caption->setText(points.bucketed ? tr("%1 buckets' means").arg(line.size()) : tr("%1 points").arg(line.size()));
}
