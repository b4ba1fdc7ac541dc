#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include "devices/codecengine.h"
#include "devices/decodedpath.h"

// One uplink example of a codec and what it must decode to.
struct SCodecExample
{
    QString name;
    int fPort = 1;
    QByteArray bytes;
    // The codec must refuse the uplink (a device repository example with output.errors).
    bool expectErrors = false;
    // A device repository example: the whole decoded object.
    bool whole = false;
    QJsonValue data;
    // A template example: values at paths into the decoded object.
    QList<QPair<QString, QJsonValue>> expect;
};

// A template's "examples" of a decoder template: {"f_port", "payload" (hex), "expect" {path: value}}.
// Problems name the example and key.
QList<SCodecExample> readTemplateExamples(const QJsonValue &_examples, QStringList *_problems);

// The uplinkDecoder.examples of a device repository codec definition (YAML): input.fPort,
// input.bytes, output.data or output.errors. False with the reason when the text is no such file.
bool readCodecExamplesYaml(const QByteArray &_text, QList<SCodecExample> *_examples, QString *_error);

// The first place where the decoded value differs from the expected one, as "path: expected
// [x], decoded [y]"; empty when they agree (numbers to within 1e-6 of their size).
QString firstDifference(const QJsonValue &_expected, const QJsonValue &_decoded, const QString &_path);

// Why the codec's result fails the example; empty when it passes.
QString exampleProblem(const SCodecExample &_example, const SCodecResult &_result);
