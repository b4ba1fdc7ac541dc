#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QIcon>

class QGroupBox;
class QHBoxLayout;
class QLabel;
class QPropertyAnimation;
class QVBoxLayout;

// Checkable panel button: a marker strip, an icon and a title; checking it unfolds
// a group box with further widgets and turns the marker red.
class CAbstractPanelButton : public QAbstractButton
{
    Q_OBJECT
    Q_PROPERTY(int sPicAlign READ picAlign WRITE setPicAlign)
    Q_PROPERTY(QColor backColor READ backColor WRITE setBackColor)

public:
    CAbstractPanelButton(QString title, QIcon icon, QWidget *parent = nullptr, int tag = 0);

    int picAlign() const { return sPicAlign; }
    // Write-only in effect: the colour lives in the style sheet.
    QColor backColor() const { return QColor(Qt::black); }

    QSize sizeHint() const override;

signals:
    void invalidDb();

public slots:
    void setBackColor(QColor _backColor);
    void setPicAlign(int sPicAlign);

private slots:
    void clickSlot(bool _click);

public slots:
    void setIcon(QIcon icon);
    void addWidget(QWidget *wdgt);
    void addLayout(QLayout *lay);
    void animationEvent(bool success);
    void animationEvent();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int sPicAlign = Qt::AlignLeft;
    int tag;
    QPropertyAnimation *animation;
    QVBoxLayout *outerLayout;
    QHBoxLayout *headerRow;
    QLabel *titleLabel;
    QLabel *iconLabel;
    QWidget *marker;
    QGroupBox *groupBox;
    QVBoxLayout *groupLayout;
};
