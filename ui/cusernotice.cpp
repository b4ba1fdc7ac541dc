#include "ui/cusernotice.h"

#include <QDebug>
#include <QGuiApplication>

#include "app/constants.h"

namespace {

// On these platforms no one sees a window: a modal box would wait for ever.
bool nobodyToAsk()
{
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

CUserNotice::ConfirmHandler &confirmHandler()
{
    static CUserNotice::ConfirmHandler handler;
    return handler;
}

CUserNotice::NoticeHandler &noticeHandler()
{
    static CUserNotice::NoticeHandler handler;
    return handler;
}

} // namespace

bool CUserNotice::confirm(QWidget *_parent, const QString &_title, const QString &_text)
{
    if (confirmHandler())
        return confirmHandler()(_parent, _title, _text);
    return QMessageBox::question(_parent, _title, _text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        == QMessageBox::Yes;
}

void CUserNotice::notify(QWidget *_parent, QMessageBox::Icon _icon, const QString &_text,
                         const QString &_informativeText)
{
    if (noticeHandler()) {
        noticeHandler()(_parent, _icon, _text, _informativeText);
        return;
    }
    if (nobodyToAsk()) {
        qWarning().noquote() << _text << _informativeText;
        return;
    }
    QMessageBox box(_icon, APPLICATION_NAME, _text, QMessageBox::Ok, _parent);
    box.setInformativeText(_informativeText);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
}

void CUserNotice::setConfirmHandler(ConfirmHandler _handler)
{
    confirmHandler() = std::move(_handler);
}

void CUserNotice::setNoticeHandler(NoticeHandler _handler)
{
    noticeHandler() = std::move(_handler);
}
