#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QList>
#include <QPair>
#include <QString>
#include <QVector>

#include "store/registerdescription.h"

// Template keys of the optional "downlinks" list.
inline const QString TEMPLATE_KEY_DOWNLINKS = QStringLiteral("downlinks");
inline const QString COMMAND_KEY_F_PORT = QStringLiteral("f_port");
inline const QString COMMAND_KEY_PREFIX = QStringLiteral("prefix");
inline const QString COMMAND_KEY_CONFIRMED = QStringLiteral("confirmed");
inline const QString COMMAND_KEY_COIL = QStringLiteral("coil");
inline const QString COMMAND_KEY_ON = QStringLiteral("on");
inline const QString COMMAND_KEY_OFF = QStringLiteral("off");
inline const QString COMMAND_KEY_ENCODE = QStringLiteral("encode");

// One command a Modbus client gives by writing: registers (their value goes after the
// prefix) or a coil (its on or off bytes go after the prefix), or either handed to the
// codec's encoder.
struct SDownlinkCommand
{
    QString dataName;
    bool isCoil = false;
    qint32 coil = 0; // from the device's start address, in the coil space
    qint32 regMapBias = 0; // from the device's start address
    qint32 regBitSize = 0;
    QString dataType;
    qint32 dataBitSize = 0;
    QString byteOrder;
    qint32 fPort = 0;
    QByteArray prefix;
    QByteArray onBytes;
    QByteArray offBytes;
    bool confirmed = false;
    // The name the codec's encoder gets the value under ({data: {NAME: value}}); empty: the
    // payload is the prefix and the value's bytes (or on / off).
    QString encode;

    int registerCount() const { return isCoil ? 0 : int(registersOfBits(regBitSize)); }
};

// A key at fault and what is wrong with it.
using SCommandProblem = QPair<QString, QString>;

// The largest application payload a LoRaWAN region allows at its fastest data rate.
constexpr int MAX_DOWNLINK_PAYLOAD = 242;

// Reads entry _index of "downlinks"; every problem is appended, naming its key.
SDownlinkCommand readDownlinkCommand(const QJsonValue &_json, int _index, QList<SCommandProblem> &_problems);

// What a write of a command's registers sends. The client writes the words in the device's
// word order, as it reads the device's other values.
struct SCommandValue
{
    bool fits = false; // false: the value does not fit data_bit_size, nothing is sent
    QByteArray payload;
    QString valueText;
};

SCommandValue encodeRegisterWrite(const SDownlinkCommand &_command, const QVector<uint16_t> &_words,
                                  EWordOrder _wordOrder);
// The number a register write gives an encoding command; fits false when it does not fit.
SCommandValue commandNumber(
    const SDownlinkCommand &_command, const QVector<uint16_t> &_words, EWordOrder _wordOrder, double *_number);
QByteArray coilPayload(const SDownlinkCommand &_command, bool _on);
