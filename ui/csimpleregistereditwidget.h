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
    // _decimals: a float32 register, whose multiplier and added value may have decimals.
    void setData(double _extraValue, double _multiplier, QString _units, bool _decimals = false);
    double getExtraValue();
    double getMultiplier();
    QString getUnits();
    bool hasDecimals() const { return decimals; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QLineEdit *extraValueEdit;
    QLineEdit *multiplierEdit;
    QLineEdit *unitsEdit;
    bool decimals = false;
};
