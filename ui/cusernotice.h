#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

class QWidget;

// Every question and notice the program puts to the operator passes through here,
// so that headless runs and tests can answer them instead of a modal box.
class CUserNotice
{
public:
    using ConfirmHandler = std::function<bool(QWidget *_parent, const QString &_title, const QString &_text)>;
    using NoticeHandler = std::function<void(QWidget *_parent, QMessageBox::Icon _icon, const QString &_text,
                                             const QString &_informativeText)>;

    // Yes/No question, No being the default; true for Yes.
    static bool confirm(QWidget *_parent, const QString &_title, const QString &_text);
    // A message box with one OK button.
    static void notify(QWidget *_parent, QMessageBox::Icon _icon, const QString &_text,
                       const QString &_informativeText);

    // An empty handler restores the message boxes.
    static void setConfirmHandler(ConfirmHandler _handler);
    static void setNoticeHandler(NoticeHandler _handler);
};
