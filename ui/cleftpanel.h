#pragma once

#include <QWidget>

class QLayout;
class QVBoxLayout;

// The vertical panel at the window's left that stacks panel buttons and other widgets.
class CLeftPanel : public QWidget
{
    Q_OBJECT

public:
    explicit CLeftPanel(QWidget *parent = nullptr);

    void addWidget(QWidget *widget, int stretch = 0, Qt::Alignment alignment = Qt::Alignment());
    void addLayout(QLayout *layout, int stretch = 0);
    void addStretch();

signals:
    void updateListSignal();

public slots:
    void expandWidget(QWidget *wdgt);
    void expandWidget();
    void unexpandAll();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QVBoxLayout *panelLayout;
};
