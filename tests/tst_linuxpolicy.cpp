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

const QByteArray companyPolicy = "{\n  \"HomepageLocation\": \"https://intranet.example\",\n"
                                 "  \"ExtensionInstallForcelist\": [\"aaaabbbbccccddddeeeeffffgggghhhh;https://x.example/u\"]\n}\n";

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

QByteArray listOf(const QStringList &values)
{
    QByteArray json = "{\"ExtensionInstallForcelist\": [";
    for (qsizetype i = 0; i < values.size(); ++i)
        json += (i ? ", \"" : "\"") + values.at(i).toUtf8() + '"';
    return json + "]}";
}

// A policy root in a temporary folder and a runner that runs the copy
// without elevation, or refuses like a dismissed prompt.
struct Sandbox
{
    QTemporaryDir dir;
    QStringList commands;
    bool refuse = false;
    LinuxBrowserPlatform platform{dir.path(), [this](const QString &program, const QStringList &arguments) {
                                      commands << QFileInfo(program).fileName() + QLatin1Char(' ')
                                              + arguments.join(QLatin1Char(' '));
                                      return !refuse && QProcess::execute(program, arguments) == 0;
                                  }};

    QString path(const QString &relative) const { return dir.filePath(relative); }
};

// --- X11 helpers for the activation test ---------------------------------------

xcb_atom_t atom(xcb_connection_t *c, const char *name)
{
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr), &std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

void roundTrip(xcb_connection_t *c)
{
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

xcb_window_t makeWindow(xcb_connection_t *c, xcb_screen_t *screen, const QString &title, bool utf8, bool map)
{
    const xcb_window_t window = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 120, 80, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    const QByteArray bytes = utf8 ? title.toUtf8() : title.toLatin1();
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, utf8 ? atom(c, "_NET_WM_NAME") : xcb_atom_t(XCB_ATOM_WM_NAME),
                        utf8 ? atom(c, "UTF8_STRING") : xcb_atom_t(XCB_ATOM_STRING), 8, uint32_t(bytes.size()),
                        bytes.constData());
    if (map)
        xcb_map_window(c, window);
    roundTrip(c);
    return window;
}

void setStacking(xcb_connection_t *c, xcb_window_t root, const QList<xcb_window_t> &bottomToTop)
{
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, root, atom(c, "_NET_CLIENT_LIST_STACKING"), XCB_ATOM_WINDOW, 32,
                        uint32_t(bottomToTop.size()), bottomToTop.constData());
    roundTrip(c);
}

} // namespace

class TestLinuxPolicy : public QObject
{
    Q_OBJECT

private slots:
    void installAndUninstallLeaveOtherFiles()
    {
        Sandbox box;
        writeAll(box.path(chromeFolder + "/company.json"), companyPolicy);
        QVERIFY(!isExtensionInstalled(box.platform, chrome));

        QVERIFY(setExtensionPolicy(box.platform, chrome, true));
        const QString own = box.path(chromeFolder + "/fieldpost.json");
        QCOMPARE(forcelistEntries(readAll(own)), QStringList{extensionPolicyValue()});
        const QFile::Permissions modeBits = QFileInfo(own).permissions() & QFile::Permissions(0x0fff);
        QCOMPARE(modeBits, QFile::ReadUser | QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther);
        QCOMPARE(box.commands.size(), 1);
        QVERIFY2(box.commands.first().startsWith(QStringLiteral("install -D -m 0644 -T ")), qPrintable(box.commands.first()));
        QVERIFY(box.commands.first().endsWith(own));
        QVERIFY(isExtensionInstalled(box.platform, chrome));
        QVERIFY(!isExtensionInstalled(box.platform, edge));
        QCOMPARE(readAll(box.path(chromeFolder + "/company.json")), companyPolicy);
        // No sibling build on this root: its folder is not created.
        QVERIFY(!QFileInfo::exists(box.path(QStringLiteral("chromium"))));

        QVERIFY(setExtensionPolicy(box.platform, chrome, false));
        QVERIFY(!isExtensionInstalled(box.platform, chrome));
        QCOMPARE(forcelistEntries(readAll(own)), QStringList());
        QCOMPARE(readAll(box.path(chromeFolder + "/company.json")), companyPolicy);
        QCOMPARE(box.commands.size(), 2);
    }

    void installExtendsOwnFile()
    {
        Sandbox box;
        const QString own = box.path(edgeFolder + "/fieldpost.json");
        writeAll(own, "{\"ExtensionInstallForcelist\": [\"other;https://o.example\"], \"Other\": 1}");
        QVERIFY(setExtensionPolicy(box.platform, edge, true));
        QCOMPARE(forcelistEntries(readAll(own)), (QStringList{"other;https://o.example", extensionPolicyValue()}));
        QVERIFY(readAll(own).contains("\"Other\": 1"));
        QVERIFY(isExtensionInstalled(box.platform, edge));
        QVERIFY(!isExtensionInstalled(box.platform, chrome));
    }

    // Only an exact value counts, in any *.json of the folder.
    void installedState_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("installed");

        const QString value = extensionPolicyValue();
        QTest::newRow("exact in a foreign file") << "a-company.json" << listOf({"x;y", value}) << true;
        QTest::newRow("upper case") << "a.json" << listOf({value.toUpper()}) << false;
        QTest::newRow("trailing blank") << "a.json" << listOf({value + ' '}) << false;
        QTest::newRow("other address") << "a.json" << listOf({value.section(';', 0, 0) + ";https://x.example/u"})
                                       << false;
        QTest::newRow("not a json file name") << "a.json.bak" << listOf({value}) << false;
        QTest::newRow("broken json") << "a.json" << QByteArray("{\"ExtensionInstallForcelist\": [\"") + value.toUtf8()
                                     << false;
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
        writeAll(box.path(chromeFolder + '/' + fileName), content);
        QCOMPARE(isExtensionInstalled(box.platform, chrome), installed);
        // Installing changes nothing when present and touches only our own file otherwise.
        QVERIFY(setExtensionPolicy(box.platform, chrome, true));
        QCOMPARE(box.commands.size(), installed ? 0 : 1);
        QCOMPARE(readAll(box.path(chromeFolder + '/' + fileName)), content);
        QVERIFY(isExtensionInstalled(box.platform, chrome));
    }

    void uninstallFromForeignFileAndLastMatch()
    {
        Sandbox box;
        const QString value = extensionPolicyValue();
        const QString company = box.path(chromeFolder + "/company.json");
        const QString own = box.path(chromeFolder + "/fieldpost.json");
        writeAll(company, "{\"HomepageLocation\": \"h\", \"ExtensionInstallForcelist\": [\"x;y\", \"" + value.toUtf8()
                              + "\", \"z;w\"]}");
        writeAll(own, listOf({value}));

        // "company.json" comes before "fieldpost.json": ours is the last match.
        QVERIFY(setExtensionPolicy(box.platform, chrome, false));
        QCOMPARE(forcelistEntries(readAll(own)), QStringList());
        QVERIFY(isExtensionInstalled(box.platform, chrome));

        QVERIFY(setExtensionPolicy(box.platform, chrome, false));
        QCOMPARE(forcelistEntries(readAll(company)), (QStringList{"x;y", "z;w"}));
        QVERIFY(readAll(company).contains("\"HomepageLocation\": \"h\""));
        QVERIFY(!isExtensionInstalled(box.platform, chrome));
        QCOMPARE(box.commands.size(), 2);
    }

    void siblingBuildServedUnderChromeRow()
    {
        Sandbox box;
        QVERIFY(QDir().mkpath(box.path(QStringLiteral("chromium"))));
        const QString chromeOwn = box.path(chromeFolder + "/fieldpost.json");
        const QString chromiumOwn = box.path(chromiumFolder + "/fieldpost.json");

        // One press, one elevated run, both folders.
        QVERIFY(setExtensionPolicy(box.platform, chrome, true));
        QCOMPARE(forcelistEntries(readAll(chromeOwn)), QStringList{extensionPolicyValue()});
        QCOMPARE(forcelistEntries(readAll(chromiumOwn)), QStringList{extensionPolicyValue()});
        QCOMPARE(box.commands.size(), 1);
        QVERIFY2(box.commands.first().startsWith(QStringLiteral("sh -c ")), qPrintable(box.commands.first()));
        QVERIFY(!QFileInfo::exists(box.path(edgeFolder)));

        // One uninstall takes it out of both again, also in one run.
        QVERIFY(setExtensionPolicy(box.platform, chrome, false));
        QCOMPARE(box.commands.size(), 2);
        QCOMPARE(forcelistEntries(readAll(chromeOwn)), QStringList());
        QCOMPARE(forcelistEntries(readAll(chromiumOwn)), QStringList());
        QVERIFY(!isExtensionInstalled(box.platform, chrome));

        // An entry in the sibling's folder alone also counts, and uninstall finds it.
        const QString admin = box.path(chromiumFolder + "/admin.json");
        writeAll(admin, listOf({"x;y", extensionPolicyValue()}));
        QVERIFY(isExtensionInstalled(box.platform, chrome));
        QVERIFY(setExtensionPolicy(box.platform, chrome, false));
        QCOMPARE(forcelistEntries(readAll(admin)), QStringList{"x;y"});
        QVERIFY(!isExtensionInstalled(box.platform, chrome));
    }

    // Paths with blanks and quotes reach the copy tool as they are.
    void awkwardRootPath()
    {
        QTemporaryDir base;
        const QString root = base.filePath(QStringLiteral("a dir \"with\" $HOME 'quotes'"));
        QVERIFY(QDir().mkpath(root + QStringLiteral("/chromium")));
        LinuxBrowserPlatform platform(root, [](const QString &program, const QStringList &arguments) {
            return QProcess::execute(program, arguments) == 0;
        });
        QVERIFY(setExtensionPolicy(platform, chrome, true));
        QCOMPARE(forcelistEntries(readAll(root + '/' + chromiumFolder + "/fieldpost.json")),
                 QStringList{extensionPolicyValue()});
        QVERIFY(isExtensionInstalled(platform, chrome));
        QVERIFY(setExtensionPolicy(platform, chrome, false));
        QVERIFY(!isExtensionInstalled(platform, chrome));
    }

    void refusedElevationChangesNothing()
    {
        Sandbox box;
        box.refuse = true;
        QVERIFY(!setExtensionPolicy(box.platform, edge, true));
        QCOMPARE(box.commands.size(), 1);
        QVERIFY(!QFileInfo::exists(box.path(edgeFolder + "/fieldpost.json")));
        QVERIFY(!isExtensionInstalled(box.platform, edge));

        const QByteArray held = listOf({extensionPolicyValue()});
        writeAll(box.path(edgeFolder + "/fieldpost.json"), held);
        QVERIFY(!setExtensionPolicy(box.platform, edge, false));
        QCOMPARE(readAll(box.path(edgeFolder + "/fieldpost.json")), held);
        QVERIFY(isExtensionInstalled(box.platform, edge));
    }

    void brokenOwnFileIsLeftAlone()
    {
        Sandbox box;
        const QByteArray broken = "{\"ExtensionInstallForcelist\": ";
        writeAll(box.path(edgeFolder + "/fieldpost.json"), broken);
        QVERIFY(!setExtensionPolicy(box.platform, edge, true));
        QVERIFY(box.commands.isEmpty());
        QCOMPARE(readAll(box.path(edgeFolder + "/fieldpost.json")), broken);
    }

    void removeNamesStayInsideTheFolders_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("other browser's folder") << edgeFolder + "/fieldpost.json#0";
        QTest::newRow("climbing out") << chromeFolder + "/../../../../escape.json#0";
        QTest::newRow("no position") << chromeFolder + "/fieldpost.json";
        QTest::newRow("bad position") << chromeFolder + "/fieldpost.json#x";
        QTest::newRow("past the end") << chromeFolder + "/fieldpost.json#5";
        QTest::newRow("numeric name") << "1";
    }

    void removeNamesStayInsideTheFolders()
    {
        QFETCH(QString, name);
        Sandbox box;
        writeAll(box.path(chromeFolder + "/fieldpost.json"), listOf({extensionPolicyValue()}));
        writeAll(box.path(edgeFolder + "/fieldpost.json"), listOf({extensionPolicyValue()}));
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
        QVERIFY(!platform.isProcessRunning(QStringLiteral("no-such-browser")));
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
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, owned, XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 32, 1,
                            &edgeWindow);
        makeWindow(c, screen, QStringLiteral("Hidden - Google Chrome"), false, false);
        roundTrip(c);
        QCOMPARE(findBrowserWindow(), edgeWindow);

        // With a window manager's stacking list, the topmost match wins, minimized or not.
        const xcb_window_t chromeWindow = makeWindow(c, screen, QStringLiteral("Tab - Google Chrome"), false, false);
        setStacking(c, screen->root, {chromeWindow, edgeWindow});
        QCOMPARE(findBrowserWindow(), edgeWindow);
        setStacking(c, screen->root, {edgeWindow, chromeWindow});
        QCOMPARE(findBrowserWindow(), chromeWindow);

        // The activation request reaches whoever redirects the root's children.
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT;
        QVERIFY(!xcb_request_check(c, xcb_change_window_attributes_checked(c, screen->root, XCB_CW_EVENT_MASK, &mask)));
        QVERIFY(platform.bringBrowserToFront());
        const xcb_atom_t activeWindow = atom(c, "_NET_ACTIVE_WINDOW");
        bool requested = false;
        const auto poll = [&] {
            while (xcb_generic_event_t *event = xcb_poll_for_event(c)) {
                if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
                    const auto *message = reinterpret_cast<xcb_client_message_event_t *>(event);
                    requested = requested
                        || (message->type == activeWindow && message->window == chromeWindow
                            && message->format == 32 && message->data.data32[0] == 2);
                }
                std::free(event);
            }
            return requested;
        };
        QTRY_VERIFY(poll());

        // No X11 request in a Wayland session.
        qputenv("WAYLAND_DISPLAY", "wayland-0");
        QVERIFY(!platform.bringBrowserToFront());
        QCOMPARE(findBrowserWindow(), 0u);
        qunsetenv("WAYLAND_DISPLAY");
    }
};

FIELDPOST_TEST_MAIN(TestLinuxPolicy)
#include "tst_linuxpolicy.moc"
