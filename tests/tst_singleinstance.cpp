// One gateway per user: a second start hands over to the first and leaves.
#include "MainWindow.h"
#include "TestMain.h"
#include "WindowProbe.h"

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>

class TestSingleInstance : public QObject
{
    Q_OBJECT

private:
    // Runs the real program; the sandboxed TMPDIR and settings are inherited.
    static void startProgram(QProcess &process)
    {
        process.setProgram(QStringLiteral(FIELDPOST_BINARY));
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start();
    }

private slots:
    void init()
    {
        QSettings().setValue(QStringLiteral("tcpPort"), probe::freePort());
    }

    void secondStartShowsTheFirstWindowAndExits()
    {
        MainWindow window;
        QVERIFY(!window.isVisible());

        QProcess second;
        QSignalSpy finished(&second, &QProcess::finished);
        QElapsedTimer clock;
        clock.start();
        startProgram(second);
        QVERIFY(finished.wait(5000));
        const qint64 took = clock.elapsed();
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QVERIFY2(took < 1000, qPrintable(QStringLiteral("second start took %1 ms").arg(took)));
        // It built no window of its own, so it logged nothing.
        QCOMPARE(second.readAllStandardError().contains("Ready."), false);
        QTRY_VERIFY(window.isVisible());
    }

    void anyConnectionShowsTheWindow_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("nothing") << QByteArray();
        QTest::newRow("other text") << QByteArray("HELLO");
    }

    void anyConnectionShowsTheWindow()
    {
        QFETCH(QByteArray, message);
        MainWindow window;
        QLocalSocket peer;
        peer.connectToServer(QStringLiteral("ThornvaleworksFieldpost_IPC"));
        QVERIFY(peer.waitForConnected(1000));
        if (!message.isEmpty())
            peer.write(message);
        peer.flush();
        QTRY_VERIFY(window.isVisible());
    }

    void twoRealStarts()
    {
        QProcess first;
        startProgram(first);
        QVERIFY(first.waitForStarted());
        QByteArray log;
        QTRY_VERIFY_WITH_TIMEOUT((log += first.readAllStandardError()).contains("Ready. Connect the browser plugin."), 10000);

        QProcess second;
        startProgram(second);
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(first.state(), QProcess::Running);

        first.terminate();
        QVERIFY(first.waitForFinished(5000));
    }
};

FIELDPOST_TEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
