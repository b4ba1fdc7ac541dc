#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QtTest>

#include "ui/cabstractpanelbutton.h"
#include "ui/cdevicesearchmodel.h"
#include "ui/cleftpanel.h"
#include "ui/clogowidget.h"
#include "ui/csearcheditwidget.h"
#include "ui/csimpleregisterdelegat.h"
#include "ui/csimpleregistereditwidget.h"
#include "widgettestsupport.h"

using namespace WidgetTest;

// The window's input widgets: the parameter editor, the search box and the side panel.
class TestWidgetInputs : public QObject
{
    Q_OBJECT

private:
    static QString qs(const char *text) { return QString::fromUtf8(text); }

private slots:
    // ---- Parameter editor ----

    void editorOnlyForNumericRows_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<bool>("editable");
        QTest::newRow("integer") << "integer" << true;
        QTest::newRow("uinteger") << "uinteger" << true;
        QTest::newRow("text") << "text" << false;
        QTest::newRow("boolean") << "boolean" << false;
    }

    void editorOnlyForNumericRows()
    {
        QFETCH(QString, type);
        QFETCH(bool, editable);
        QStandardItemModel model(1, 14);
        setRegisterRow(model, 0, "D1", 0, type);
        CSimpleRegisterDelegat delegate(nullptr);
        QWidget parent;
        QWidget *editor = delegate.createEditor(&parent, QStyleOptionViewItem(), model.index(0, 0));
        QCOMPARE(qobject_cast<CSimpleRegisterEditWidget *>(editor) != nullptr, editable);
        QCOMPARE(editor != nullptr, editable);
    }

    void editorIsFilledFromRow()
    {
        QStandardItemModel model(1, 14);
        setRegisterRow(model, 0, "D1", 0, "integer", QVariant(), "kPa");
        model.setData(model.index(0, REG_COL_START_VALUE), 7u);
        model.setData(model.index(0, REG_COL_GRATING_PERIOD), 3u);
        CSimpleRegisterDelegat delegate(nullptr);
        CSimpleRegisterEditWidget editor;
        delegate.setEditorData(&editor, model.index(0, 0));
        const QList<QLineEdit *> edits = editor.findChildren<QLineEdit *>();
        QCOMPARE(edits.size(), 3);
        QCOMPARE(edits.at(0)->text(), QString("7"));
        QCOMPARE(edits.at(1)->text(), QString("3"));
        QCOMPARE(edits.at(2)->text(), QString("kPa"));
    }

    void setModelDataWritesParameters_data()
    {
        QTest::addColumn<QString>("extra");
        QTest::addColumn<QString>("multiplier");
        QTest::addColumn<QString>("units");
        QTest::addColumn<uint>("expectedExtra");
        QTest::addColumn<uint>("expectedMultiplier");
        QTest::newRow("zero multiplier becomes 1") << "0" << "0" << "" << 0u << 1u;
        QTest::newRow("negative extra becomes 0") << "-5" << "3" << "mA" << 0u << 3u;
        QTest::newRow("empty texts") << "" << "" << "V" << 0u << 1u;
        QTest::newRow("plain values and unit") << "12" << "10" << qs("\xc2\xb0" "C") << 12u << 10u;
    }

    void float32RegisterTakesDecimalParameters()
    {
        QStandardItemModel model(1, 14);
        setRegisterRow(model, 0, "D1", 0, "float", QVariant(), "old");
        CSimpleRegisterEditWidget editor;
        CSimpleRegisterDelegat delegate(nullptr);
        delegate.setEditorData(&editor, model.index(0, 0));
        const QList<QLineEdit *> edits = editor.findChildren<QLineEdit *>();
        edits.at(0)->setText("-40.5");
        edits.at(1)->setText("0.1");
        delegate.setModelData(&editor, &model, model.index(0, 0));
        QCOMPARE(model.index(0, REG_COL_START_VALUE).data(Qt::EditRole).toDouble(), -40.5);
        QCOMPARE(model.index(0, REG_COL_GRATING_PERIOD).data(Qt::EditRole).toDouble(), 0.1);
    }

    void setModelDataWritesParameters()
    {
        QFETCH(QString, extra);
        QFETCH(QString, multiplier);
        QFETCH(QString, units);
        QFETCH(uint, expectedExtra);
        QFETCH(uint, expectedMultiplier);
        QStandardItemModel model(2, 14);
        setRegisterRow(model, 0, "D1", 0, "integer", QVariant(), "old");
        setRegisterRow(model, 1, "D1", 1, "integer", QVariant(), "other");
        model.setData(model.index(0, REG_COL_START_VALUE), 99u);
        model.setData(model.index(0, REG_COL_GRATING_PERIOD), 99u);
        CSimpleRegisterEditWidget editor;
        const QList<QLineEdit *> edits = editor.findChildren<QLineEdit *>();
        edits.at(0)->setText(extra);
        edits.at(1)->setText(multiplier);
        edits.at(2)->setText(units);
        CSimpleRegisterDelegat(nullptr).setModelData(&editor, &model, model.index(0, 0));

        const QVariant start = model.index(0, REG_COL_START_VALUE).data(Qt::EditRole);
        const QVariant grating = model.index(0, REG_COL_GRATING_PERIOD).data(Qt::EditRole);
        QCOMPARE(start.userType(), int(QMetaType::UInt));
        QCOMPARE(grating.userType(), int(QMetaType::UInt));
        QCOMPARE(start.toUInt(), expectedExtra);
        QCOMPARE(grating.toUInt(), expectedMultiplier);
        QCOMPARE(model.index(0, REG_COL_UNIT).data().toString(), units);
        QCOMPARE(model.index(1, REG_COL_UNIT).data().toString(), QString("other")); // only the edited row
    }

    void otherEditorsAreIgnored()
    {
        QStandardItemModel model(1, 14);
        setRegisterRow(model, 0, "D1", 0, "integer", QVariant(), "V");
        QLineEdit notOurs("42");
        CSimpleRegisterDelegat delegate(nullptr);
        delegate.setEditorData(&notOurs, model.index(0, 0));
        delegate.setModelData(&notOurs, &model, model.index(0, 0));
        QCOMPARE(notOurs.text(), QString("42"));
        QCOMPARE(model.index(0, REG_COL_START_VALUE).data().toUInt(), 0u);
        QCOMPARE(model.index(0, REG_COL_UNIT).data().toString(), QString("V"));
    }

    void getMultiplierKeepsZero()
    {
        CSimpleRegisterEditWidget editor;
        editor.setData(5, 0, "x");
        QCOMPARE(editor.getExtraValue(), 5u);
        QCOMPARE(editor.getMultiplier(), 0u);
        QCOMPARE(editor.getUnits(), QString("x"));
    }

    // ---- Search ----

    void searchFilter_data()
    {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("temp") << "temp" << QStringList { "Temp sensor 1", "Room TEMPERATURE" };
        QTest::newRow("empty shows all") << "" << QStringList { "Temp sensor 1", "Pulse meter", "Room TEMPERATURE" };
        QTest::newRow("none") << "xyz" << QStringList();
    }

    void searchFilter()
    {
        QFETCH(QString, search);
        QFETCH(QStringList, shown);
        QStandardItemModel source(3, 6);
        const QStringList names { "Temp sensor 1", "Pulse meter", "Room TEMPERATURE" };
        for (int row = 0; row < names.size(); ++row) {
            source.setData(source.index(row, 1), names.at(row));
            source.setData(source.index(row, 3), QStringLiteral("temp")); // other columns do not count
        }
        CDeviceSearchModel proxy;
        proxy.setSourceModel(&source);
        proxy.setSearchValue("something else");
        proxy.setSearchValue(search);
        QStringList visible;
        for (int row = 0; row < proxy.rowCount(); ++row)
            visible << proxy.index(row, 1).data().toString();
        QCOMPARE(visible, shown);
    }

    void searchBoxEmitsOnlyWhenAsked()
    {
        CSearchEditWidget box;
        box.show();
        QLineEdit *edit = box.findChild<QLineEdit *>();
        const QList<QPushButton *> buttons = box.findChildren<QPushButton *>("searchBtn");
        QCOMPARE(buttons.size(), 2);
        QSignalSpy spy(&box, &CSearchEditWidget::textChangedSignal);

        QTest::keyClicks(edit, "temp");
        QCOMPARE(spy.count(), 0);
        box.setText("temp");
        QCOMPARE(spy.count(), 0);

        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), QString("temp"));
        QTest::keyClick(edit, Qt::Key_Enter);
        QCOMPARE(spy.count(), 2);

        QTest::mouseClick(buttons.at(0), Qt::LeftButton); // search
        QCOMPARE(spy.count(), 3);
        QCOMPARE(spy.at(2).at(0).toString(), QString("temp"));

        QTest::mouseClick(buttons.at(1), Qt::LeftButton); // clear
        QCOMPARE(spy.count(), 4);
        QCOMPARE(spy.at(3).at(0).toString(), QString());
        QVERIFY(edit->text().isEmpty());
    }

    // ---- Panel widgets ----

    void panelButtonIconAlignment()
    {
        CAbstractPanelButton button("Server", QIcon(":/connectionGoodIco.png"));
        auto *header = qobject_cast<QHBoxLayout *>(button.layout()->itemAt(0)->layout());
        QVERIFY(header);
        QLabel *icon = button.findChild<QLabel *>("icoLab");
        QLabel *title = button.findChild<QLabel *>("titleLable");
        QCOMPARE(header->indexOf(icon), 1);
        QCOMPARE(header->indexOf(title), 2);

        button.setPicAlign(Qt::AlignRight);
        QCOMPARE(header->indexOf(title), 1);
        QCOMPARE(header->indexOf(icon), 2);
        button.resize(240, 40);
        button.layout()->activate();
        QVERIFY(icon->geometry().left() > title->geometry().left());

        button.setPicAlign(Qt::AlignRight);
        QCOMPARE(header->count(), 3);
        QCOMPARE(header->indexOf(icon), 2);

        QTest::ignoreMessage(QtDebugMsg, "[CAbstractPanelButton::setPicAlign] Current alingn for ICO is not "
                                         "supported. Auto-apply with Qt::AlignLeft");
        button.setPicAlign(4);
        QCOMPARE(header->indexOf(icon), 1);
        QCOMPARE(button.property("sPicAlign").toInt(), int(Qt::AlignLeft));
        button.layout()->activate();
        QVERIFY(icon->geometry().left() < title->geometry().left());
    }

    void panelButtonCheckUnfoldsGroupAndMarksRed()
    {
        CAbstractPanelButton button("Server", QIcon());
        auto *content = new QLabel("login");
        button.addWidget(content);
        QGroupBox *group = button.findChild<QGroupBox *>();
        button.resize(200, 80);
        button.show();
        QVERIFY(QTest::qWaitForWindowExposed(&button));
        QVERIFY(group->isHidden());
        const QColor red(0xf5, 0x49, 0x4d);

        button.setChecked(true);
        QVERIFY(!group->isHidden());
        QCOMPARE(content->parentWidget(), static_cast<QWidget *>(group));
        QImage image = button.grab().toImage();
        QCOMPARE(image.pixelColor(0, 5), red);
        QCOMPARE(image.pixelColor(5, 5), red);
        QVERIFY(image.pixelColor(6, 5) != red); // the strip is 6 px wide

        button.setChecked(false);
        QVERIFY(group->isHidden());
        image = button.grab().toImage();
        QVERIFY(image.pixelColor(2, 5) != red);
    }

    void panelButtonBackColourStyleSheet()
    {
        CAbstractPanelButton button("Server", QIcon());
        button.setBackColor(QColor(0x10, 0x20, 0x30));
        QCOMPARE(button.styleSheet(), QString("CAbstractPanelButton { background-color: rgba(16, 32, 48, 255);}"));
        QCOMPARE(button.property("backColor").value<QColor>(), QColor(Qt::black));
        QCOMPARE(button.sizeHint(), QSize(6, 6));
    }

    void leftPanelStretch()
    {
        CLeftPanel panel;
        QWidget inside;
        QWidget outside;
        panel.addWidget(&inside);
        panel.addWidget(nullptr);
        panel.addStretch();
        auto *layout = qobject_cast<QBoxLayout *>(panel.layout());
        QCOMPARE(layout->count(), 2);
        panel.expandWidget(&outside);
        QCOMPARE(layout->stretch(0), 0);
        QCOMPARE(layout->stretch(1), 0);
        panel.expandWidget(&inside);
        QCOMPARE(layout->stretch(0), 50);
        panel.unexpandAll();
        QCOMPARE(layout->stretch(0), 0);
    }

    void logoSize()
    {
        CLogoWidget logo;
        QCOMPARE(logo.sizeHint(), QSize(120, 42));
        QCOMPARE(logo.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
        QCOMPARE(logo.sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    }
};

QTEST_MAIN(TestWidgetInputs)
#include "tst_widgetinputs.moc"
