// The Linux platform against a policy folder of its own: install and
// uninstall through a runner that copies without asking for rights, other
// files left as they were, a refused prompt, the process list and the X11
// window search with its activation request.
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

#include <cstdlib>
#include <cstring>
#include <memory>

#include <unistd.h>

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

// A policy root whose path has blanks, quotes and a "$", so that paths reach
// the copy tool as they are, and a runner that copies without elevation or
// refuses like a dismissed prompt. Paths are relative to the root.
struct Sandbox
{
    QTemporaryDir dir;
    QString root = dir.filePath(QStringLiteral("a dir \"with\" $HOME 'quotes'"));
    QStringList commands;
    bool refuse = false;
    LinuxBrowserPlatform platform{root, [this](const QString &program, const QStringList &arguments) {
                                      commands << QFileInfo(program).fileName() + QLatin1Char(' ')
                                              + arguments.join(QLatin1Char(' '));
                                      return !refuse && QProcess::execute(program, arguments) == 0;
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

// --- X11 helpers for the activation test ---------------------------------------

xcb_atom_t atom(xcb_connection_t *c, const char *name)
{
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr), &std::free);
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
    void installAndUninstallLeaveOtherFiles()
    {
        Sandbox box;
        const QString value = extensionPolicyValue(), own = chromeFolder + "/fieldpost.json";
        const QByteArray company = "{\"Home\": \"h\", \"ExtensionInstallForcelist\": [\"x;y\"]}";
        box.write(chromeFolder + "/company.json", company);
        box.refuse = true; // a dismissed prompt changes nothing
        QVERIFY(!setExtensionPolicy(box.platform, chrome, true));
        QVERIFY(!QFileInfo::exists(box.path(own)));
        box.write(own, listOf({"o;p"}));
        box.refuse = false;

        QVERIFY(setExtensionPolicy(box.platform, chrome, true));
        QCOMPARE(box.entries(own), (QStringList{"o;p", value}));
        QCOMPARE(QFileInfo(box.path(own)).permissions() & QFile::Permissions(0x0fff),
                 QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther);
        QCOMPARE(box.commands.size(), 2);
        QVERIFY2(box.commands.last().startsWith(QStringLiteral("install -D -m 0644 -T ")), qPrintable(box.commands[1]));
        QVERIFY(box.commands.last().endsWith(box.path(own)));
        QVERIFY(isExtensionInstalled(box.platform, chrome));
        QVERIFY(!isExtensionInstalled(box.platform, edge));
        // No sibling build on this root: its folder is not created.
        QVERIFY(!QFileInfo::exists(box.path(QStringLiteral("chromium"))));

        box.refuse = true;
        QVERIFY(!setExtensionPolicy(box.platform, chrome, false));
        QVERIFY(isExtensionInstalled(box.platform, chrome));
        box.refuse = false;
        QVERIFY(setExtensionPolicy(box.platform, chrome, false));
        QVERIFY(!isExtensionInstalled(box.platform, chrome));
        QCOMPARE(box.entries(own), QStringList{"o;p"});
        QCOMPARE(box.read(chromeFolder + "/company.json"), company);
        QCOMPARE(box.commands.size(), 4);
    }

    // Only an exact value counts (see tst_policyplan), in any *.json of the
    // folder within the size bound; a broken own file is left alone.
    void installedState_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("installed");

        const QString value = extensionPolicyValue();
        QTest::newRow("exact in a foreign file") << "a-company.json" << listOf({"x;y", value}) << true;
        QTest::newRow("not a json file name") << "a.json.bak" << listOf({value}) << false;
        QTest::newRow("broken json") << "a.json" << listOf({value}).chopped(2) << false;
        QTest::newRow("broken own file") << "fieldpost.json" << listOf({value}).chopped(2) << false;
        QByteArray huge = listOf({value});
        huge.insert(1, "\"pad\": \"" + QByteArray(maxPolicyFileSize, 'x') + "\", ");
        QTest::newRow("larger than the bound") << "a.json" << huge << false;
        QByteArray fits = listOf({value});
        fits.insert(1, "\"pad\": \"" + QByteArray(maxPolicyFileSize - fits.size() - 12, 'x') + "\", ");
        QTest::newRow("just within the bound") << "a.json" << fits << true;
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
        QCOMPARE(isExtensionInstalled(box.platform, chrome), !brokenOwn);
    }

    void siblingBuildServedUnderChromeRow()
    {
        Sandbox box;
        QVERIFY(QDir().mkpath(box.path(QStringLiteral("chromium"))));
        const QString value = extensionPolicyValue(), chromiumOwn = chromiumFolder + "/fieldpost.json";

        // One press, one elevated run, both folders.
        QVERIFY(setExtensionPolicy(box.platform, chrome, true));
        QCOMPARE(box.entries(chromeFolder + "/fieldpost.json"), QStringList{value});
        QCOMPARE(box.entries(chromiumOwn), QStringList{value});
        QCOMPARE(box.commands.size(), 1);
        QVERIFY2(box.commands.first().startsWith(QStringLiteral("sh -c ")), qPrintable(box.commands.first()));
        QVERIFY(!QFileInfo::exists(box.path(edgeFolder)));

        // One uninstall takes it out of both again, also in one run.
        QVERIFY(setExtensionPolicy(box.platform, chrome, false));
        QCOMPARE(box.commands.size(), 2);
        QCOMPARE(box.entries(chromeFolder + "/fieldpost.json"), QStringList());
        QCOMPARE(box.entries(chromiumOwn), QStringList());

        // Entries in the sibling's folder alone count; "admin.json" comes before
        // "fieldpost.json", so ours is the last match and goes first.
        const QString admin = chromiumFolder + "/admin.json";
        box.write(admin, "{\"Home\": \"h\", " + listOf({"x;y", value, "z;w"}).mid(1));
        box.write(chromiumOwn, listOf({value}));
        QVERIFY(setExtensionPolicy(box.platform, chrome, false));
        QCOMPARE(box.entries(chromiumOwn), QStringList());
        QVERIFY(isExtensionInstalled(box.platform, chrome));
        QVERIFY(setExtensionPolicy(box.platform, chrome, false));
        QCOMPARE(box.entries(admin), (QStringList{"x;y", "z;w"}));
        QVERIFY(box.read(admin).contains("\"Home\": \"h\""));
        QVERIFY(!isExtensionInstalled(box.platform, chrome));
    }

    void removeNamesStayInsideTheFolders_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("other browser's folder") << edgeFolder + "/fieldpost.json#0";
        QTest::newRow("climbing out") << chromeFolder + "/../../../../escape.json#0";
        QTest::newRow("no position") << chromeFolder + "/fieldpost.json";
        QTest::newRow("bad position") << chromeFolder + "/fieldpost.json#x";
        QTest::newRow("past the end") << chromeFolder + "/fieldpost.json#5";
    }

    void removeNamesStayInsideTheFolders()
    {
        QFETCH(QString, name);
        Sandbox box;
        box.write(chromeFolder + "/fieldpost.json", listOf({extensionPolicyValue()}));
        box.write(edgeFolder + "/fieldpost.json", listOf({extensionPolicyValue()}));
        QVERIFY(!box.platform.removePolicyEntry(chrome, name));
        QVERIFY(box.commands.isEmpty());
    }

    void processList()
    {
        LinuxBrowserPlatform platform;
        QCOMPARE(platform.browserImageNames(edge), QStringList{"msedge"});
        QCOMPARE(platform.browserImageNames(chrome), (QStringList{"chrome", "chromium"}));
        const QString own = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        QVERIFY(platform.isProcessRunning(own));
        QVERIFY(platform.isProcessRunning(own.toUpper()));
        QVERIFY(!platform.isProcessRunning(own + QStringLiteral("x")));
        QVERIFY(!platform.isProcessRunning(own.chopped(1)));
    }

    void runAsRootDirectly()
    {
        if (geteuid() != 0)
            QSKIP("needs root: elsewhere the runner asks through pkexec");
        QVERIFY(LinuxBrowserPlatform::runAsRoot(QStringLiteral("true"), {}));
        QVERIFY(!LinuxBrowserPlatform::runAsRoot(QStringLiteral("false"), {}));
        QVERIFY(!LinuxBrowserPlatform::runAsRoot(QStringLiteral("/nonexistent/tool"), {}));
    }

    // Acts as the window manager of a private X server (tst_linuxpolicy_x11).
    void x11Activation()
    {
        if (qEnvironmentVariableIsEmpty("FIELDPOST_X11_TEST") || qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("runs as tst_linuxpolicy_x11 under xvfb-run");
        qunsetenv("WAYLAND_DISPLAY");
        int screenNumber = 0;
        std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(xcb_connect(nullptr, &screenNumber),
                                                                               &xcb_disconnect);
        xcb_connection_t *c = connection.get();
        QVERIFY(!xcb_connection_has_error(c));
        xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;

        LinuxBrowserPlatform platform;
        QCOMPARE(findBrowserWindow(), 0u);
        QVERIFY(!platform.bringBrowserToFront());

        // Bottom to top: the match, a near miss, an owned match, a hidden match.
        const xcb_window_t edgeWindow = makeWindow(c, screen, QStringLiteral("Start \u2014 MICROSOFT\u2011Edge"), true, true);
        makeWindow(c, screen, QStringLiteral("Microsoft edge"), false, true);
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
        QCOMPARE(findBrowserWindow(), 0u);
        qunsetenv("WAYLAND_DISPLAY");
    }
};

FIELDPOST_TEST_MAIN(TestLinuxPolicy)
#include "tst_linuxpolicy.moc"
