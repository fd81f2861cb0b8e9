#pragma once

#include <QApplication>
#include <QTemporaryDir>
#include <QtTest>

// Like QTEST_MAIN, but the settings store, the runtime files (the local
// single-instance socket lives in TMPDIR) and the temp folder all point into
// a throw-away folder before the application object exists, so a test never
// touches the user's real settings or a running instance.
#define FIELDPOST_TEST_MAIN(TestClass)                                                                   \
    int main(int argc, char **argv)                                                                      \
    {                                                                                                    \
        QTemporaryDir sandbox;                                                                           \
        if (!sandbox.isValid())                                                                          \
            return 2;                                                                                    \
        QDir(sandbox.path()).mkpath(QStringLiteral("config"));                                           \
        QDir(sandbox.path()).mkpath(QStringLiteral("tmp"));                                              \
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(sandbox.filePath(QStringLiteral("config"))));        \
        qputenv("TMPDIR", QFile::encodeName(sandbox.filePath(QStringLiteral("tmp"))));                    \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                                              \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                                     \
        QApplication app(argc, argv);                                                                    \
        QCoreApplication::setOrganizationName(QStringLiteral("Thornvaleworks"));                         \
        QCoreApplication::setApplicationName(QStringLiteral("Fieldpost"));                              \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                         \
        TestClass tc;                                                                                    \
        QTEST_SET_MAIN_SOURCE_PATH                                                                       \
        return QTest::qExec(&tc, argc, argv);                                                            \
    }
