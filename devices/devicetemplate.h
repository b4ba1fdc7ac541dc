#pragma once

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>

#include "devices/decodedpath.h"
#include "devices/downlinkcommand.h"
#include "store/registerdescription.h"

// Optional template keys and their values; the required ones are with the shared constants.
inline const QString TEMPLATE_KEY_BYTE_ORDER = QStringLiteral("byte_order");
inline const QString TEMPLATE_KEY_REG_FORMAT = QStringLiteral("reg_format");
inline const QString TEMPLATE_KEY_EXAMPLES = QStringLiteral("examples");
inline const QString EXAMPLE_KEY_PAYLOAD = QStringLiteral("payload");
inline const QString EXAMPLE_KEY_EXPECT = QStringLiteral("expect");
inline const QString DATA_TYPE_FLOAT = QStringLiteral("float");
inline const QString BYTE_ORDER_LITTLE = QStringLiteral("little");
inline const QString BYTE_ORDER_BIG = QStringLiteral("big");
inline const QString REG_FORMAT_INT16 = QStringLiteral("int16");
inline const QString REG_FORMAT_UINT16 = QStringLiteral("uint16");
inline const QString REG_FORMAT_INT32 = QStringLiteral("int32");
inline const QString REG_FORMAT_UINT32 = QStringLiteral("uint32");
inline const QString REG_FORMAT_FLOAT32 = QStringLiteral("float32");
// One register holding 0 or 1; only values a codec decodes have it.
inline const QString REG_FORMAT_BOOL = QStringLiteral("bool");
// Keys of templates whose values a codec decodes.
inline const QString TEMPLATE_KEY_DECODER = QStringLiteral("decoder");
inline const QString TEMPLATE_KEY_DECODED_FIELDS = QStringLiteral("decoded_fields");
inline const QString DECODER_KEY_CODEC = QStringLiteral("codec");
inline const QString DECODER_KEY_NETWORK = QStringLiteral("network");
inline const QString FIELD_KEY_PATH = QStringLiteral("path");
inline const QString FIELD_KEY_MAP = QStringLiteral("map");
inline const QString FIELD_KEY_MULTIPLIER = QStringLiteral("multiplier");
inline const QString FIELD_KEY_ADDED_VALUE = QStringLiteral("added_value");
inline const QString EXAMPLE_KEY_F_PORT = QStringLiteral("f_port");

// One field of a payload: where its bytes are and where its value lands in the register map.
struct SDevicePacketField {
    qint32 packetBias = 0;
    qint32 dataBitBias = 0;
    qint32 dataBitSize = 0;
    QString dataType;
    qint32 regMapBias = 0;
    qint32 regBitBias = 0;
    qint32 regBitSize = 0;
    QString dataName;
    // Byte order of a number in the payload: BYTE_ORDER_LITTLE or BYTE_ORDER_BIG.
    QString byteOrder = BYTE_ORDER_LITTLE;
    // Register format of the scaled value (REG_FORMAT_*); empty keeps the data type's own.
    QString regFormat;
    bool valid = false;

    SDevicePacketField() = default;
    explicit SDevicePacketField(const QJsonObject &_json);
};

// One packet type a device sends, recognised by the first payload byte.
struct SDevicePacket {
    qint32 packetType = 0;
    qint32 packetSize = 0;
    QList<SDevicePacketField> fields;
    bool valid = false;

    SDevicePacket() = default;
    explicit SDevicePacket(const QJsonObject &_json);
};

// Where a template's decoded values come from: a JavaScript codec file of the template
// folder, or the object the network server decoded.
struct SDecoder
{
    bool network = false;
    QString codec; // as the template names it
    QString codecPath; // the file, once the template's folder is known
    QString examples; // the codec definition YAML with uplinkDecoder.examples; optional
    QString examplesPath;
};

// One value of a decoded object and where it lands in the register map.
struct SDecodedField
{
    QString pathText;
    QList<SPathStep> path;
    qint32 regMapBias = 0;
    qint32 regBitSize = 0;
    QString regFormat; // REG_FORMAT_* or DATA_TYPE_TEXT
    QString dataName;
    // Texts standing for numbers ("open": 1).
    QMap<QString, double> map;
    // The scaling a newly added device starts with.
    double multiplier = 1;
    double addedValue = 0;
};

// A value taken from the server's uplink record instead of the payload.
struct SServerData {
    QString keyword;
    qint32 bitSize = 0;
    QString dataType;
    qint32 regMapBias = 0;
    qint32 regBitBias = 0;
    qint32 regBitSize = 0;
    QString dataName;
    bool valid = false;

    SServerData() = default;
    explicit SServerData(const QJsonObject &_json);
};

// What keeps a template from loading: the file, the key at fault (empty for a problem of
// the file itself) and what is wrong, naming the packet, field or example.
struct STemplateProblem {
    QString file;
    QString key;
    QString text;
};

// A parsed device template, keyed by its upper-case AppEUI.
struct SDeviceTemplate {
    bool valid = false;
    QString appEui;
    QString devType;
    QString color = QStringLiteral("#94999d"); // "#rrggbb"
    // ChirpStack's device profile name of the devices this template decodes; optional.
    QString deviceProfile;
    QMap<QString, SServerData> serverData;
    QMap<quint32, SDevicePacket> packets;
    // A template has packets or a decoder with its decoded fields.
    bool hasDecoder = false;
    SDecoder decoder;
    QList<SDecodedField> decodedFields;
    // The template's examples as written; those of a decoder are run with its codec.
    QJsonValue examples;
    // What Modbus writes send to the device, in file order.
    QList<SDownlinkCommand> downlinks;
    // Numbers out of range, bad optional keys and examples that do not decode to what
    // they expect; any of them leaves the template invalid.
    QList<STemplateProblem> problems;
    // Log lines about what was left out without refusing the template (an unknown server value).
    QStringList notes;

    SDeviceTemplate() = default;
    explicit SDeviceTemplate(const QJsonObject &_json);
};

// Key under which a packet type is stored and looked up. A payload's first byte
// arrives sign-extended (0x80..0xFF as -128..-1), while a template may name those
// types either way; 128..255 are folded onto -128..-1 so both spellings match.
// Values outside -128..255 can never equal a byte and keep their own key, so they
// cannot displace a packet that does match.
quint32 packetTypeKey(qint32 _packetType);

// The register format a server value or a payload field is stored in, as the register map
// export names it: int16, uint16, int32, uint32, int64, uint64, float32 or text.
QString serverValueFormat(const QString &_keyword, qint32 _regBitSize);
QString fieldFormat(const SDevicePacketField &_field);
// The data type a decoded value of that register format is listed with.
QString decodedDataType(const QString &_regFormat);

// The register map a template exposes: server values by keyword, then payload
// fields by packet type and file order, then the registers of its commands;
// parameters start neutral.
SDeviceRegMap regMapOfTemplate(const SDeviceTemplate &_template);

// Template files larger than this are not read: no real template comes near it.
constexpr qint64 MAX_TEMPLATE_FILE_SIZE = 1024 * 1024;

class CCodecRunner;
class CLogSink;

// What loading a template may use beyond its file: the codecs, and whether the network
// server decodes payloads (ChirpStack and The Things Stack do, the WebSocket server not).
struct STemplateContext
{
    CCodecRunner *codecs = nullptr;
    bool serverDecodes = true;
    // Where loading a template logs why it refused or skipped it; nowhere when none.
    CLogSink *log = nullptr;
};

// One example of a decoder template and how it went: empty problem when it passed.
struct SExampleOutcome
{
    QString name;
    QString problem;
};

// Reads and parses one template file of the template directory. Failures are
// logged and give an invalid template.
SDeviceTemplate loadTemplateFile(
    const QString &_dirPath, const QString &_fileName, const STemplateContext &_context = STemplateContext());

// One template file read and checked as loading would, logging nothing: the template (invalid
// when refused), every problem in _problems, each example a decoder ran in _examples.
SDeviceTemplate readTemplate(const QString &_dirPath, const QString &_fileName, const STemplateContext &_context,
    QList<STemplateProblem> *_problems, QList<SExampleOutcome> *_examples = nullptr);

// Every problem of one template file, each with the file name and the key at fault;
// empty when the file loads as a valid template. Logs nothing. _examples (when given)
// gets each example a decoder ran.
QList<STemplateProblem> checkTemplateFile(const QString &_dirPath, const QString &_fileName,
    const STemplateContext &_context = STemplateContext(), QList<SExampleOutcome> *_examples = nullptr);
