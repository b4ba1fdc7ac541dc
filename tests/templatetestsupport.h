#pragma once

// What the template tests share: a registry over the test's own folder, template texts built
// from parts, and the log of the test's working directory.

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "app/clogfile.h"
#include "app/constants.h"
#include "app/globaltables.h"
#include "devices/calldevicehandler.h"
#include "devices/devicetemplate.h"

// The registry is a singleton in the program; tests build fresh ones over their own directories.
class TestHandler : public CAllDeviceHandler
{
public:
    TestHandler()
        : CAllDeviceHandler(nullptr, QDir::current().filePath(DEVICE_FOLDER), CClock::system(), SModbusLimits(),
                            loggingContext())
    {
    }
    static STemplateContext loggingContext()
    {
        STemplateContext context;
        context.log = CLogFile::getInstance(QString());
        return context;
    }
    void rescan() { loadTemplates(); }
    const QMap<QString, SLoadedTemplate> &loaded() const { return templates; }
};

inline QJsonObject parse(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object();
}

// A minimal valid template around a packet list.
inline QByteArray templateWith(const QByteArray &appEui, const QByteArray &devType, const QByteArray &packets,
                               const QByteArray &extra = QByteArray())
{
    return "{ \"app_eui\": \"" + appEui + "\", \"dev_type\": \"" + devType + "\", \"device_packets\": " + packets
        + extra + " }";
}

inline QByteArray fieldNamed(const QByteArray &name)
{
    return R"({ "packet_bias": 1, "data_bit_bias": 0, "data_bit_size": 16, "data_type": "integer",
                "reg_map_bias": 0, "reg_bit_bias": 0, "reg_bit_size": 16, "data_name": ")"
        + name + "\" }";
}
inline const QByteArray goodField = fieldNamed("T");

inline QByteArray packetOf(int type, int size, const QByteArray &fieldName = "T")
{
    return "{ \"packet_type\": " + QByteArray::number(type) + ", \"packet_size\": " + QByteArray::number(size)
        + ", \"packet_fields\": [" + fieldNamed(fieldName) + "] }";
}

// A valid template of one 7-byte packet with one field, and one server value, each
// with some keys replaced.
inline QByteArray templateOverriding(const QJsonObject &fieldKeys, const QJsonObject &packetKeys = QJsonObject(),
    const QJsonObject &serverKeys = QJsonObject(), const QJsonObject &topKeys = QJsonObject())
{
    QJsonObject field = parse(fieldNamed("T"));
    for (auto it = fieldKeys.begin(); it != fieldKeys.end(); ++it)
        field.insert(it.key(), it.value());
    QJsonObject packet { { "packet_type", 1 }, { "packet_size", 7 }, { "packet_fields", QJsonArray { field } } };
    for (auto it = packetKeys.begin(); it != packetKeys.end(); ++it)
        packet.insert(it.key(), it.value());
    QJsonObject server { { "data_code", "ts" }, { "reg_map_bias", 4 }, { "reg_bit_bias", 0 }, { "reg_bit_size", 32 },
        { "data_name", "Time" } };
    for (auto it = serverKeys.begin(); it != serverKeys.end(); ++it)
        server.insert(it.key(), it.value());
    QJsonObject top { { "app_eui", "aa00000000000001" }, { "dev_type", "Probe" },
        { "device_packets", QJsonArray { packet } }, { "server_data", QJsonArray { server } } };
    for (auto it = topKeys.begin(); it != topKeys.end(); ++it)
        top.insert(it.key(), it.value());
    return QJsonDocument(top).toJson(QJsonDocument::Compact);
}

// Each test function runs in a fresh folder; the log lines it caused are kept.
class CTemplateTestCase : public QObject
{
protected:
    QTemporaryDir logDir;
    QString startDir;
    QScopedPointer<QTemporaryDir> workDir;
    QScopedPointer<QSignalSpy> logSpy;

    bool writeFile(const QString &name, const QByteArray &content)
    {
        QDir().mkpath(DEVICE_FOLDER);
        QFile file(DEVICE_FOLDER + QStringLiteral("/") + name);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }

    QStringList logLines() const
    {
        QStringList lines;
        for (const QList<QVariant> &args : *logSpy)
            lines << args.at(0).toString();
        return lines;
    }

    // Log entries are "[time]text".
    bool logged(const QString &text) const
    {
        for (const QString &line : logLines()) {
            if (line.endsWith(QStringLiteral("]") + text))
                return true;
        }
        return false;
    }

    void startLog()
    {
        fillGlobalTables();
        QVERIFY(logDir.isValid());
        startDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(logDir.path()));
        CLogFile::getInstance(QStringLiteral("history.log"));
        QVERIFY(QDir::setCurrent(startDir));
    }

    void enterFreshFolder()
    {
        workDir.reset(new QTemporaryDir);
        QVERIFY(workDir->isValid());
        QVERIFY(QDir::setCurrent(workDir->path()));
        logSpy.reset(new QSignalSpy(CLogFile::getInstance(QString()), &CLogFile::addLogSignal));
    }

    void leaveFolder()
    {
        QDir::setCurrent(startDir);
        logSpy.reset();
        workDir.reset();
    }
};
