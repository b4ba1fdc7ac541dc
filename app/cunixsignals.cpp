#include "app/cunixsignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = { -1, -1 };

void onSignal(int _signal)
{
    const unsigned char number = static_cast<unsigned char>(_signal);
    // Nothing to do if the pipe is full: a signal of that kind is already on its way.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &number, 1);
}

} // namespace

CUnixSignals::CUnixSignals(QObject *_parent)
    : QObject(_parent)
{
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : { SIGTERM, SIGINT, SIGHUP }) {
        if (::sigaction(number, &action, nullptr) != 0)
            return;
    }
    notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &CUnixSignals::readSignal);
}

CUnixSignals::~CUnixSignals()
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    for (int number : { SIGTERM, SIGINT, SIGHUP })
        ::sigaction(number, &action, nullptr);
}

void CUnixSignals::readSignal()
{
    unsigned char number = 0;
    while (::read(signalPipe[0], &number, 1) == 1) {
        if (number == SIGHUP)
            emit reloadRequested();
        else
            emit stopRequested(number);
    }
}
