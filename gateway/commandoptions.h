#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// --name value pairs of a command, each option at most once; anything else is positional.
bool readOptions(const QStringList &_arguments, const QStringList &_withValue, const QStringList &_flags,
                 QMap<QString, QString> *_options, QStringList *_positional, QString *_error);
