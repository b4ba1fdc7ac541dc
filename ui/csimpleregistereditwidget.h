#pragma once

#include <QWidget>

class QLineEdit;

// In-place editor of a register's parameters: extra value, multiplier and units.
class CSimpleRegisterEditWidget : public QWidget
{
    Q_OBJECT

public:
    explicit CSimpleRegisterEditWidget(QWidget *parent = nullptr);

public slots:
    void setData(uint32_t _extraValue, uint32_t _multiplier, QString _units);
    uint32_t getExtraValue();
    uint32_t getMultiplier();
    QString getUnits();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QLineEdit *extraValueEdit;
    QLineEdit *multiplierEdit;
    QLineEdit *unitsEdit;
};
