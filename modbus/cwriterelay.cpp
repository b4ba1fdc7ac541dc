#include "modbus/cwriterelay.h"

#include <QThread>

CWriteRelay::CWriteRelay(CModbusWriteTarget *_target, QThread *_answersThread)
    : target(_target)
    , inbox(std::make_shared<QObject>())
{
    inbox->moveToThread(_answersThread);
}

void CWriteRelay::write(const SModbusWrite &_write, Done _done)
{
    const std::weak_ptr<QObject> answers = inbox;
    CModbusWriteTarget *writer = target;
    QMetaObject::invokeMethod(
        writer,
        [writer, _write, _done, answers] {
            writer->write(_write, [_done, answers](MODBUS::EException _exception) {
                if (const std::shared_ptr<QObject> box = answers.lock())
                    QMetaObject::invokeMethod(box.get(), [_done, _exception] { _done(_exception); },
                                              Qt::QueuedConnection);
            });
        },
        Qt::QueuedConnection);
}

MODBUS::EException CWriteRelay::coils(uint16_t _port, uint16_t _first, uint16_t _count, QVector<bool> *_states) const
{
    return target->coils(_port, _first, _count, _states);
}
