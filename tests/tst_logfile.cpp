#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "app/clogfile.h"

static const QString stampPattern = QStringLiteral("\\[\\d\\d-[^-\\]]+-\\d\\d \\d\\d:\\d\\d:\\d\\d\\]");
static const QString bannerStars(65, QLatin1Char('*'));
static const QString bannerTitle = QStringLiteral("**                      New session                            **");

class TestLogFile : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString previousDir;

    static QString readLog(const QString &name)
    {
        QFile file(name);
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        return QString::fromUtf8(file.readAll());
    }

private slots:
    void init()
    {
        QVERIFY(dir.isValid());
        previousDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        for (const QString &name : QDir().entryList({QStringLiteral("history.log*")}, QDir::Files))
            QFile::remove(name);
    }
    void cleanup() { QDir::setCurrent(previousDir); }

    void bannerLengths()
    {
        QCOMPARE(bannerStars.size(), 65);
        QCOMPARE(bannerTitle.size(), 65);
    }

    // Each line ends with its newline: no empty first line, a last line like the others.
    void sessionBeginsWithBannerLines()
    {
        CLogFile log(QStringLiteral("history.log"));
        log.startSession();
        const QString text = readLog(QStringLiteral("history.log"));
        QVERIFY(QRegularExpression(QStringLiteral("^") + stampPattern + QRegularExpression::escape(bannerStars) + "\n"
                                   + stampPattern + QRegularExpression::escape(bannerTitle) + "\n$")
                    .match(text).hasMatch());
    }

    // A command's run leaves only the line of the change it made: no banner, nothing else.
    void commandWritesOnlyItsChange()
    {
        CLogFile log(QStringLiteral("history.log"));
        log.setChangesOnly(true);
        QSignalSpy spy(&log, &CLogFile::addLogSignal);
        log.addLogMetod(QStringLiteral("Device [0A0B] inited SUCCESSULLY"));
        QCOMPARE(readLog(QStringLiteral("history.log")), QString());
        QCOMPARE(spy.count(), 1);
    }

    // A file of an older version ends without a newline: the next line does not run into it.
    void olderFileWithoutFinalNewline()
    {
        QFile old(QStringLiteral("history.log"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        QCOMPARE(old.write("\n[01-Dec-26 10:00:00]last line of before"), qint64(40));
        old.close();
        CLogFile log(QStringLiteral("history.log"));
        log.addLogMetod(QStringLiteral("first line of now"));
        const QStringList lines = readLog(QStringLiteral("history.log")).split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines.at(1), QStringLiteral("[01-Dec-26 10:00:00]last line of before"));
        QVERIFY(lines.at(2).endsWith(QStringLiteral("]first line of now")));
        QCOMPARE(lines.at(3), QString());
    }

    void secondRunAppends()
    {
        {
            CLogFile first(QStringLiteral("history.log"));
            first.startSession();
            first.addLogMetod(QStringLiteral("first run entry"));
        }
        {
            CLogFile second(QStringLiteral("history.log"));
            second.startSession();
            second.addLogMetod(QStringLiteral("second run entry"));
        }
        const QStringList lines = readLog(QStringLiteral("history.log")).split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 7);
        QVERIFY(lines.at(2).endsWith(QStringLiteral("]first run entry")));
        QVERIFY(lines.at(3).endsWith(bannerStars));
        QVERIFY(lines.at(4).endsWith(bannerTitle));
        QVERIFY(lines.at(5).endsWith(QStringLiteral("]second run entry")));
        QCOMPARE(lines.at(6), QString());
    }

    // Both cases start without a file: the log creates it, as on a first run.
    void anotherWritersLinesAreKept()
    {
        CLogFile log(QStringLiteral("history.log"));
        log.startSession();
        QFile other(QStringLiteral("history.log"));
        QVERIFY(other.open(QIODevice::WriteOnly | QIODevice::Append));
        QCOMPARE(other.write("line of another writer\n"), qint64(23));
        other.close();
        log.addLogMetod(QStringLiteral("after the other writer"));
        const QStringList lines = readLog(QStringLiteral("history.log")).split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 5);
        QCOMPARE(lines.at(2), QStringLiteral("line of another writer"));
        QVERIFY(lines.at(3).endsWith(QStringLiteral("]after the other writer")));
    }

    void truncatedFromOutsideLeavesNoHole()
    {
        CLogFile log(QStringLiteral("history.log"));
        log.addLogMetod(QStringLiteral("before the copy"));
        QVERIFY(QFile::resize(QStringLiteral("history.log"), 0));
        log.addLogMetod(QStringLiteral("after truncation"));
        QFile file(QStringLiteral("history.log"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QCOMPARE(content.count('\0'), 0);
        QVERIFY(QRegularExpression(QStringLiteral("^") + stampPattern + "after truncation\n$")
                    .match(QString::fromUtf8(content))
                    .hasMatch());
    }

    void rotatesKeepingFiveOlderFiles()
    {
        const qint64 size = 1000;
        CLogFile log(QStringLiteral("history.log"));
        log.setRotateSize(size);
        // About 60 bytes each: 16 entries a file, so 100 entries fill more than six files.
        for (int number = 0; number < 100; ++number)
            log.addLogMetod(QStringLiteral("entry %1 ").arg(number, 3, 10, QLatin1Char('0')) + QString(30, 'x'));

        QVERIFY(!QFile::exists(QStringLiteral("history.log.6")));
        // Oldest first: .5 to .1, then the current file.
        QStringList texts;
        for (int kept = CLogFile::KEPT_OLD_FILES; kept >= 1; --kept) {
            const QString name = QStringLiteral("history.log.%1").arg(kept);
            QVERIFY2(QFile::exists(name), qPrintable(name));
            QVERIFY(QFileInfo(name).size() <= size);
            texts << readLog(name);
        }
        QVERIFY(QFileInfo(QStringLiteral("history.log")).size() <= size);
        texts << readLog(QStringLiteral("history.log"));

        // The kept entries run on without a gap up to the last one; the oldest went.
        QList<int> numbers;
        const QRegularExpression entry(QStringLiteral("\\]entry (\\d+) x+$"));
        for (const QString &text : texts) {
            for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
                const QRegularExpressionMatch match = entry.match(line);
                if (match.hasMatch())
                    numbers << match.captured(1).toInt();
            }
        }
        QVERIFY(!numbers.isEmpty());
        QVERIFY(numbers.first() > 0);
        QCOMPARE(numbers.last(), 99);
        for (int i = 1; i < numbers.size(); ++i)
            QCOMPARE(numbers.at(i), numbers.at(i - 1) + 1);
        QVERIFY(numbers.size() >= 5 * 15);
    }

    void entryIsFlushedBeforeReturn()
    {
        CLogFile log(QStringLiteral("history.log"));
        log.addLogMetod(QStringLiteral("visible at once"));
        // Read through a second handle while the log stays open.
        QVERIFY(readLog(QStringLiteral("history.log")).endsWith(QStringLiteral("]visible at once\n")));
    }

    void lineBreakWrittenButNotEmitted()
    {
        CLogFile log(QStringLiteral("history.log"));
        QSignalSpy spy(&log, &CLogFile::addLogSignal);
        log.addLogMetod(QStringLiteral("two\r\nlines"));
        QCOMPARE(spy.count(), 1);
        const QString emitted = spy.at(0).at(0).toString();
        QVERIFY(!emitted.contains(QLatin1Char('\n')));
        QVERIFY(!emitted.contains(QLatin1Char('\r')));
        QVERIFY(QRegularExpression(QStringLiteral("^") + stampPattern + "twolines$").match(emitted).hasMatch());
        QVERIFY(readLog(QStringLiteral("history.log")).endsWith(QStringLiteral("]two\r\nlines\n")));
    }

    void unopenableFileKeepsEmitting()
    {
        QVERIFY(QDir().mkdir(QStringLiteral("blocked.log")));
        QTest::ignoreMessage(QtDebugMsg, "[CLogFile] Invalid file opening!");
        CLogFile log(QStringLiteral("blocked.log"));
        QSignalSpy spy(&log, &CLogFile::addLogSignal);
        QTest::ignoreMessage(QtDebugMsg, "[CLogFile::addLogMetod] File is closed!");
        log.addLogMetod(QStringLiteral("still reported"));
        QCOMPARE(spy.count(), 1);
        QVERIFY(spy.at(0).at(0).toString().endsWith(QStringLiteral("]still reported")));
    }

    void processLogIsOneObject()
    {
        CLogFile *log = CLogFile::getInstance(QStringLiteral("history.log"));
        QCOMPARE(CLogFile::getInstance(QString()), log);
        QSignalSpy spy(log, &CLogFile::addLogSignal);
        CLogFile::addLog(QStringLiteral("through addLog"));
        QCOMPARE(spy.count(), 1);
        QVERIFY(readLog(QStringLiteral("history.log")).endsWith(QStringLiteral("]through addLog\n")));
    }
};

QTEST_GUILESS_MAIN(TestLogFile)
#include "tst_logfile.moc"
