#include "ui/csimpleregistereditwidget.h"

#include <QDoubleValidator>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QVBoxLayout>

#include "ui/cardpainting.h"
#include "app/registertext.h"

namespace {
const int EDIT_ROW_HEIGHT = 17;
}

CSimpleRegisterEditWidget::CSimpleRegisterEditWidget(QWidget *parent)
    : QWidget(parent)
    , extraValueEdit(new QLineEdit(this))
    , multiplierEdit(new QLineEdit(this))
    , unitsEdit(new QLineEdit(this))
{
    setStyleSheet(QStringLiteral("QWidget{background-color: #FFF;}"));
    extraValueEdit->setValidator(new QIntValidator(extraValueEdit));
    multiplierEdit->setValidator(new QIntValidator(multiplierEdit));

    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(1, 1, 1, 1);
    outer->setSpacing(5);
    auto *row = new QHBoxLayout();
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(5);
    outer->addLayout(row, 0);

    auto *edits = new QVBoxLayout();
    edits->setContentsMargins(0, 0, 0, 0);
    edits->setSpacing(5);
    const auto addEditRow = [&](const QString &label, QLineEdit *edit) {
        // Three rows must fit the 65 px card the editor opens over.
        edit->setMaximumHeight(EDIT_ROW_HEIGHT);
        auto *line = new QHBoxLayout();
        line->setContentsMargins(0, 0, 0, 0);
        line->setSpacing(5);
        line->addWidget(new QLabel(label, this), 0);
        line->addWidget(edit, 0);
        line->addStretch(2);
        edits->addLayout(line);
    };
    addEditRow(tr("ExtraValue: "), extraValueEdit);
    addEditRow(tr("Multiplier: "), multiplierEdit);
    addEditRow(tr("Units: "), unitsEdit);
    row->addLayout(edits, 1);

    auto *formula = new QLabel(tr("Value =\nRAW * Mulplier + ExtraValue"), this);
    formula->setAlignment(Qt::AlignCenter);
    row->addWidget(formula, 1, Qt::AlignCenter);
}

void CSimpleRegisterEditWidget::setData(double _extraValue, double _multiplier, QString _units, bool _decimals)
{
    decimals = _decimals;
    if (_decimals) {
        for (QLineEdit *edit : { extraValueEdit, multiplierEdit }) {
            auto *validator = new QDoubleValidator(edit);
            // A decimal point whatever the system's language.
            validator->setLocale(QLocale::c());
            validator->setNotation(QDoubleValidator::StandardNotation);
            edit->setValidator(validator);
        }
    }
    extraValueEdit->setText(QString::number(_extraValue, 'g', 15));
    multiplierEdit->setText(QString::number(_multiplier, 'g', 15));
    unitsEdit->setText(_units);
}

double CSimpleRegisterEditWidget::getExtraValue()
{
    return decimals ? decimalFromText(extraValueEdit->text()) : unsignedFromText(extraValueEdit->text());
}

double CSimpleRegisterEditWidget::getMultiplier()
{
    return decimals ? decimalFromText(multiplierEdit->text()) : unsignedFromText(multiplierEdit->text());
}

QString CSimpleRegisterEditWidget::getUnits()
{
    return unitsEdit->text();
}

void CSimpleRegisterEditWidget::paintEvent(QPaintEvent *)
{
    paintStyledBackground(this);
}
