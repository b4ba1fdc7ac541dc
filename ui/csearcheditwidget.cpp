#include "ui/csearcheditwidget.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>

#include "ui/cardpainting.h"

CSearchEditWidget::CSearchEditWidget(QWidget *parent)
    : QWidget(parent)
    , layout(new QHBoxLayout(this))
    , lineEdit(new QLineEdit(this))
    , searchButton(new QPushButton(QIcon(QStringLiteral(":/searchIco.png")), QString(), this))
    , clearButton(new QPushButton(QIcon(QStringLiteral(":/deleteIco.png")), QString(), this))
{
    installEventFilter(this);
    setObjectName(QStringLiteral("CSearchEditWidget"));
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(4);

    searchButton->setObjectName(QStringLiteral("searchBtn"));
    connect(searchButton, &QPushButton::clicked, this, &CSearchEditWidget::textChangedSlot);
    layout->addWidget(searchButton);

    clearButton->setObjectName(QStringLiteral("searchBtn"));
    connect(clearButton, &QPushButton::clicked, this, &CSearchEditWidget::textClearSlot);
    layout->addWidget(clearButton);

    layout->addWidget(lineEdit);
}

void CSearchEditWidget::setText(QString _text)
{
    lineEdit->setText(_text);
}

void CSearchEditWidget::textChangedSlot()
{
    emit textChangedSignal(lineEdit->text());
}

void CSearchEditWidget::textClearSlot()
{
    lineEdit->clear();
    emit textChangedSignal(QString());
}

void CSearchEditWidget::paintEvent(QPaintEvent *)
{
    paintStyledBackground(this);
}

bool CSearchEditWidget::eventFilter(QObject *watched, QEvent *event)
{
    // The line edit leaves Return and Enter to its parent, so they arrive here.
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            emit textChangedSignal(lineEdit->text());
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}
