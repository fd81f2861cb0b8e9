// The Linux platform on real policy files (under a root of its own), the process list and an X server.
#include "Browsers.h"
#include "ExtensionPolicy.h"
#include "LinuxBrowserPlatform.h"
#include "PluginSource.h"
#include "PolicyFile.h"
#include "TestMain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <xcb/xcb.h>

#include <functional>
#include <memory>
#include <optional>
#include <utility>

namespace {

const QString chrome = BrowserKey::chrome;
const QString edge = BrowserKey::edge;
const QString chromeFolder = QStringLiteral("opt/chrome/policies/managed");
const QString chromiumFolder = QStringLiteral("chromium/policies/managed");
const QString edgeFolder = QStringLiteral("opt/edge/policies/managed");

QByteArray listOf(const QStringList &values)
{
    return "{\"ExtensionInstallForcelist\": [\"" + values.join(QStringLiteral("\", \"")).toUtf8() + "\"]}";
}

// A root whose path has blanks, quotes and a "$", so that paths must reach the elevated step as they are, and a
// runner that runs that step without elevation or, once, refuses like a dismissed prompt. Paths are relative to the root.
struct Sandbox
{
    QTemporaryDir dir;
    QString root = dir.filePath(QStringLiteral("a dir \"with\" $HOME 'quotes'"));
    QList<ElevatedCommand> commands;
    bool refuse = false;
    LinuxBrowserPlatform platform{root, [this](const ElevatedCommand &command, PolicyChangeDone done) {
                                      commands << command;
                                      bool ok = false;
                                      if (!std::exchange(refuse, false)) {
                                          QProcess process;
                                          process.start(command.program, command.arguments);
                                          process.write(command.input);
                                          process.closeWriteChannel();
                                          ok = process.waitForFinished() && process.exitCode() == 0;
                                      }
                                      finishPolicyChangeLater(std::move(done), ok);
                                  }};

    QString path(const QString &relative) const { return root + QLatin1Char('/') + relative; }
    QByteArray read(const QString &relative) const
    {
        QFile file(path(relative));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QStringList entries(const QString &relative) const { return forcelistEntries(read(relative)); }
    void write(const QString &relative, const QByteArray &content) const
    {
        QDir().mkpath(QFileInfo(path(relative)).path());
        QFile file(path(relative));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size());
    }
    // A change and its outcome, as the event loop delivers it.
    bool settle(const std::function<void(PolicyChangeDone)> &start)
    {
        std::optional<bool> outcome;
        start([&outcome](bool ok) { outcome = ok; });
        (void)QTest::qWaitFor([&] { return outcome.has_value(); }, 10000);
        return outcome.value_or(false);
    }
    bool change(const QString &key, bool install)
    {
        return settle([&](PolicyChangeDone done) { setExtensionPolicy(platform, key, value(key), install, done); });
    }
    bool installed(const QString &key) { return isExtensionInstalled(platform, key, value(key)); }
    static QString value(const QString &key) { return pluginSource(*browserByKey(key)).policyValue(); }
};

xcb_atom_t atom(xcb_connection_t *c, const char *name)
{
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(qstrlen(name)), name), nullptr), &std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// Sets a property and waits until the server has it.
void putProperty(xcb_connection_t *c, xcb_window_t window, xcb_atom_t property, xcb_atom_t type, int format,
                 size_t count, const void *data)
{
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, property, type, uint8_t(format), uint32_t(count), data);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

// A top-level window titled through _NET_WM_NAME (UTF-8) or WM_NAME (Latin-1).
xcb_window_t makeWindow(xcb_connection_t *c, xcb_screen_t *screen, const QString &title, bool utf8, bool map)
{
    const xcb_window_t window = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 120, 80, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    if (map)
        xcb_map_window(c, window);
    const QByteArray bytes = utf8 ? title.toUtf8() : title.toLatin1();
    putProperty(c, window, utf8 ? atom(c, "_NET_WM_NAME") : xcb_atom_t(XCB_ATOM_WM_NAME),
                utf8 ? atom(c, "UTF8_STRING") : xcb_atom_t(XCB_ATOM_STRING), 8, size_t(bytes.size()), bytes.constData());
    return window;
}

} // namespace

class TestLinuxPolicy : public QObject
{
    Q_OBJECT

private slots:
    // One elevated step per change, which gets the file on standard input and
    // names every tool by its full path; other files and browsers stay untouched.
    void installAndUninstall()
    {
        Sandbox box;
        const QString value = Sandbox::value(chrome), own = chromeFolder + "/fieldpost.json";
        const QByteArray company = "{\"Home\": \"h\", \"ExtensionInstallForcelist\": [\"x;y\"]}";
        box.write(chromeFolder + "/company.json", company);
        box.write(own, listOf({"o;p"}));
        box.refuse = true; // a dismissed prompt changes nothing
        QVERIFY(!box.change(chrome, true));
        QCOMPARE(box.entries(own), QStringList{"o;p"});

        QVERIFY(box.change(chrome, true));
        QCOMPARE(box.entries(own), (QStringList{"o;p", value}));
        QCOMPARE(QFileInfo(box.path(own)).permissions() & QFile::Permissions(0x0fff),
                 QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther);
        const ElevatedCommand &step = box.commands.last();
        QCOMPARE(step.program, QStringLiteral("/bin/sh"));
        QCOMPARE(step.arguments.mid(3), (QStringList{box.path(chromeFolder), box.path(own)}));
        QCOMPARE(step.input, box.read(own));
        const QString script = step.arguments.value(1);
        QVERIFY2(script.contains(QStringLiteral("/usr/bin/install ")) && !script.contains(box.root), qPrintable(script));
        for (const QString &word : script.split(QRegularExpression(QStringLiteral("[ ;&|{}()=$]+")), Qt::SkipEmptyParts))
            QVERIFY2(!QRegularExpression(QStringLiteral("^(install|mktemp|mv|rm|cat|chmod)$")).match(word).hasMatch(),
                     qPrintable(QStringLiteral("%1 through PATH in: %2").arg(word, script)));
        QVERIFY(box.installed(chrome));
        QVERIFY(!box.installed(BrowserKey::chromium) && !box.installed(edge));
        // Names outside this browser's folder or past a list are refused without running anything.
        box.write(edgeFolder + "/fieldpost.json", listOf({value}));
        for (const QString &name : {edgeFolder + "/fieldpost.json#0", chromeFolder + "/../../../../escape.json#0", own + "#5"})
            QVERIFY2(!box.settle([&](PolicyChangeDone done) { box.platform.removePolicyEntry(chrome, name, done); }),
                     qPrintable(name));
        QCOMPARE(box.commands.size(), 2);

        box.refuse = true;
        QVERIFY(!box.change(chrome, false));
        QVERIFY(box.installed(chrome));
        QVERIFY(box.change(chrome, false));
        QCOMPARE(box.commands.size(), 4);
        QCOMPARE(box.entries(own), QStringList{"o;p"});
        QCOMPARE(box.read(chromeFolder + "/company.json"), company);

        // An entry in another file of the folder counts, and uninstall takes out only that item.
        const QString admin = chromiumFolder + "/admin.json";
        box.write(admin, listOf({"x;y", Sandbox::value(BrowserKey::chromium), "z;w"}));
        QVERIFY(box.installed(BrowserKey::chromium));
        QVERIFY(box.change(BrowserKey::chromium, false));
        QCOMPARE(box.entries(admin), (QStringList{"x;y", "z;w"}));
        QVERIFY(!box.installed(BrowserKey::chromium));
        // No temporary file is left beside the policies.
        QCOMPARE(QDir(box.path(chromeFolder)).entryList(QDir::Files | QDir::Hidden), (QStringList{"company.json", "fieldpost.json"}));
    }

    // Any *.json of the folder within the size bound counts; a broken own file is left alone.
    void installedState_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("installed");

        const QByteArray ours = listOf({Sandbox::value(chrome)});
        QTest::newRow("in a foreign file") << "a-company.json" << ours << true;
        QTest::newRow("not a json file name") << "a.json.bak" << ours << false;
        QTest::newRow("broken own file") << "fieldpost.json" << ours.chopped(2) << false;
        const auto sized = [&](qint64 size) { // "pad" grows the file to exactly this size
            return QByteArray(ours).insert(1, "\"pad\": \"" + QByteArray(size - ours.size() - 11, 'x') + "\", ");
        };
        QTest::newRow("larger than the bound") << "a.json" << sized(maxPolicyFileSize + 1) << false;
        QTest::newRow("just within the bound") << "a.json" << sized(maxPolicyFileSize) << true;
    }

    void installedState()
    {
        QFETCH(QString, fileName);
        QFETCH(QByteArray, content);
        QFETCH(bool, installed);

        Sandbox box;
        box.write(chromeFolder + '/' + fileName, content);
        QCOMPARE(box.installed(chrome), installed);
        // Installing changes nothing when present and touches only our own file otherwise.
        const bool brokenOwn = fileName == QLatin1String("fieldpost.json");
        QCOMPARE(box.change(chrome, true), !brokenOwn);
        QCOMPARE(box.commands.size(), installed || brokenOwn ? 0 : 1);
        QCOMPARE(box.read(chromeFolder + '/' + fileName), content);
    }

    void processList()
    {
        LinuxBrowserPlatform platform;
        const QString own = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        QVERIFY(platform.isProcessRunning(own) && platform.isProcessRunning(own.toUpper()));
        QVERIFY(!platform.isProcessRunning(own + QStringLiteral("x")) && !platform.isProcessRunning(own.chopped(1)));
    }

    // Acts as the window manager of a private X server (tst_linuxpolicy_x11).
    void x11Activation()
    {
        if (qEnvironmentVariableIsEmpty("FIELDPOST_X11_TEST") || qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("runs as tst_linuxpolicy_x11 under xvfb-run");
        qunsetenv("WAYLAND_DISPLAY");
        std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(xcb_connect(nullptr, nullptr),
                                                                               &xcb_disconnect);
        xcb_connection_t *c = connection.get();
        QVERIFY(!xcb_connection_has_error(c));
        xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;

        LinuxBrowserPlatform platform;
        QVERIFY(!platform.bringBrowserToFront());

        // Bottom to top: the match, an owned match, a hidden match.
        const xcb_window_t edgeWindow = makeWindow(c, screen, QStringLiteral("Start \u2014 MICROSOFT\u2011Edge"), true, true);
        const xcb_window_t owned = makeWindow(c, screen, QStringLiteral("Save as - Google Chrome"), false, true);
        putProperty(c, owned, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 32, 1, &edgeWindow);
        makeWindow(c, screen, QStringLiteral("Hidden - Google Chrome"), false, false);
        QCOMPARE(findBrowserWindow(), edgeWindow);

        // With a window manager's stacking list, the topmost match wins, minimized or not.
        const xcb_window_t chromeWindow = makeWindow(c, screen, QStringLiteral("Tab - Google Chrome"), false, false);
        const xcb_atom_t stacking = atom(c, "_NET_CLIENT_LIST_STACKING");
        const xcb_window_t edgeBelow[] = {edgeWindow, chromeWindow}, edgeAbove[] = {chromeWindow, edgeWindow};
        putProperty(c, screen->root, stacking, XCB_ATOM_WINDOW, 32, 2, edgeAbove);
        QCOMPARE(findBrowserWindow(), edgeWindow);
        putProperty(c, screen->root, stacking, XCB_ATOM_WINDOW, 32, 2, edgeBelow);
        QCOMPARE(findBrowserWindow(), chromeWindow);

        // The activation request reaches whoever redirects the root's children.
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT;
        QVERIFY(!xcb_request_check(c, xcb_change_window_attributes_checked(c, screen->root, XCB_CW_EVENT_MASK, &mask)));
        QVERIFY(platform.bringBrowserToFront());
        const xcb_atom_t activeWindow = atom(c, "_NET_ACTIVE_WINDOW");
        bool requested = false;
        QTRY_VERIFY([&] {
            while (xcb_generic_event_t *event = xcb_poll_for_event(c)) {
                const auto *message = reinterpret_cast<xcb_client_message_event_t *>(event);
                requested = requested
                    || ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE && message->type == activeWindow
                        && message->window == chromeWindow && message->format == 32 && message->data.data32[0] == 2);
                std::free(event);
            }
            return requested;
        }());

        // No X11 request in a Wayland session.
        qputenv("WAYLAND_DISPLAY", "wayland-0");
        QVERIFY(!platform.bringBrowserToFront());
    }
};

FIELDPOST_TEST_MAIN(TestLinuxPolicy)
#include "tst_linuxpolicy.moc"
