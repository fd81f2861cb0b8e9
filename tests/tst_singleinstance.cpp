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
    // The real program, with the sandboxed runtime folder (which keeps its
    // channel private; on Windows the user's pipe is the user's real one) and settings.
    static void startProgram(QProcess &process, const QStringList &arguments = {})
    {
        process.setProgram(QStringLiteral(FIELDPOST_BINARY));
        process.setArguments(arguments);
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start();
    }

private slots:
    void init()
    {
        QSettings().setValue(QStringLiteral("tcpPort"), 0);
        // The real program reads the product's settings location, in the sandbox.
        QSettings(QStringLiteral("Thornvaleworks"), QStringLiteral("Fieldpost"))
            .setValue(QStringLiteral("tcpPort"), 0);
    }

    void secondStartShowsTheFirstWindowAndExits()
    {
#ifdef Q_OS_WIN
        QSKIP("the product's channel name is machine-wide here");
#endif
        WindowParts parts = testParts();
        parts.channelName = userChannelName();
        QVERIFY(parts.channelName.contains(QStringLiteral("ThornvaleworksFieldpost_IPC-")));
        MainWindow window(std::move(parts));
        QVERIFY(!window.isVisible());

        // A second start, service or window, says so and leaves; the running one shows its window.
        for (const QStringList &arguments : {QStringList{"--service"}, QStringList()}) {
            QProcess second;
            QSignalSpy finished(&second, &QProcess::finished);
            startProgram(second, arguments);
            QVERIFY(finished.wait(5000));
            QCOMPARE(second.exitStatus(), QProcess::NormalExit);
            QCOMPARE(second.exitCode(), arguments.isEmpty() ? 0 : 1);
            // It started no gateway of its own, so it logged nothing.
            const QByteArray said = second.readAllStandardError();
            QVERIFY2(said.startsWith("Fieldpost is already running for this user.") && !said.contains("Ready."), said.constData());
        }
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
