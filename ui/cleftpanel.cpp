#include "ui/cleftpanel.h"

#include <QVBoxLayout>

#include "ui/cardpainting.h"

CLeftPanel::CLeftPanel(QWidget *parent)
    : QWidget(parent)
    , panelLayout(new QVBoxLayout(this))
{
    setObjectName(QStringLiteral("CLeftPanel"));
    panelLayout->setContentsMargins(0, 0, 0, 0);
    panelLayout->setSpacing(0);
}

void CLeftPanel::addWidget(QWidget *widget, int stretch, Qt::Alignment alignment)
{
    if (widget)
        panelLayout->addWidget(widget, stretch, alignment);
}

void CLeftPanel::addLayout(QLayout *layout, int stretch)
{
    if (layout)
        panelLayout->addLayout(layout, stretch);
}

void CLeftPanel::addStretch()
{
    panelLayout->addStretch(0);
}

void CLeftPanel::expandWidget(QWidget *wdgt)
{
    const int position = panelLayout->indexOf(wdgt);
    if (position >= 0)
        panelLayout->setStretch(position, 50);
    update();
}

void CLeftPanel::expandWidget()
{
    // Connected straight to a widget's signal: the widget that asked is the one to expand.
    expandWidget(qobject_cast<QWidget *>(sender()));
}

void CLeftPanel::unexpandAll()
{
    for (int i = 0; i < panelLayout->count(); ++i)
        panelLayout->setStretch(i, 0);
    update();
}

void CLeftPanel::paintEvent(QPaintEvent *event)
{
    paintStyledBackground(this);
    QWidget::paintEvent(event);
}
