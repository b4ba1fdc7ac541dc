#pragma once

#include <QJsonValue>
#include <QList>
#include <QString>

// One step into a decoded object: a key of an object or an index of a list.
struct SPathStep
{
    bool isIndex = false;
    QString key;
    int index = 0;
};

// A path into a decoded object: dot-separated keys and [n] indices, ["key.with.dots"]
// for a key a dot would cut ("sensors[1].value", "[\"a.b\"].c"). Empty with _error set
// when the text is no such path.
QList<SPathStep> parseDecodedPath(const QString &_text, QString *_error);

// The value the path leads to; undefined where any step finds nothing.
QJsonValue valueAtPath(const QJsonValue &_root, const QList<SPathStep> &_path);

// The path's text again, keys that need it quoted: for messages naming a place in an object.
QString pathText(const QList<SPathStep> &_path);
