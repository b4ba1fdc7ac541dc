#pragma once

// What every benchmark program needs around the gateway it measures.

#include <QFile>
#include <QString>

#include <cstdio>

// The per-request and per-uplink debug lines would measure the terminal: only the rest is printed.
inline void dropDebug(QtMsgType _type, const QMessageLogContext &, const QString &_message)
{
    if (_type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(_message));
}

// Resident memory of this process in KiB, -1 when unknown.
inline long residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}
