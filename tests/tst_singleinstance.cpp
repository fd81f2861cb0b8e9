// One gateway per user: a second start hands over to the first and leaves.
#include "SingleInstance.h"
#include "TestMain.h"
#include "WindowProbe.h"

#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>

class TestSingleInstance : public QObject
{
    Q_OBJECT

private:
    // The real program, with the sandboxed TMPDIR (which keeps its fixed channel
    // name private; on Windows a pipe name is machine-wide) and settings.
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
        startProgram(second);
        QVERIFY(finished.wait(5000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        // It built no window of its own, so it logged nothing.
        QCOMPARE(second.readAllStandardError().contains("Ready."), false);
        QTRY_VERIFY(window.isVisible());
    }

    void anyConnectionShowsTheWindow()
    {
        // Any connection shows the window, whatever it carries.
        MainWindow window(testParts());
        QLocalSocket peer;
        peer.connectToServer(testChannelName());
        QVERIFY(peer.waitForConnected(1000));
        peer.write("HELLO");
        peer.flush();
        QTRY_VERIFY(window.isVisible());
    }
};

FIELDPOST_TEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
