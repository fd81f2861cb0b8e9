#pragma once

#include <QApplication>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

// Names of this test process's own for the settings store and the
// single-instance channel: a suite never reads or clears the user's settings
// (on Windows HKCU\Software\Thornvaleworks\Fieldpost) and never talks to a
// gateway that runs on the same desktop.
inline const QString testOrganization = QStringLiteral("ThornvaleworksTest");

inline QString testChannelName()
{
    return testOrganization + QCoreApplication::applicationName();
}

// This test process's throw-away folder, removed when it ends.
inline QString &testSandboxPath()
{
    static QString path;
    return path;
}

// Like QTEST_MAIN, but with the names above, and with the settings folder, the
// data folder (where a log file goes), the runtime folder (where the
// single-instance channel lives on Unix) and the temp folder in a throw-away
// folder before the application object exists.
#define FIELDPOST_TEST_MAIN(TestClass)                                                                   \
    int main(int argc, char **argv)                                                                      \
    {                                                                                                    \
        QTemporaryDir sandbox;                                                                           \
        if (!sandbox.isValid())                                                                          \
            return 2;                                                                                    \
        testSandboxPath() = sandbox.path();                                                              \
        for (const char *folder : {"config", "data", "tmp", "run"})                                      \
            QDir(sandbox.path()).mkpath(QLatin1String(folder));                                          \
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(sandbox.filePath(QStringLiteral("config"))));        \
        qputenv("XDG_DATA_HOME", QFile::encodeName(sandbox.filePath(QStringLiteral("data"))));            \
        QFile::setPermissions(sandbox.filePath(QStringLiteral("run")), QFile::Permissions(0x7000));       \
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(sandbox.filePath(QStringLiteral("run"))));           \
        qputenv("TMPDIR", QFile::encodeName(sandbox.filePath(QStringLiteral("tmp"))));                    \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                                              \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                                     \
        QApplication app(argc, argv);                                                                    \
        QCoreApplication::setOrganizationName(testOrganization);                                         \
        QCoreApplication::setApplicationName(QFileInfo(QString::fromLocal8Bit(argv[0])).baseName()       \
                                             + QString::number(QCoreApplication::applicationPid()));     \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                         \
        TestClass tc;                                                                                    \
        QTEST_SET_MAIN_SOURCE_PATH                                                                       \
        const int failed = QTest::qExec(&tc, argc, argv);                                                \
        fieldpostRemoveTestSettings();                                                                   \
        return failed;                                                                                   \
    }

// The registry keeps what a suite wrote after the sandbox folder is gone.
inline void fieldpostRemoveTestSettings()
{
#ifdef Q_OS_WIN
    QSettings(QStringLiteral("HKEY_CURRENT_USER\\Software"), QSettings::NativeFormat).remove(testOrganization);
#endif
}
