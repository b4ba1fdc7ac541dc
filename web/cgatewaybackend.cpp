#include "web/cgatewaybackend.h"

#include <QFile>
#include <QHash>
#include <QMetaObject>
#include <QMutexLocker>
#include <QSqlRecord>
#include <QThread>

#include <algorithm>
#include <chrono>

#include "app/ceui.h"
#include "app/clogfile.h"
#include "app/globaltables.h"
#include "app/registertext.h"
#include "app/timetext.h"
#include "gateway/cgateway.h"
#include "gateway/devicefiles.h"
#include "gateway/deviceinput.h"
#include "gateway/registermap.h"
#include "store/cgatewaycounters.h"
#include "store/chistoryreader.h"
#include "store/storecolumns.h"
#include "web/backendsupport.h"

using namespace WebBackend;

CGatewayBackend::CGatewayBackend(CGateway *_gateway, CGatewayCounters *_counters, const QString &_logFile)
    : gateway(_gateway)
    , counters(_counters)
    , logFile(_logFile)
    , startedMs(_gateway->clock()->epochMs())
{
    const auto changed = [this] { ++changes; };
    connect(gateway, &CGateway::newDataForDevice, this, changed);
    connect(gateway, &CGateway::devicesChanged, this, [this] {
        rowsStale = true;
        ++changes;
    });
    serverStatus = gateway->serverStatus();
    connect(gateway, &CGateway::serverStatusChanged, this, [this](COMM::EServerStatus _status) {
        serverStatus = _status;
        ++changes;
    });
    connect(gateway, &CGateway::storeStatusChanged, this, [this](bool _saving, const QString &_reason) {
        QMutexLocker locker(&stateMutex);
        saving = _saving;
        savingProblem = _reason;
        ++changes;
    });
    // Counted on the writer's thread as it writes; the line is read from the file.
    connect(CLogFile::getInstance(QString()), &CLogFile::addLogSignal, this, [this] { ++logLinesSeen; },
            Qt::DirectConnection);
}

void CGatewayBackend::stop()
{
    stopping = true;
    std::lock_guard<std::mutex> locker(waitMutex);
    waitDone.notify_all();
}

bool CGatewayBackend::onGateway(const std::function<void()> &_work)
{
    if (thread() == QThread::currentThread()) {
        _work();
        return true;
    }
    // The work may refer to the worker's stack: once the worker gives up, it must not run, and
    // once it runs, the worker waits for its end.
    struct SCall
    {
        bool started = false;
        bool done = false;
        bool abandoned = false;
    };
    auto call = std::make_shared<SCall>();
    // Queued to this object: a call still waiting when the console goes is dropped with it.
    QMetaObject::invokeMethod(this, [this, _work, call] {
        {
            std::lock_guard<std::mutex> locker(waitMutex);
            if (call->abandoned || stopping)
                return;
            call->started = true;
        }
        _work();
        std::lock_guard<std::mutex> locker(waitMutex);
        call->done = true;
        waitDone.notify_all();
    }, Qt::QueuedConnection);
    std::unique_lock<std::mutex> locker(waitMutex);
    waitDone.wait_for(locker, std::chrono::milliseconds(GATEWAY_WAIT_MS), [&] { return call->done || stopping; });
    if (call->started)
        waitDone.wait(locker, [&] { return call->done; });
    call->abandoned = true;
    return call->done;
}

CGatewayBackend::Rows CGatewayBackend::rows()
{
    {
        QMutexLocker locker(&stateMutex);
        if (!rowsStale && cachedRows)
            return cachedRows;
    }
    auto fresh = std::make_shared<QVector<SDeviceRow>>();
    const bool read = onGateway([this, fresh] {
        rowsStale = false;
        QHash<QString, quint32> ids;
        for (const QSqlRecord &record : gateway->devices(QString()))
            ids.insert(CEui(record.value(DEV_COL_DEV_EUI).toString()).text(), record.value(DEV_COL_DEVICE).toUInt());
        for (const auto &stored : gateway->storedDevices())
            fresh->append({ ids.value(CEui(stored.first.devEui).text()), stored.first, stored.second,
                            gateway->templateInfo(stored.first.appEui).devType });
    });
    QMutexLocker locker(&stateMutex);
    if (read)
        cachedRows = fresh;
    return cachedRows ? cachedRows : std::make_shared<const QVector<SDeviceRow>>();
}

bool CGatewayBackend::findRow(const QString &_devEui, SDeviceRow *_row)
{
    const CEui wanted(_devEui);
    // Held here: another worker may replace the cached list meanwhile.
    const Rows stored = rows();
    for (const SDeviceRow &row : *stored) {
        if (CEui(row.device.devEui) == wanted) {
            *_row = row;
            return true;
        }
    }
    return false;
}

QJsonObject CGatewayBackend::status()
{
    const qint64 now = gateway->clock()->epochMs();
    quint64 requests = 0;
    quint64 refusedTotal = 0;
    for (int function = 0; function < 256; ++function)
        requests += counters->modbusRequestCount(quint8(function));
    for (int reason = 0; reason < CGatewayCounters::REFUSAL_COUNT; ++reason)
        refusedTotal += counters->refused(CGatewayCounters::ERefusal(reason));
    QMutexLocker locker(&stateMutex);
    // The rate over at least a second since the last look.
    if (rateSampleMs == 0 || now - rateSampleMs >= 1000) {
        if (rateSampleMs != 0)
            requestRate = double(requests - rateSampleRequests) * 1000.0 / double(now - rateSampleMs);
        rateSampleMs = now;
        rateSampleRequests = requests;
    }
    return QJsonObject {
        { "version", QStringLiteral(KELVARA_VERSION) },
        { "serverKind", serverKindName(gateway->serverKind()) },
        { "serverStatus", serverStatusName(serverStatus) },
        { "uptimeSeconds", double((now - startedMs) / 1000) },
        { "uplinksLastMinute", counters->uplinksWithin(now, 60 * 1000) },
        { "uplinksLastHour", counters->uplinksWithin(now, 3600 * 1000) },
        { "uplinksRefused", double(refusedTotal) },
        { "modbusRequestsPerSecond", requestRate },
        { "modbusConnections", gateway->modbusConnectionCount() },
        { "saving", saving },
        { "savingProblem", savingProblem },
    };
}

QJsonArray CGatewayBackend::templates()
{
    QJsonArray list;
    onGateway([this, &list] {
        for (const SDeviceTemplateInfo &info : gateway->templates())
            list.append(QJsonObject { { "template", info.devType }, { "appEui", info.appEui } });
    });
    return list;
}

QString CGatewayBackend::registerMap(bool _markdown)
{
    QString text;
    onGateway([&] {
        const QList<SRegisterMapRow> map = ::registerMap(*gateway);
        text = _markdown ? registerMapMarkdown(map) : registerMapCsv(map);
    });
    return text;
}

QString CGatewayBackend::exportDevices(bool _json)
{
    QString text;
    onGateway([&] { text = exportedDevices(*gateway, _json); });
    return text;
}

QStringList CGatewayBackend::logLines(int _count)
{
    QFile file(logFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const qint64 from = std::max<qint64>(0, file.size() - LOG_TAIL_BYTES);
    file.seek(from);
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    // A tail read from the middle of the file starts with a piece of a line.
    if (from > 0 && !lines.isEmpty())
        lines.removeFirst();
    return lines.mid(std::max(0, int(lines.size()) - _count));
}

