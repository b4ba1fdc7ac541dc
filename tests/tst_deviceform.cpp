#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedLayout>
#include <QTemporaryDir>
#include <QtTest>

#include "app/clogfile.h"
#include "app/globaltables.h"
#include "gateway/cgateway.h"
#include "ui/cabstractdeviceform.h"
#include "ui/csearcheditwidget.h"
#include "testworkdir.h"

namespace {

// Counts what the frame asks of its subclass.
class CCountingForm : public CAbstractDeviceForm
{
public:
    explicit CCountingForm(CGateway *_gateway)
        : CAbstractDeviceForm(_gateway)
    {
    }

    int searches = 0;
    int refreshes = 0;
    int oks = 0;
    QString lastSearch;

    QLineEdit *port() const { return portEdit; }
    QLineEdit *startAddress() const { return startAddressEdit; }
    QGridLayout *typeGrid() const { return deviceTypeGrid; }
    QPushButton *portMarker() const { return portErrorButton; }
    QPushButton *startAddressMarker() const { return startAddressErrorButton; }
    QStackedLayout *pages() const { return pageStack; }

protected:
    void deviceSearchNameSlot(QString str) override
    {
        ++searches;
        lastSearch = str;
    }
    void refresh() override
    {
        ++refreshes;
        fillDeviceTypeGrid();
    }
    void deviceListSelectSlot(QItemSelection, QItemSelection) override {}
    void addDeviceSlot() override { ++oks; }
};

bool writeTemplate(const QString &_file, const QString &_appEui, const QString &_type, const QString &_colour)
{
    QFile file(QStringLiteral("deviceFolder/") + _file);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray json = QStringLiteral(R"({ "app_eui": "%1", "dev_type": "%2", "color": "%3",
        "device_packets": [ { "packet_type": 1, "packet_size": 3, "packet_fields": [ { "packet_bias": 1,
        "data_bit_bias": 0, "data_bit_size": 16, "data_type": "integer", "reg_map_bias": 0, "reg_bit_bias": 0,
        "reg_bit_size": 16, "data_name": "T" } ] } ] })")
                                .arg(_appEui, _type, _colour)
                                .toUtf8();
    return file.write(json) == json.size();
}

QPushButton *buttonWithObjectName(const QWidget &_parent, const QString &_name, const QString &_text)
{
    for (QPushButton *button : _parent.findChildren<QPushButton *>())
        if (button->objectName() == _name && button->text() == _text)
            return button;
    return nullptr;
}

} // namespace

class TestDeviceForm : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir workDir;
    std::unique_ptr<CGateway> gateway;

private slots:
    void initTestCase()
    {
        QVERIFY(workDir.enter());
        QVERIFY(QDir().mkpath(QStringLiteral("deviceFolder")));
        // Six types: the legend wraps after five. Ascending AppEUI is the legend's order.
        const QStringList colours = { "#ff0000", "#00ff00", "#0000ff", "#ffff00", "#00ffff", "#ff00ff" };
        for (int i = 0; i < colours.size(); ++i)
            QVERIFY(writeTemplate(QStringLiteral("t%1.json").arg(i), QStringLiteral("A00000000000000%1").arg(i),
                                  QStringLiteral("Type %1").arg(i), colours.at(i)));
        gateway = std::make_unique<CGateway>(SGatewayConfig());
        QString error;
        QVERIFY2(gateway->start(&error), qPrintable(error));
        QCOMPARE(gateway->templates().size(), 6);
    }


    void numberFields_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("kept");
        QTest::newRow("digits") << "502" << "502";
        QTest::newRow("leading minus") << "-17" << "-17";
        QTest::newRow("letters dropped") << "5a0b2" << "502";
        QTest::newRow("decimal point dropped") << "1.5" << "15";
        QTest::newRow("minus inside dropped") << "12-3" << "123";
        QTest::newRow("only letters") << "port" << "";
        QTest::newRow("blank dropped") << " 8 0" << "80";
    }
    void numberFields()
    {
        QFETCH(QString, typed);
        QFETCH(QString, kept);
        CCountingForm form(gateway.get());
        QTest::keyClicks(form.port(), typed);
        QCOMPARE(form.port()->text(), kept);
        QTest::keyClicks(form.startAddress(), typed);
        QCOMPARE(form.startAddress()->text(), kept);
    }

    void enterPressesOkAndKeepsDialogOpen()
    {
        CCountingForm form(gateway.get());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.port()->setFocus();
        QTest::keyClick(form.port(), Qt::Key_Return);
        QCOMPARE(form.oks, 1);
        QVERIFY(form.isVisible());
        QCOMPARE(form.result(), int(QDialog::Rejected));
    }

    void okButtonIsTheDefault()
    {
        CCountingForm form(gateway.get());
        QPushButton *ok = buttonWithObjectName(form, QStringLiteral("greenBtn"), QStringLiteral("OK"));
        QVERIFY(ok);
        QVERIFY(ok->isDefault());
        QTest::mouseClick(ok, Qt::LeftButton);
        QCOMPARE(form.oks, 1);
    }

    void cancelRejects()
    {
        CCountingForm form(gateway.get());
        QTimer::singleShot(0, &form, [&form] {
            QTest::mouseClick(buttonWithObjectName(form, QStringLiteral("orangeBtn"), QStringLiteral("Cancel")),
                              Qt::LeftButton);
        });
        QCOMPARE(form.showForm(), int(QDialog::Rejected));
        QCOMPARE(form.refreshes, 1);
        QCOMPARE(form.oks, 0);
    }

    void refreshButtonRefreshesWithoutClosing()
    {
        CCountingForm form(gateway.get());
        form.show();
        QPushButton *refresh = buttonWithObjectName(form, QStringLiteral("blueBtn"), QString());
        QVERIFY(refresh);
        QTest::mouseClick(refresh, Qt::LeftButton);
        QTest::mouseClick(refresh, Qt::LeftButton);
        QCOMPARE(form.refreshes, 2);
        QVERIFY(form.isVisible());
    }

    void legendFiveToARowInTemplateColours()
    {
        CCountingForm form(gateway.get());
        form.show();
        QPushButton *refresh = buttonWithObjectName(form, QStringLiteral("blueBtn"), QString());
        QTest::mouseClick(refresh, Qt::LeftButton);
        // A second fill replaces the labels instead of adding to them.
        QTest::mouseClick(refresh, Qt::LeftButton);
        QGridLayout *grid = form.typeGrid();
        QCOMPARE(grid->count(), 6);
        QCOMPARE(grid->rowCount(), 2);
        auto *first = qobject_cast<QLabel *>(grid->itemAtPosition(0, 0)->widget());
        auto *fifth = qobject_cast<QLabel *>(grid->itemAtPosition(0, 4)->widget());
        auto *sixth = qobject_cast<QLabel *>(grid->itemAtPosition(1, 0)->widget());
        QVERIFY(first && fifth && sixth);
        QCOMPARE(first->text(), QStringLiteral("Type 0"));
        QCOMPARE(first->styleSheet(), QStringLiteral("QLabel {padding: 5px; background-color: #ff0000;}"));
        QCOMPARE(fifth->text(), QStringLiteral("Type 4"));
        QCOMPARE(sixth->text(), QStringLiteral("Type 5"));
        QCOMPARE(sixth->styleSheet(), QStringLiteral("QLabel {padding: 5px; background-color: #ff00ff;}"));
    }

    void searchTextReachesSubclass()
    {
        CCountingForm form(gateway.get());
        form.show();
        auto *search = form.findChild<CSearchEditWidget *>();
        QVERIFY(search);
        auto *line = search->findChild<QLineEdit *>();
        QTest::keyClicks(line, QStringLiteral("pump"));
        QCOMPARE(form.searches, 0);
        QTest::keyClick(line, Qt::Key_Return);
        QCOMPARE(form.searches, 1);
        QCOMPARE(form.lastSearch, QStringLiteral("pump"));
        // Return in the search box searches; it must not press OK.
        QCOMPARE(form.oks, 0);
    }

    void startsOnStatusPageWithMarkersHidden()
    {
        CCountingForm form(gateway.get());
        form.show();
        QCOMPARE(form.pages()->currentIndex(), int(CAbstractDeviceForm::eStatusPage));
        QVERIFY(form.portMarker()->isHidden());
        QVERIFY(form.startAddressMarker()->isHidden());
        QCOMPARE(form.portMarker()->toolTip(), QStringLiteral("Invalid TCP port (is used or unsupported)"));
        QCOMPARE(form.startAddressMarker()->toolTip(), QStringLiteral("Empty start address"));
        QCOMPARE(form.windowTitle(), QStringLiteral("Add new device interface"));
    }
};

QTEST_MAIN(TestDeviceForm)
#include "tst_deviceform.moc"
