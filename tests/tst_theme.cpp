#include <QApplication>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

#include "ui/palette.h"
#include "app/globaltables.h"
#include "ui/theme.h"

class TestTheme : public QObject
{
    Q_OBJECT

private slots:
    void substitution_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("longer name first") << "color: QC_GLOB_BLACK1_D2;" << "color: #071114;";
        QTest::newRow("base of a longer name") << "color: QC_GLOB_BLACK1;" << "color: #171d1f;";
        QTest::newRow("like L1") << "QCT_GLOB_BLUE1_LIKE_L1" << "#3f92d2";
        QTest::newRow("like base") << "QCT_GLOB_BLUE1_LIKE" << "#0b61a4";
        QTest::newRow("blue base") << "QCT_GLOB_BLUE1" << "#245365";
        QTest::newRow("yellow L1") << "QC_GLOB_YELLOW1_L1" << "#fbea50";
        QTest::newRow("white without 1 stays") << "color: QC_GLOB_WHITE;" << "color: QC_GLOB_WHITE;";
        QTest::newRow("white1") << "QC_GLOB_WHITE1" << "#ebeff2";
        QTest::newRow("upper-case value comes out lower") << "QC_STAT_TOTAL" << "#0038a8";
        QTest::newRow("graph back before gr2") << "QC_GRAPH_BACK_GR2 QC_GRAPH_BACK" << "#3a434b #414951";
        QTest::newRow("inside a longer word") << "xQC_GLOB_RED1y" << "x#f5494dy";
        QTest::newRow("every occurrence") << "QC_GLOB_RED1_L2 QC_GLOB_RED1_L2" << "#fa999c #fa999c";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("plain text") << "QPushButton { border: none; }" << "QPushButton { border: none; }";
    }
    void substitution()
    {
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QCOMPARE(replaceColorPlaceholders(input), expected);
    }

    void paletteHas88EntriesWithDuplicateValuesKept()
    {
        const auto &entries = paletteEntries();
        QCOMPARE(entries.size(), 88);
        QSet<QString> names;
        int darkGrey = 0, axisGrey = 0, lightBlue = 0;
        for (const auto &entry : entries) {
            names.insert(entry.first);
            darkGrey += entry.second.name() == QLatin1String("#414951");
            axisGrey += entry.second.name() == QLatin1String("#c4c6c9");
            lightBlue += entry.second.name() == QLatin1String("#ebeff2");
        }
        QCOMPARE(names.size(), 88);
        QCOMPARE(darkGrey, 2);
        QCOMPARE(axisGrey, 2);
        QCOMPARE(lightBlue, 2);
        QCOMPARE(QC_GLOB_BLACK6C_45.name(), QStringLiteral("#94999d"));
        QCOMPARE(QC_GLOB_RED1_L2.name(), QStringLiteral("#fa999c"));
    }

    void replacementOrderCoversPaletteSafely()
    {
        const QStringList &order = placeholderReplacementOrder();
        QCOMPARE(order.size(), 88);
        QSet<QString> paletteNames;
        for (const auto &entry : paletteEntries())
            paletteNames.insert(entry.first);
        QCOMPARE(QSet<QString>(order.begin(), order.end()), paletteNames);
        // A name that contains another must be replaced first, or the shorter
        // name's colour would be pasted into it.
        for (int i = 0; i < order.size(); ++i)
            for (int j = i + 1; j < order.size(); ++j)
                QVERIFY2(!order.at(j).contains(order.at(i)),
                         qPrintable(order.at(j) + " follows " + order.at(i)));
    }

    void everyPaletteNameMapsToItsOwnColour()
    {
        for (const auto &entry : paletteEntries())
            QCOMPARE(replaceColorPlaceholders(entry.first), entry.second.name());
    }

    void themeStyleSheetIsCompleteAndParses()
    {
        const QString sheet = loadThemeStyleSheet();
        QVERIFY(sheet.contains(QStringLiteral("QPushButton#greenBtn")));
        // The only name left is the search box's QC_GLOB_WHITE, which is no palette entry.
        QString rest = sheet;
        rest.remove(QStringLiteral("QC_GLOB_WHITE;"));
        QVERIFY2(!rest.contains(QRegularExpression(QStringLiteral("QC_|QCT_"))), qPrintable(rest));
        QVERIFY(sheet.contains(QStringLiteral("#39b88c")));

        static QStringList warnings;
        warnings.clear();
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext &, const QString &message) {
                if (type == QtWarningMsg)
                    warnings << message;
            });
        qApp->setStyleSheet(sheet);
        QWidget widget;
        widget.setObjectName(QStringLiteral("MainWidget"));
        widget.ensurePolished();
        qInstallMessageHandler(previous);
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
    }

    void logoIconLoaded()
    {
        loadThemeIcons();
        QVERIFY(!logoIcon.availableSizes().isEmpty());
    }

    void everyNamedIconIsInTheResources_data()
    {
        QTest::addColumn<QString>("path");
        for (const char *path : {":/addIco.png", ":/editIco.png", ":/delete2Ico.png", ":/deleteIco.png",
                                 ":/searchIco.png", ":/refresh2Ico.png", ":/connectionGoodIco.png",
                                 ":/connectionFailIco.png", ":/korv-a_logo5_gradient.png"})
            QTest::newRow(path) << QString::fromLatin1(path);
    }
    void everyNamedIconIsInTheResources()
    {
        QFETCH(QString, path);
        initKelvaraResources();
        const QImage image(path);
        QVERIFY(!image.isNull());
        // Drawn at up to 45 px; the artwork must not be upscaled blurry.
        QVERIFY(image.width() >= 45 && image.height() >= 45);
    }
};

QTEST_MAIN(TestTheme)
#include "tst_theme.moc"
