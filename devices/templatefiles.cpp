#include "devices/devicetemplate.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>

#include <algorithm>

#include "app/globaltables.h"
#include "devices/ccodecrunner.h"
#include "devices/codecexamples.h"
#include "devices/templateparsing.h"
#include "devices/uplinkdecoder.h"
#include "app/logsink.h"

using namespace TemplateParsing;

namespace {

// A file the template names, inside the template's folder; empty with _problem set otherwise.
QString fileInFolder(const QString &_dirPath, const QString &_name, const QString &_key, QList<STemplateProblem> &_problems)
{
    const QString folder = QFileInfo(_dirPath).canonicalFilePath();
    const QFileInfo file(QDir(_dirPath).filePath(_name));
    const QString path = file.canonicalFilePath();
    if (QDir::isAbsolutePath(_name) || path.isEmpty() || folder.isEmpty()
        || !path.startsWith(folder + QLatin1Char('/'))) {
        addProblem(_problems, _key, TEMPLATE_KEY_DECODER,
            path.isEmpty() && !QDir::isAbsolutePath(_name) && !_name.contains(QStringLiteral(".."))
                ? QStringLiteral("[%1] does not exist").arg(_name)
                : QStringLiteral("[%1] is not a file inside the template folder").arg(_name));
        return QString();
    }
    return path;
}

// A decoder template's codec loaded and its examples run; each outcome goes to _outcomes.
void checkDecoder(SDeviceTemplate &_template, const QString &_dirPath, const STemplateContext &_context,
    QList<STemplateProblem> &_problems, QList<SExampleOutcome> *_outcomes)
{
    SDecoder &decoder = _template.decoder;
    if (decoder.network) {
        if (!_context.serverDecodes)
            addProblem(_problems, DECODER_KEY_NETWORK, TEMPLATE_KEY_DECODER,
                QStringLiteral("the network server's decoded object needs ChirpStack or The Things Stack; the "
                               "WebSocket server sends none"));
        if (!_template.examples.isUndefined())
            addProblem(_problems, TEMPLATE_KEY_EXAMPLES, TEMPLATE_KEY_EXAMPLES,
                QStringLiteral("examples need a codec; the network server decodes this template's payloads"));
        return;
    }
    decoder.codecPath = fileInFolder(_dirPath, decoder.codec, DECODER_KEY_CODEC, _problems);
    if (decoder.codecPath.isEmpty())
        return;
    if (!_context.codecs) {
        addProblem(_problems, DECODER_KEY_CODEC, TEMPLATE_KEY_DECODER, QStringLiteral("no codec runtime here"));
        return;
    }
    const QString loadError = _context.codecs->load(decoder.codecPath);
    if (!loadError.isEmpty()) {
        addProblem(_problems, DECODER_KEY_CODEC, TEMPLATE_KEY_DECODER, loadError);
        return;
    }
    for (const SDownlinkCommand &command : _template.downlinks) {
        if (!command.encode.isEmpty() && !_context.codecs->canEncode(decoder.codecPath)) {
            addProblem(_problems, COMMAND_KEY_ENCODE, QStringLiteral("downlink [%1]").arg(command.dataName),
                QStringLiteral("codec [%1] has no encodeDownlink").arg(decoder.codec));
            break;
        }
    }

    QStringList readProblems;
    QList<SCodecExample> examples = readTemplateExamples(_template.examples, &readProblems);
    for (const QString &problem : readProblems)
        addProblem(_problems, TEMPLATE_KEY_EXAMPLES, TEMPLATE_KEY_EXAMPLES, problem);
    if (!decoder.examples.isEmpty()) {
        decoder.examplesPath = fileInFolder(_dirPath, decoder.examples, TEMPLATE_KEY_EXAMPLES, _problems);
        if (decoder.examplesPath.isEmpty())
            return;
        QFile file(decoder.examplesPath);
        QList<SCodecExample> fromFile;
        QString error;
        if (file.size() > MAX_TEMPLATE_FILE_SIZE)
            error = QStringLiteral("larger than [%1] bytes").arg(MAX_TEMPLATE_FILE_SIZE);
        else if (!file.open(QIODevice::ReadOnly))
            error = file.errorString();
        else
            readCodecExamplesYaml(file.readAll(), &fromFile, &error);
        if (!error.isEmpty()) {
            addProblem(_problems, TEMPLATE_KEY_EXAMPLES, TEMPLATE_KEY_DECODER,
                QStringLiteral("[%1]: %2").arg(decoder.examples, error));
            return;
        }
        for (SCodecExample &example : fromFile)
            example.name = decoder.examples + QStringLiteral(" ") + example.name;
        examples += fromFile;
    }
    for (const SCodecExample &example : qAsConst(examples)) {
        const SCodecResult result
            = _context.codecs->decode(decoder.codecPath, example.fPort, example.bytes, EXAMPLE_RECEIVED_MS);
        const QString problem = exampleProblem(example, result);
        if (_outcomes)
            _outcomes->append(SExampleOutcome { example.name, problem });
        if (!problem.isEmpty())
            addProblem(_problems, TEMPLATE_KEY_EXAMPLES, example.name, problem);
    }
}

// Reads, parses and checks one file. Problems of the file itself carry the log
// line's exact text and no key.
SDeviceTemplate readTemplateFile(const QString &_dirPath, const QString &_fileName, QList<STemplateProblem> &_problems,
    const STemplateContext &_context, QList<SExampleOutcome> *_outcomes)
{
    const auto fileProblem = [&](const QString &_text) {
        _problems.append(STemplateProblem { _fileName, QString(), _text });
        return SDeviceTemplate();
    };
    const QString path = _dirPath + QStringLiteral("/") + _fileName;
    QFile file(path);
    if (!file.exists())
        return fileProblem(QStringLiteral("File [%1] is not exist").arg(_fileName));
    // Checked before reading: parsing a huge file costs about ten times its size.
    if (file.size() > MAX_TEMPLATE_FILE_SIZE)
        return fileProblem(QStringLiteral("WARNING: [CAllDeviceHandler] File [%1] of [%2] bytes is larger than "
                                          "[%3] bytes, skipped")
                               .arg(_fileName)
                               .arg(file.size())
                               .arg(MAX_TEMPLATE_FILE_SIZE));
    if (!file.open(QIODevice::ReadOnly))
        return fileProblem(QStringLiteral("File [%1] is not opened").arg(_fileName));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError)
        return fileProblem(QStringLiteral("ERROR: [CAllDeviceHandler] Invalid parsing JSON file [%1]: error[%2], row[%3]")
                               .arg(path, error.errorString())
                               .arg(error.offset));
    if (document.isEmpty())
        return fileProblem(QStringLiteral("File [%1] is not contans JSON document").arg(_fileName));
    SDeviceTemplate parsed(document.object());
    if (parsed.valid && parsed.hasDecoder)
        checkDecoder(parsed, _dirPath, _context, parsed.problems, _outcomes);
    if (!parsed.problems.isEmpty() && parsed.valid) {
        parsed.valid = false;
        parsed.decodedFields.clear();
        parsed.serverData.clear();
        parsed.downlinks.clear();
    }
    for (STemplateProblem problem : parsed.problems) {
        problem.file = _fileName;
        _problems.append(problem);
    }
    return parsed;
}

} // namespace

namespace {

// Why a file without one of the required keys loads nothing; the record parsers say which
// key on the debug output only.
QString noValidTemplate(const QString &_fileName)
{
    return QStringLiteral("File [%1] holds no valid template: it needs app_eui, dev_type and a packet with a valid "
                          "field, or a decoder with decoded_fields")
        .arg(_fileName);
}

} // namespace

SDeviceTemplate loadTemplateFile(const QString &_dirPath, const QString &_fileName, const STemplateContext &_context)
{
    QList<STemplateProblem> problems;
    const SDeviceTemplate parsed = readTemplateFile(_dirPath, _fileName, problems, _context, nullptr);
    CLogSink *log = _context.log ? _context.log : CLogSink::discard();
    for (const QString &note : parsed.notes)
        log->addLine(note);
    for (const STemplateProblem &problem : problems) {
        if (problem.key.isEmpty())
            log->addLine(problem.text);
        else
            log->addLine(QStringLiteral("ERROR: [CAllDeviceHandler] Template file [%1] refused, key [%2]: %3")
                             .arg(problem.file, problem.key, problem.text));
    }
    if (!parsed.valid && problems.isEmpty())
        log->addLine(QStringLiteral("WARNING: [CAllDeviceHandler] Template file [%1] skipped: %2")
                         .arg(_fileName, noValidTemplate(_fileName)));
    return parsed;
}

SDeviceTemplate readTemplate(const QString &_dirPath, const QString &_fileName, const STemplateContext &_context,
    QList<STemplateProblem> *_problems, QList<SExampleOutcome> *_examples)
{
    const SDeviceTemplate parsed = readTemplateFile(_dirPath, _fileName, *_problems, _context, _examples);
    // Refusals of the record parsers themselves go to the debug output only.
    if (!parsed.valid && _problems->isEmpty())
        _problems->append(STemplateProblem { _fileName, QString(), noValidTemplate(_fileName) });
    return parsed;
}

QList<STemplateProblem> checkTemplateFile(const QString &_dirPath, const QString &_fileName,
    const STemplateContext &_context, QList<SExampleOutcome> *_examples)
{
    QList<STemplateProblem> problems;
    readTemplate(_dirPath, _fileName, _context, &problems, _examples);
    return problems;
}
