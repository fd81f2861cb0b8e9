// The log: the window's view keeps the latest lines, Copy and Clear act on
// the view, and every line also goes to a log file, in batches, that rotates
// and whose failure costs one line, not the gateway.
#include "LogFile.h"
#include "Logger.h"
#include "WindowProbe.h"

#include <QClipboard>
#include <QGuiApplication>

#include <memory>
#include <optional>

namespace {

std::unique_ptr<MainWindow> windowLoggingTo(const QString &folder)
{
    QSettings().setValue(QStringLiteral("tcpPort"), 0);
    WindowParts parts = testParts();
    parts.logFolder = folder;
    return std::make_unique<MainWindow>(std::move(parts));
}

void log(MainWindow *window, const QString &message)
{
    QVERIFY(QMetaObject::invokeMethod(window, "log", Q_ARG(QString, message)));
}

QStringList fileLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("cannot read ") + path};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace

class TestLog : public QObject
{
    Q_OBJECT

    std::optional<QTemporaryDir> folder; // a fresh one for each test
    QString logPath() const { return folder->filePath(QStringLiteral("fieldpost.log")); }

private slots:
    void init() { QVERIFY(folder.emplace().isValid()); }

    // The view's "[HH:mm:ss] msg" and the file's "[yyyy-MM-dd HH:mm:ss] msg",
    // line for line, the file's first line naming it.
    void viewAndFileLines()
    {
        QFile::setPermissions(folder->path(), QFile::Permissions(0x7755)); // as an earlier version left it
        auto window = windowLoggingTo(folder->path());
        log(window.get(), QString());
        // A value cannot break a line or forge one: control characters are escaped.
        log(window.get(), QStringLiteral("A\n[12:00:00] Fill OK.\x01\u2028\t"));
        log(window.get(), QStringLiteral("Plugin pr\u00eat \u2192 ok"));
        const QStringList view = probe::logView(window.get())->toPlainText().split(QLatin1Char('\n'));
        QCOMPARE(view.first().mid(11), QStringLiteral("Log file: ") + QDir::toNativeSeparators(logPath()));
        QVERIFY2(QRegularExpression(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\] $")).match(view.at(view.size() - 3)).hasMatch(),
                 qPrintable(view.at(view.size() - 3)));

        QTRY_COMPARE(fileLines(logPath()).size(), view.size());
        const QStringList file = fileLines(logPath());
        const QRegularExpression dated(QStringLiteral("^\\[\\d{4}-\\d\\d-\\d\\d (\\d\\d:\\d\\d:\\d\\d\\] .*)$"));
        for (qsizetype i = 0; i < file.size(); ++i) {
            const QRegularExpressionMatch match = dated.match(file.at(i));
            QVERIFY2(match.hasMatch(), qPrintable(file.at(i)));
            QCOMPARE(QLatin1Char('[') + match.captured(1), view.at(i));
        }
        QCOMPARE(file.last().mid(21), QStringLiteral(" Plugin pr\u00eat \u2192 ok"));
        QCOMPARE(file.at(file.size() - 2).mid(22), QStringLiteral("A\\n[12:00:00] Fill OK.\\x01\\u2028\\t"));
#ifdef Q_OS_UNIX
        // Every scanned value is in there: the user's own eyes only.
        QCOMPARE(QFileInfo(folder->path()).permissions() & 0x0077, QFile::Permissions());
        QCOMPARE(QFileInfo(logPath()).permissions() & 0x0077, QFile::Permissions());
#endif
    }

    // Copy takes what the view holds, then says so; Clear empties the view only.
    // The view holds the latest 10,000 lines; the file keeps every one.
    void copyClearAndTheCap()
    {
        auto window = windowLoggingTo(folder->path());
        const QString before = probe::logView(window.get())->toPlainText();
        probe::button(window.get(), "copyLogButton")->click();
        QCOMPARE(QGuiApplication::clipboard()->text(QClipboard::Clipboard), before);
        QCOMPARE(probe::logMessages(window.get()).last(), QStringLiteral("Log copied to clipboard."));

        log(window.get(), QStringLiteral("cleared before it was shown"));
        probe::button(window.get(), "clearLogButton")->click();
        QCOMPARE(probe::logView(window.get())->toPlainText(), QString());
        // Lines logged in the tray wait for the window; when it opens, the view shows the latest.
        for (int i = 1; i <= 10001; ++i)
            log(window.get(), QStringLiteral("line %1").arg(i));
        window->show();
        QCOMPARE(window->findChild<QPlainTextEdit *>()->document()->blockCount(), 10000);
        log(window.get(), QStringLiteral("line 10002"));
        probe::button(window.get(), "copyLogButton")->click();
        const QStringList copied = QGuiApplication::clipboard()->text(QClipboard::Clipboard).split(QLatin1Char('\n'));
        QCOMPARE(copied.size(), 10000);
        QCOMPARE(copied.first().mid(11), QStringLiteral("line 3"));
        QCOMPARE(copied.last().mid(11), QStringLiteral("line 10002"));

        window.reset();
        const QStringList file = fileLines(logPath());
        QCOMPARE(file.filter(QRegularExpression(QStringLiteral("\\] line \\d+$"))).size(), 10002);
        QCOMPARE(file.filter(QStringLiteral("] Log copied to clipboard.")).size(), 2);
        QCOMPARE(file.filter(QStringLiteral("] cleared before it was shown")).size(), 1);
    }

    // Lines reach the file after a short wait, in order, and the rest when the logger goes.
    void batches()
    {
        auto logger = std::make_unique<Logger>();
        logger->openFile(folder->path());
        auto logLines = [&](int from, int to) {
            for (int i = from; i < to; ++i)
                logger->log(QStringLiteral("line %1").arg(i));
        };
        auto numbered = [&] {
            QStringList numbers;
            for (const QString &line : fileLines(logPath()).filter(QRegularExpression(QStringLiteral("\\] line \\d+$"))))
                numbers << line.section(QLatin1Char(' '), -1);
            return numbers.join(QLatin1Char(','));
        };
        auto upTo = [](int count) {
            QStringList numbers;
            for (int i = 0; i < count; ++i)
                numbers << QString::number(i);
            return numbers.join(QLatin1Char(','));
        };
        logLines(0, 100);
        logger->flush();
        QCOMPARE(QFileInfo(logPath()).size(), 0);
        QTRY_COMPARE(numbered(), upTo(100));
        logLines(100, 150);
        logger->flush();
        logger.reset();
        QCOMPARE(numbered(), upTo(150));
    }

    // The file holds at most its bound before writing, and writes what it holds when it goes.
    void heldBound()
    {
        const QByteArray line = QByteArray(99, 'x') + '\n';
        qint64 written = 0;
        {
            LogFile file(folder->path());
            QVERIFY(file.open());
            for (; written + line.size() < LogFile::MaxHeldBytes; written += line.size())
                QVERIFY(file.write(line));
            QCOMPARE(QFileInfo(logPath()).size(), 0);
            QVERIFY(file.write(line));
            written += line.size();
            QCOMPARE(QFileInfo(logPath()).size(), written);
            QVERIFY(file.write(line));
            written += line.size();
            QCOMPARE(QFileInfo(logPath()).size(), written - line.size());
        }
        QCOMPARE(QFileInfo(logPath()).size(), written);
    }

    // With a small limit: the file never grows past it, four old files are kept,
    // together they hold the latest lines in order, and each file was closed
    // only when the next batch would not fit, as if every batch went to disk at once.
    void rotation()
    {
        QByteArray all;
        auto batch = [](int i) { return QByteArray("line ").append(QByteArray::number(i)).append("\n").repeated(i % 3 + 1); };
        {
            LogFile file(folder->path(), 100);
            QVERIFY(file.open());
            for (int i = 0; i < 60; ++i) {
                const QByteArray lines = batch(i);
                QVERIFY2(file.write(lines), qPrintable(file.errorString()));
                all += lines;
            }
        }
        // Appending again after a restart counts what is already there.
        LogFile reopened(folder->path(), 100);
        QVERIFY(reopened.open());
        QVERIFY(reopened.write("after restart\n") && reopened.flush());
        all += "after restart\n";

        const QDir dir(folder->path());
        QCOMPARE(dir.entryList(QDir::Files, QDir::Name),
                 (QStringList{"fieldpost.1.log", "fieldpost.2.log", "fieldpost.3.log", "fieldpost.4.log", "fieldpost.log"}));
        QByteArray kept;
        qint64 previousSize = -1;
        for (const char *name : {"fieldpost.4.log", "fieldpost.3.log", "fieldpost.2.log", "fieldpost.1.log", "fieldpost.log"}) {
            QFile part(dir.filePath(QLatin1String(name)));
            QVERIFY(part.open(QIODevice::ReadOnly));
            QVERIFY2(part.size() <= 100, qPrintable(name));
            const QByteArray bytes = part.readAll();
            const QByteArray first = bytes.left(bytes.indexOf('\n'));
            const QByteArray firstBatch = first.startsWith("line ") ? batch(first.mid(5).toInt()) : first + '\n';
            QVERIFY2(bytes.startsWith(firstBatch), qPrintable(name));
            if (previousSize >= 0)
                QVERIFY2(previousSize + firstBatch.size() > 100, qPrintable(name));
            previousSize = bytes.size();
            kept += bytes;
        }
        QVERIFY(all.size() > kept.size());
        QCOMPARE(all.right(kept.size()), kept);
    }

    void unwritable_data()
    {
        QTest::addColumn<bool>("opens");
        QTest::newRow("folder cannot be made") << false;
        QTest::newRow("disk full") << true;
    }

    // One line in the view, and the gateway carries on without the file.
    void unwritable()
    {
        QFETCH(bool, opens);
        QString logFolder = folder->filePath(QStringLiteral("plain-file/log"));
        QFile(folder->filePath(QStringLiteral("plain-file"))).open(QIODevice::WriteOnly);
        if (opens) {
            if (!QFile::exists(QStringLiteral("/dev/full")))
                QSKIP("no /dev/full here");
            logFolder = folder->path();
            QVERIFY(QFile::link(QStringLiteral("/dev/full"), logPath()));
        }
        auto window = windowLoggingTo(logFolder);
        const QString failed = QStringLiteral("Log file: cannot write %1 (")
                                   .arg(QDir::toNativeSeparators(QDir(logFolder).filePath(QStringLiteral("fieldpost.log"))));
        // A full disk shows when the first batch goes to it.
        QTRY_VERIFY(!probe::logMessages(window.get()).filter(failed).isEmpty());
        log(window.get(), QStringLiteral("still logging"));
        probe::logView(window.get()); // the next batch goes out
        const QStringList log = probe::logMessages(window.get());
        QCOMPARE(log.filter(QRegularExpression(QStringLiteral("^Log file: "))).size(), opens ? 2 : 1);
        QCOMPARE(log.filter(failed).size(), 1);
        QVERIFY2(log.filter(failed).first().endsWith(QLatin1String("); the log stays in this window only")),
                 qPrintable(log.filter(failed).first()));
        QVERIFY(log.contains(QStringLiteral("Ready. Connect the browser plugin.")));
        QCOMPARE(log.last(), QStringLiteral("still logging"));
    }
};

FIELDPOST_TEST_MAIN(TestLog)
#include "tst_log.moc"
