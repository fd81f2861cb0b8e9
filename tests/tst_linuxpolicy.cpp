// The Linux platform on real policy files (under a root of its own), the process list and an X server.
#include "ExtensionPolicy.h"
#include "LinuxBrowserPlatform.h"
#include "PolicyFile.h"
#include "TestMain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <xcb/xcb.h>

#include <memory>
#include <utility>

namespace {

const QString chrome = QStringLiteral("Google\\Chrome");
const QString edge = QStringLiteral("Microsoft\\Edge");
const QString chromeFolder = QStringLiteral("opt/chrome/policies/managed");
const QString chromiumFolder = QStringLiteral("chromium/policies/managed");
const QString edgeFolder = QStringLiteral("opt/edge/policies/managed");

QByteArray listOf(const QStringList &values)
{
    return "{\"ExtensionInstallForcelist\": [\"" + values.join(QStringLiteral("\", \"")).toUtf8() + "\"]}";
}

// A root whose path has blanks, quotes and a "$", so that paths must reach the copy tool as they are, and a
// runner that copies without elevation or, once, refuses like a dismissed prompt. Paths are relative to the root.
struct Sandbox
{
    QTemporaryDir dir;
    QString root = dir.filePath(QStringLiteral("a dir \"with\" $HOME 'quotes'"));
    QStringList commands;
    bool refuse = false;
    LinuxBrowserPlatform platform{root, [this](const QString &program, const QStringList &arguments) {
                                      commands << QFileInfo(program).fileName() + QLatin1Char(' ')
                                              + arguments.join(QLatin1Char(' '));
                                      return !std::exchange(refuse, false) && QProcess::execute(program, arguments) == 0;
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
    // Chrome alone, and with Chromium beside it (served too): one elevated run per press, other files untouched.
    void installAndUninstall_data()
    {
        QTest::addColumn<bool>("sibling");
        QTest::newRow("chrome alone") << false;
        QTest::newRow("chromium beside it") << true;
    }

    void installAndUninstall()
    {
        QFETCH(bool, sibling);
        Sandbox box;
        const QString value = extensionPolicyValue(), own = chromeFolder + "/fieldpost.json";
        const QString siblingOwn = chromiumFolder + "/fieldpost.json";
        const QByteArray company = "{\"Home\": \"h\", \"ExtensionInstallForcelist\": [\"x;y\"]}";
        box.write(chromeFolder + "/company.json", company);
        box.write(own, listOf({"o;p"}));
        QVERIFY(!sibling || QDir().mkpath(box.path(QStringLiteral("chromium"))));
        box.refuse = true; // a dismissed prompt changes nothing
        QVERIFY(!setExtensionPolicy(box.platform, chrome, true));
        QCOMPARE(box.entries(own), QStringList{"o;p"});

        QVERIFY(setExtensionPolicy(box.platform, chrome, true));
        QCOMPARE(box.entries(own), (QStringList{"o;p", value}));
        QCOMPARE(box.entries(siblingOwn), sibling ? QStringList{value} : QStringList());
        QCOMPARE(QFileInfo(box.path(own)).permissions() & QFile::Permissions(0x0fff),
                 QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther);
        QCOMPARE(box.commands.size(), 2);
        QVERIFY(isExtensionInstalled(box.platform, chrome));
        QVERIFY(!isExtensionInstalled(box.platform, edge));
        // Names outside this browser's folders or past a list are refused without running anything.
        box.write(edgeFolder + "/fieldpost.json", listOf({value}));
        for (const QString &name : {edgeFolder + "/fieldpost.json#0", chromeFolder + "/../../../../escape.json#0", own + "#5"})
            QVERIFY2(!box.platform.removePolicyEntry(chrome, name), qPrintable(name));
        QCOMPARE(box.commands.size(), 2);

        box.refuse = true;
        QVERIFY(!setExtensionPolicy(box.platform, chrome, false));
        QVERIFY(isExtensionInstalled(box.platform, chrome));
        QVERIFY(setExtensionPolicy(box.platform, chrome, false));
        QCOMPARE(box.commands.size(), 4);
        QVERIFY(!isExtensionInstalled(box.platform, chrome));
        QCOMPARE(box.entries(own), QStringList{"o;p"});
        QCOMPARE(box.entries(siblingOwn), QStringList());
        QCOMPARE(box.read(chromeFolder + "/company.json"), company);

        // An entry in another file of the last folder counts, and uninstall takes out only that item.
        const QString admin = (sibling ? chromiumFolder : chromeFolder) + "/admin.json";
        box.write(admin, listOf({"x;y", value, "z;w"}));
        QVERIFY(isExtensionInstalled(box.platform, chrome));
        QVERIFY(setExtensionPolicy(box.platform, chrome, false));
        QCOMPARE(box.entries(admin), (QStringList{"x;y", "z;w"}));
        QVERIFY(!isExtensionInstalled(box.platform, chrome));
    }

    // Any *.json of the folder within the size bound counts; a broken own file is left alone.
    void installedState_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("installed");

        const QByteArray ours = listOf({extensionPolicyValue()});
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
        QCOMPARE(isExtensionInstalled(box.platform, chrome), installed);
        // Installing changes nothing when present and touches only our own file otherwise.
        const bool brokenOwn = fileName == QLatin1String("fieldpost.json");
        QCOMPARE(setExtensionPolicy(box.platform, chrome, true), !brokenOwn);
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
