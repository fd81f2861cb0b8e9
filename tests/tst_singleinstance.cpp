// One gateway per user: a second start hands over to the first and leaves.
#include "TestWindow.h"
#include "SingleInstance.h"
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
    // Its channel has the product's fixed name, which only the sandboxed TMPDIR
    // keeps private: on Windows a pipe name is machine-wide, and the deployed
    // program is checked under wine in a prefix of its own instead.
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
        // The real program reads the product's settings location, in the sandbox.
        QSettings(QStringLiteral("Thornvaleworks"), QStringLiteral("Fieldpost"))
            .setValue(QStringLiteral("tcpPort"), probe::freePort());
    }

    void secondStartShowsTheFirstWindowAndExits()
    {
#ifdef Q_OS_WIN
        QSKIP("the product's channel name is machine-wide here");
#endif
        MainWindow window({createSystemPlatform(), QLatin1String(ipcServerName), true, testLogFolder()});
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
        MainWindow window(testParts());
        QLocalSocket peer;
        peer.connectToServer(testChannelName());
        QVERIFY(peer.waitForConnected(1000));
        if (!message.isEmpty())
            peer.write(message);
        peer.flush();
        QTRY_VERIFY(window.isVisible());
    }

    void twoRealStarts()
    {
#ifdef Q_OS_WIN
        QSKIP("the product's channel name is machine-wide here");
#endif
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
