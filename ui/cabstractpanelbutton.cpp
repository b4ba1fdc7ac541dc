#include "ui/cabstractpanelbutton.h"

#include <QDebug>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPropertyAnimation>
#include <QStyleOptionButton>
#include <QVBoxLayout>

#include "ui/palette.h"
#include "ui/cardpainting.h"

namespace {
const QString MARKER_UNCHECKED = QStringLiteral("QWidget{background-color: rgba(0, 0, 0, 0%);}");
const QString MARKER_CHECKED = QStringLiteral("QWidget{background-color: #f5494d;}");
}

CAbstractPanelButton::CAbstractPanelButton(QString title, QIcon icon, QWidget *parent, int tag)
    : QAbstractButton(parent)
    , tag(tag)
    , animation(nullptr)
    , outerLayout(new QVBoxLayout(this))
    , headerRow(new QHBoxLayout())
    , titleLabel(new QLabel(title, this))
    , iconLabel(new QLabel(this))
    , marker(new QWidget(this))
    , groupBox(new QGroupBox(this))
    , groupLayout(new QVBoxLayout(groupBox))
{
    setCheckable(true);
    setChecked(false);

    outerLayout->setContentsMargins(0, 0, 0, 0);
    outerLayout->setSpacing(0);
    headerRow->setContentsMargins(0, 0, 0, 0);
    headerRow->setSpacing(0);
    outerLayout->addLayout(headerRow, 0);

    marker->setFixedWidth(6);
    marker->setStyleSheet(MARKER_UNCHECKED);
    headerRow->addWidget(marker, 0, Qt::AlignLeft);

    iconLabel->setObjectName(QStringLiteral("icoLab"));
    // Room for the larger status icon setIcon shows, so the header needs no more width later.
    iconLabel->setMinimumSize(45, 45);
    if (icon.isNull()) {
        headerRow->addWidget(iconLabel, 0, Qt::AlignCenter);
    } else {
        iconLabel->setPixmap(icon.pixmap(40, 40, QIcon::Normal, QIcon::Off));
        headerRow->addWidget(iconLabel, 1, Qt::AlignCenter);
    }

    titleLabel->setObjectName(QStringLiteral("titleLable"));
    headerRow->addWidget(titleLabel, 3, Qt::AlignCenter);

    groupBox->hide();
    groupBox->setSizePolicy(QSizePolicy::MinimumExpanding, QSizePolicy::MinimumExpanding);
    groupLayout->setContentsMargins(0, 0, 0, 0);
    outerLayout->addWidget(groupBox, 0);

    animation = new QPropertyAnimation(this, "backColor", this);
    connect(this, &QAbstractButton::toggled, this, &CAbstractPanelButton::clickSlot);
}

QSize CAbstractPanelButton::sizeHint() const
{
    return QSize(6, 6);
}

void CAbstractPanelButton::setBackColor(QColor _backColor)
{
    setStyleSheet(tr("CAbstractPanelButton { background-color: rgba(%1, %2, %3, %4);}")
                      .arg(_backColor.red())
                      .arg(_backColor.green())
                      .arg(_backColor.blue())
                      .arg(_backColor.alpha()));
}

void CAbstractPanelButton::setPicAlign(int sPicAlign)
{
    if (sPicAlign == this->sPicAlign)
        return;
    if (sPicAlign != Qt::AlignLeft && sPicAlign != Qt::AlignRight) {
        qDebug().noquote() << "[CAbstractPanelButton::setPicAlign] Current alingn for ICO is not supported. "
                              "Auto-apply with Qt::AlignLeft";
        sPicAlign = Qt::AlignLeft;
    }
    this->sPicAlign = sPicAlign;
    headerRow->removeWidget(iconLabel);
    if (sPicAlign == Qt::AlignRight)
        headerRow->addWidget(iconLabel, 1, Qt::AlignCenter);
    else
        headerRow->insertWidget(1, iconLabel, 1, Qt::AlignCenter);
}

void CAbstractPanelButton::clickSlot(bool _click)
{
    groupBox->setVisible(_click);
    marker->setStyleSheet(_click ? MARKER_CHECKED : MARKER_UNCHECKED);
}

void CAbstractPanelButton::setIcon(QIcon icon)
{
    iconLabel->setPixmap(icon.pixmap(45, 45, QIcon::Normal, QIcon::Off));
}

void CAbstractPanelButton::addWidget(QWidget *wdgt)
{
    groupLayout->addWidget(wdgt, 0);
}

void CAbstractPanelButton::addLayout(QLayout *lay)
{
    groupLayout->addLayout(lay, 0);
}

void CAbstractPanelButton::animationEvent(bool success)
{
    if (animation->state() == QAbstractAnimation::Running)
        animation->stop();
    animation->setDuration(1000);
    animation->setStartValue(success ? QC_GLOB_GREEN2_L2 : QC_GLOB_RED1_L2);
    animation->setEndValue(QC_GLOB_WHITE1_L1);
    qDebug() << palette().color(QPalette::Window);
    animation->start();
}

void CAbstractPanelButton::animationEvent()
{
    animationEvent(true);
}

void CAbstractPanelButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    preparePainter(painter, font());
    QStyleOptionButton option;
    option.initFrom(this);
    option.palette.setCurrentColorGroup(QPalette::Disabled);
    if ((isCheckable() && isChecked()) || isDown())
        option.state |= QStyle::State_Sunken;
    style()->drawControl(QStyle::CE_PushButton, &option, &painter, this);
}
