#pragma once

#include <QString>

class QSettings;

// The [web] group of settings.conf: where the console listens and how.
struct SWebSettings
{
    // Off unless [web] listen is set.
    bool enabled = false;
    // The address as written ("::" for [::]) and the port.
    QString host;
    quint16 port = 0;
    // HTTPS when both name PEM files.
    QString certFile;
    QString keyFile;
    bool allowPlainHttp = false;
    bool metricsPublic = false;
    bool metricsPerDevice = false;
    // A request whose next bytes do not come within this long is closed.
    int readTimeoutMs = 5000;

    bool tls() const { return !certFile.isEmpty(); }
    // "http://127.0.0.1:8080", "https://[::1]:8443".
    QString origin() const;
};

// Reads and checks [web]; false with a message naming the key when a value cannot be used.
bool readWebSettings(const QSettings &_settings, SWebSettings *_web, QString *_error);
