#include "store/cdatabasehandler.h"

#include <QAtomicInt>
#include <QDebug>
#include <QFileInfo>
#include <QMutexLocker>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QUrl>
#include <QVariant>

#include <sqlite3.h>

#include "app/ceui.h"
#include "app/logsink.h"
#include "store/cdevicetable.h"
#include "store/csqltransaction.h"
#include "store/cstoreschema.h"
#include "store/registerword.h"
#include "store/storecolumns.h"
#include "store/storesql.h"

using namespace StoreSql;

namespace {

// The first store keeps the name it always had; later ones (tests, tools) get their own.
QString nextConnectionName()
{
    static QAtomicInt created;
    const int number = created.fetchAndAddOrdered(1);
    return number == 0 ? DB_CONNECTION_NAME : QStringLiteral("%1-%2").arg(DB_CONNECTION_NAME).arg(number);
}

} // namespace

CDataBaseHandler::CDataBaseHandler(const QString &_fileName, int _busyTimeoutMs, CClock *_clock, CLogSink *_log)
    : fileName(_fileName)
    , busyTimeoutMs(_busyTimeoutMs)
    , clock(_clock)
    , log(_log ? _log : CLogSink::discard())
    , connectionName(nextConnectionName())
    , writer(new CStagedWriter(*this, image, imageMutex, _fileName, _clock, log))
{
}

CDataBaseHandler::~CDataBaseHandler()
{
    writer->stop();
    registerWriter.finish();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(connectionName);
}

bool CDataBaseHandler::open(QString *_error)
{
    // Every failure below is logged; the caller gets the lines as the reason.
    CLogRecorder recorder(log);
    CLogSink *const sink = std::exchange(log, &recorder);
    const bool opened = openTables();
    log = sink;
    if (!opened && _error)
        *_error = recorder.lines().isEmpty() ? QStringLiteral("unknown error") : recorder.lines().join(QLatin1Char('\n'));
    return opened;
}

bool CDataBaseHandler::openConnection(bool _readOnly)
{
    if (!db.isValid())
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    if (!_readOnly) {
        db.setDatabaseName(fileName);
        // A second process writing the same file makes us wait instead of fail.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
    } else if (QFileInfo(fileName).isFile()) {
        // Nothing may be created beside the file, not even the write-ahead log's index.
        db.setDatabaseName(QUrl::fromLocalFile(QFileInfo(fileName).absoluteFilePath()).toString()
                           + QStringLiteral("?immutable=1"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI"));
    } else {
        db.setDatabaseName(QStringLiteral(":memory:"));
        db.setConnectOptions(QString());
    }
    if (db.open())
        return true;
    logBoth(log, QStringLiteral("CRITICAL_ERROR! Data base hasn't been created/opened! Error_text[%1]. "
                           "DataBaseHandler is not running!")
                .arg(db.lastError().text()));
    return false;
}

bool CDataBaseHandler::isReadOnly()
{
    QMutexLocker locker(&mutex);
    return readOnly;
}

bool CDataBaseHandler::openTables()
{
    QString reason;
    if (!CStoreSchema::checkWritable(fileName, &reason)) {
        if (!readOnlyFallback) {
            logBoth(log, reason + QStringLiteral(" Nothing could be saved. DataBaseHandler is not running!"));
            return false;
        }
        readOnly = true;
        readOnlyReason = reason;
        logBoth(log, QStringLiteral("ERROR: [CDataBaseHandler] %1 Serving the stored values; new values are served from "
                               "memory and nothing is saved until the folder can be written again")
                    .arg(reason));
    }
    if (!openConnection(readOnly))
        return false;
    // Nothing is written before the file has proved to be an intact store of ours:
    // a damaged page would otherwise be served as zeros, another program's database changed.
    CStoreSchema schema(db, fileName, log);
    if (!schema.checkIntact() || !schema.checkSchema())
        return false;
    // A file that cannot be written is served as it is.
    const bool fileAsItIs = readOnly && QFileInfo(fileName).isFile();
    if (!fileAsItIs && !schema.createTables())
        return false;
    QString loadError;
    QMutexLocker imageLocker(&imageMutex);
    if (!image.load(db, &loadError)) {
        logBoth(log, QStringLiteral("CRITICAL_ERROR! Data base \"%1\" is not readable! Error_text[%2]. "
                               "DataBaseHandler is not running!")
                    .arg(fileName, loadError));
        return false;
    }
    QString prepareError;
    if (!prepareRegisterWriter(&prepareError)) {
        logBoth(log, QStringLiteral("CRITICAL_ERROR! Data base \"%1\" is not writable! Error_text[%2]. "
                               "DataBaseHandler is not running!")
                    .arg(fileName, prepareError));
        return false;
    }
    writer->start();
    return true;
}

bool CDataBaseHandler::regainWriting()
{
    QString reason;
    if (!CStoreSchema::checkWritable(fileName, &reason)) {
        readOnlyReason = reason;
        return false;
    }
    registerWriter.finish();
    db.close();
    QString error;
    const auto reopened = [this, &error] {
        if (!openConnection(false))
            return false;
        CStoreSchema schema(db, fileName, log);
        return schema.checkIntact() && schema.checkSchema() && schema.createTables() && prepareRegisterWriter(&error);
    };
    if (!reopened()) {
        // Back to what served so far.
        registerWriter.finish();
        db.close();
        openConnection(true);
        prepareRegisterWriter(&error);
        return false;
    }
    readOnly = false;
    log->addLine(QStringLiteral("INFO: [CDataBaseHandler] \"%1\" can be written again").arg(fileName));
    return true;
}

bool CDataBaseHandler::writingWorks()
{
    if (!readOnly)
        return true;
    const qint64 now = clock->nowMs();
    if (now - lastRegainMs < REGAIN_INTERVAL_MS)
        return false;
    lastRegainMs = now;
    return regainWriting();
}

bool CDataBaseHandler::prepareRegisterWriter(QString *_error)
{
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0) {
        *_error = QStringLiteral("no SQLite connection");
        return false;
    }
    return registerWriter.prepare(
        *static_cast<sqlite3 *const *>(handle.constData()),
        sqlText(QStringLiteral("UPDATE %1 SET %2=?1, %3=?2, %4=?3 WHERE %5=?4 AND %6=?5;"),
                {DB_TABLE_DEV_DATA, registerColumn(REG_COL_VALUE), registerColumn(REG_COL_FULL_VALUE), registerColumn(REG_COL_TIME),
                 registerColumn(REG_COL_DEVICE), registerColumn(REG_COL_REG_ADDR)}),
        sqlText(QStringLiteral("UPDATE %1 SET %2=?1, %3=?2, %4=?3, %5=?4, %6=?5 WHERE %7=?6;"),
                {DB_TABLE_DEVICES, addedColumn(DEV_COL_UPLINKS), addedColumn(DEV_COL_LOST), addedColumn(DEV_COL_ERRORS),
                 addedColumn(DEV_COL_LAST_FCNT), addedColumn(DEV_COL_LAST_UPLINK), deviceColumn(DEV_COL_DEVICE)}),
        _error);
}

bool CDataBaseHandler::registerNewDevice(const DB::SDeviceRegMapDescription &_info, const uint16_t &_port)
{
    return registerNewDevices({ { _info, _port } });
}

bool CDataBaseHandler::registerNewDevices(const QList<QPair<DB::SDeviceRegMapDescription, uint16_t>> &_devices)
{
    QMutexLocker locker(&mutex);
    const QString origin = QStringLiteral("[CDataBaseHandler::registerNewDevice]");
    for (const auto &device : _devices) {
        if (device.first.registers.isEmpty()) {
            log->addLine(QStringLiteral("ERROR: %1 Device [%2] has no registers!").arg(origin, device.first.devEui));
            return false;
        }
    }
    CSqlTransaction transaction(db, log);
    if (!transaction.begin(origin))
        return false;
    QList<QList<QPair<qint64, SRegisterParam>>> rows;
    QList<uint32_t> ids;
    for (const auto &device : _devices) {
        rows.append(QList<QPair<qint64, SRegisterParam>>());
        ids.append(0);
        if (!CDeviceTable(db, log).insertDevice(device.first, device.second, &rows.last(), &ids.last()))
            return false;
    }
    if (!transaction.commit(origin))
        return false;
    for (int i = 0; i < _devices.size(); ++i)
        addToImage(ids.at(i), _devices.at(i).first, _devices.at(i).second, rows.at(i));
    return true;
}

void CDataBaseHandler::addToImage(uint32_t _deviceId, const DB::SDeviceRegMapDescription &_info, uint16_t _port,
                                  const QList<QPair<qint64, SRegisterParam>> &_rows)
{
    QMutexLocker imageLocker(&imageMutex);
    image.addDevice(_deviceId, _info.devEui, _port, _info);
    for (const auto &row : _rows) {
        image.addRegister(_deviceId, row.first);
        image.setDeviceWord(_deviceId, row.first, 0);
    }
}

bool CDataBaseHandler::reload()
{
    QMutexLocker locker(&mutex);
    QString error;
    QMutexLocker imageLocker(&imageMutex);
    if (image.load(db, &error))
        return true;
    logBoth(log, QStringLiteral("ERROR: [CDataBaseHandler::reload] Data base \"%1\" is not readable! Error_text[%2]")
                .arg(fileName, error));
    return false;
}

bool CDataBaseHandler::saveRegisterData(const SDeviceRegData &_data)
{
    return saveRegisterBatch({ _data });
}

bool CDataBaseHandler::saveRegisterBatch(const QList<SDeviceRegData> &_batch)
{
    const quint64 ticket = stageRegisterBatch(_batch);
    return ticket != 0 && waitForWrite(ticket);
}

quint64 CDataBaseHandler::stageRegisterBatch(const QList<SDeviceRegData> &_batch)
{
    return writer->stage(_batch);
}

bool CDataBaseHandler::waitForWrite(quint64 _ticket)
{
    return writer->waitForWrite(_ticket);
}

bool CDataBaseHandler::commitWrite(const SStagedWrite &_write, QString *_error)
{
    QMutexLocker locker(&mutex);
    // An empty store in memory would take the write: it must not pass for saved.
    if (!writingWorks()) {
        *_error = readOnlyReason;
        return false;
    }
    int code = 0;
    return registerWriter.write(_write, _error, &code);
}

void CDataBaseHandler::retryWriting()
{
    QMutexLocker locker(&mutex);
    if (!writingWorks())
        log->addLine(QStringLiteral("ERROR: [CDataBaseHandler] Nothing can be saved: %1").arg(readOnlyReason));
}

SRegisterParam CDataBaseHandler::getRegisterParam(const QString &_devEui, const uint32_t &_regAddr)
{
    QMutexLocker locker(&mutex);
    SRegisterParam found;
    if (!CDeviceTable(db, log).registerParam(_devEui, _regAddr, &found)) {
        log->addLine(QStringLiteral("ERROR: [CDataBaseHandler::getRegisterParam] Register is not exist!"));
        log->addLine(QStringLiteral("    DevEUI [%1], regAddr [%2]").arg(_devEui).arg(_regAddr));
        return SRegisterParam();
    }
    return found;
}

QMap<uint16_t, uint16_t> CDataBaseHandler::getRegisterData(const int32_t &_port, const int32_t &_startAddr,
                                                           const int32_t &_count)
{
    if (_count <= 0)
        return QMap<uint16_t, uint16_t>();
    QMutexLocker locker(&imageMutex);
    return image.words(uint16_t(_port), _startAddr, _count);
}

EReadStatus CDataBaseHandler::readRegisters(uint16_t _port, uint8_t _unit, int _first, int _count, uint16_t *_words)
{
    QMutexLocker locker(&imageMutex);
    // Most ports hold unit-0 devices without computed registers: a straight copy.
    if (image.isPlainPort(_port)) {
        image.copyWords(_port, _first, _count, _words);
        return EReadStatus::OK;
    }
    const SRegisterRead read = image.read(_port, _unit, _first, _count, clock->epochMs());
    if (read.status != EReadStatus::OK)
        return read.status;
    int k = 0;
    for (auto it = read.words.cbegin(); it != read.words.cend() && k < _count; ++it)
        _words[k++] = it.value();
    return EReadStatus::OK;
}

uint16_t CDataBaseHandler::registerWord(const QString &_value)
{
    return ::registerWord(_value);
}

QVector<QSqlRecord> CDataBaseHandler::getDevices(const QString &_search)
{
    QMutexLocker locker(&mutex);
    return CDeviceTable(db, log).devices(_search);
}

QVector<QSqlRecord> CDataBaseHandler::getRegisters(const uint32_t &_deviceId)
{
    QMutexLocker locker(&mutex);
    return CDeviceTable(db, log).registers(_deviceId);
}

QVector<QSqlRecord> CDataBaseHandler::getDeviceRows()
{
    QMutexLocker locker(&mutex);
    return CDeviceTable(db, log).deviceRows();
}

QList<SStoredDevice> CDataBaseHandler::getStoredDevices(bool _scaling)
{
    QMutexLocker locker(&mutex);
    CDeviceTable table(db, log);
    QList<SStoredDevice> devices = table.storedDevices();
    if (_scaling) {
        const QHash<QString, QVector<SRegisterScale>> scaled = table.scaledRegisters(QString());
        if (!scaled.isEmpty()) {
            for (SStoredDevice &device : devices)
                device.scaled = scaled.value(CEui(device.device.devEui).text());
        }
    }
    return devices;
}

QHash<QString, QVector<SRegisterScale>> CDataBaseHandler::getScaledRegisters(const QString &_devEui)
{
    QMutexLocker locker(&mutex);
    return CDeviceTable(db, log).scaledRegisters(_devEui);
}

QStringList CDataBaseHandler::getRegisteredDevices()
{
    QMutexLocker locker(&mutex);
    return CDeviceTable(db, log).registeredDevices();
}

bool CDataBaseHandler::isDeviceWritable(const QString &_devEui)
{
    QMutexLocker locker(&mutex);
    return CDeviceTable(db, log).isWritable(_devEui);
}

bool CDataBaseHandler::setDeviceWritable(const QString &_devEui, bool _writable)
{
    QMutexLocker locker(&mutex);
    return CDeviceTable(db, log).setWritable(_devEui, _writable);
}

bool CDataBaseHandler::updateRegInfo(const SDeviceRegUpdate &_update)
{
    QMutexLocker locker(&mutex);
    const QString origin = QStringLiteral("[CDataBaseHandler::updateRegInfo]");
    CSqlTransaction transaction(db, log);
    if (!transaction.begin(origin) || !CDeviceTable(db, log).updateRegisters(_update) || !transaction.commit(origin))
        return false;
    QMutexLocker imageLocker(&imageMutex);
    // New settings are read back whole: a new unit moves the device's words to that unit's.
    QString reloadError;
    if (_update.hasSettings && !image.load(db, &reloadError))
        log->addLine(QStringLiteral("ERROR: %1 Register values are not reloaded: %2").arg(origin, reloadError));
    return true;
}

bool CDataBaseHandler::deleteDevice(const uint32_t &_deviceId)
{
    QMutexLocker locker(&mutex);
    const QString origin = QStringLiteral("[CDataBaseHandler::deleteDevice]");
    uint16_t port = 0;
    {
        QMutexLocker imageLocker(&imageMutex);
        port = image.devicePort(_deviceId);
    }
    CSqlTransaction transaction(db, log);
    if (!transaction.begin(origin) || !CDeviceTable(db, log).deleteDevice(_deviceId) || !transaction.commit(origin))
        return false;
    QMutexLocker imageLocker(&imageMutex);
    if (!image.removeDevice(db, _deviceId))
        log->addLine(QStringLiteral("ERROR: %1 Register values of port are not reloaded").arg(origin));
    // The port's words came back from the file: the values it has not taken yet still count.
    writer->forgetDevice(_deviceId, port);
    return true;
}

void CDataBaseHandler::setClock(CClock *_clock)
{
    QMutexLocker locker(&mutex);
    clock = _clock;
    writer->setClock(_clock);
}

SRegisterRead CDataBaseHandler::readRegisters(uint16_t _port, uint8_t _unit, int32_t _first, int32_t _count)
{
    if (_count <= 0)
        return SRegisterRead();
    QMutexLocker locker(&imageMutex);
    return image.read(_port, _unit, _first, _count, clock->epochMs());
}

SDeviceCounters CDataBaseHandler::getDeviceCounters(const QString &_devEui)
{
    QMutexLocker imageLocker(&imageMutex);
    uint32_t deviceId = 0;
    return image.findDevice(_devEui, &deviceId) ? image.counters(deviceId) : SDeviceCounters();
}

bool CDataBaseHandler::saveDeviceCounters(const QString &_devEui, const SDeviceCounters &_counters)
{
    const QString origin = QStringLiteral("[CDataBaseHandler::saveDeviceCounters]");
    QMutexLocker imageLocker(&imageMutex);
    uint32_t deviceId = 0;
    if (!image.findDevice(_devEui, &deviceId)) {
        log->addLine(QStringLiteral("ERROR: %1 Uncknown DevEUI [%2]").arg(origin, _devEui));
        return false;
    }
    image.setCounters(deviceId, _counters);
    // Written with the next write of register values, in its transaction.
    writer->stageCounters(deviceId, _counters);
    return true;
}

void CDataBaseHandler::setAgeRegisters(const QString &_devEui, const QList<QPair<qint64, int>> &_registers)
{
    QMutexLocker imageLocker(&imageMutex);
    uint32_t deviceId = 0;
    if (image.findDevice(_devEui, &deviceId))
        image.setAgeRegisters(deviceId, _registers);
}

bool CDataBaseHandler::isDeviceStale(const QString &_devEui)
{
    QMutexLocker imageLocker(&imageMutex);
    uint32_t deviceId = 0;
    return image.findDevice(_devEui, &deviceId) && image.isStale(deviceId, clock->epochMs());
}
