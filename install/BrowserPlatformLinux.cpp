#include "LinuxBrowserPlatform.h"

#include "BrowserWindowTitle.h"
#include "PolicyFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include <unistd.h>

namespace {

// Splits "<folder>/<file>#<position>" as made by policyEntries.
bool splitEntryName(const QString &name, QString *relativePath, int *index)
{
    const qsizetype hash = name.lastIndexOf(QLatin1Char('#'));
    if (hash <= 0)
        return false;
    bool ok = false;
    *index = name.mid(hash + 1).toInt(&ok);
    *relativePath = name.left(hash);
    return ok;
}

// --- X11 ---------------------------------------------------------------------

using XcbConnection = std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)>;

xcb_atom_t internAtom(xcb_connection_t *connection, const char *name)
{
    const xcb_intern_atom_cookie_t cookie = xcb_intern_atom(connection, 0, uint16_t(strlen(name)), name);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// The property's bytes and its type; empty when it is missing.
QByteArray windowProperty(xcb_connection_t *connection, xcb_window_t window, xcb_atom_t property,
                          xcb_atom_t *type = nullptr, uint32_t maxLongs = 4096)
{
    if (property == XCB_ATOM_NONE)
        return {};
    const xcb_get_property_cookie_t cookie =
        xcb_get_property(connection, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, maxLongs);
    std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
        xcb_get_property_reply(connection, cookie, nullptr), &std::free);
    if (!reply || reply->type == XCB_ATOM_NONE)
        return {};
    if (type)
        *type = reply->type;
    return QByteArray(static_cast<const char *>(xcb_get_property_value(reply.get())),
                      xcb_get_property_value_length(reply.get()));
}

QList<xcb_window_t> windowList(const QByteArray &bytes)
{
    QList<xcb_window_t> windows;
    for (qsizetype i = 0; i + qsizetype(sizeof(xcb_window_t)) <= bytes.size(); i += sizeof(xcb_window_t)) {
        xcb_window_t window;
        memcpy(&window, bytes.constData() + i, sizeof window);
        windows << window;
    }
    return windows;
}

// Top-level windows, topmost first: the window manager's stacking list, or,
// without a window manager, the root's mapped children.
QList<xcb_window_t> topLevelWindows(xcb_connection_t *connection, xcb_window_t root)
{
    QList<xcb_window_t> windows =
        windowList(windowProperty(connection, root, internAtom(connection, "_NET_CLIENT_LIST_STACKING")));
    if (!windows.isEmpty()) {
        std::reverse(windows.begin(), windows.end());
        return windows;
    }
    std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> tree(
        xcb_query_tree_reply(connection, xcb_query_tree(connection, root), nullptr), &std::free);
    if (!tree)
        return {};
    const xcb_window_t *children = xcb_query_tree_children(tree.get());
    for (int i = xcb_query_tree_children_length(tree.get()) - 1; i >= 0; --i) {
        std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> attributes(
            xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, children[i]),
                                            nullptr),
            &std::free);
        if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE)
            windows << children[i];
    }
    return windows;
}

QString windowTitle(xcb_connection_t *connection, xcb_window_t window)
{
    constexpr uint32_t maxLongs = browserwindow::titleBufferLength;
    QByteArray title = windowProperty(connection, window, internAtom(connection, "_NET_WM_NAME"), nullptr, maxLongs);
    if (!title.isEmpty())
        return QString::fromUtf8(title);
    xcb_atom_t type = XCB_ATOM_NONE;
    title = windowProperty(connection, window, XCB_ATOM_WM_NAME, &type, maxLongs);
    return type == internAtom(connection, "UTF8_STRING") ? QString::fromUtf8(title) : QString::fromLatin1(title);
}

XcbConnection connectToDisplay(xcb_window_t *root)
{
    // A Wayland session gives clients no way to raise another's window.
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || qEnvironmentVariableIsEmpty("DISPLAY"))
        return XcbConnection(nullptr, &xcb_disconnect);
    int screenNumber = 0;
    XcbConnection connection(xcb_connect(nullptr, &screenNumber), &xcb_disconnect);
    if (xcb_connection_has_error(connection.get()))
        return XcbConnection(nullptr, &xcb_disconnect);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem)
        return XcbConnection(nullptr, &xcb_disconnect);
    *root = screens.data->root;
    return connection;
}

xcb_window_t findBrowserWindowOn(xcb_connection_t *connection, xcb_window_t root)
{
    const xcb_atom_t transientFor = XCB_ATOM_WM_TRANSIENT_FOR;
    for (const xcb_window_t window : topLevelWindows(connection, root)) {
        // Owned windows (dialogs, pop-ups) never count.
        if (!windowProperty(connection, window, transientFor).isEmpty())
            continue;
        const QString title = windowTitle(connection, window).left(browserwindow::titleBufferLength - 1);
        if (!title.isEmpty() && browserwindow::isBrowserTitle(title.toStdWString()))
            return window;
    }
    return XCB_WINDOW_NONE;
}

} // namespace

quint32 findBrowserWindow()
{
    xcb_window_t root = XCB_WINDOW_NONE;
    const XcbConnection connection = connectToDisplay(&root);
    return connection ? findBrowserWindowOn(connection.get(), root) : xcb_window_t(XCB_WINDOW_NONE);
}

LinuxBrowserPlatform::LinuxBrowserPlatform(QString policyRoot, ElevatedRunner runner)
    : root(std::move(policyRoot))
    , runElevated(std::move(runner))
{
}

QString LinuxBrowserPlatform::policyFolder(const QString &browserKey)
{
    if (browserKey == BrowserKey::edge)
        return QStringLiteral("opt/edge/policies/managed");
    if (browserKey == BrowserKey::chrome)
        return QStringLiteral("opt/chrome/policies/managed");
    if (browserKey == BrowserKey::chromium)
        return QStringLiteral("chromium/policies/managed");
    return {};
}

QString LinuxBrowserPlatform::ownPolicyFileName()
{
    return QStringLiteral("fieldpost.json");
}

std::optional<QByteArray> LinuxBrowserPlatform::readPolicyFile(const QString &relativePath) const
{
    QFile file(root + QLatin1Char('/') + relativePath);
    if (!file.exists())
        return QByteArray();
    if (file.size() > maxPolicyFileSize || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.read(maxPolicyFileSize);
}

QList<PolicyEntry> LinuxBrowserPlatform::policyEntries(const QString &browserKey)
{
    QList<PolicyEntry> entries;
    const QString folder = policyFolder(browserKey);
    if (folder.isEmpty())
        return entries;
    const QDir dir(root + QLatin1Char('/') + folder);
    const QStringList files = dir.entryList({QStringLiteral("*.json")}, QDir::Files | QDir::Readable, QDir::Name);
    for (const QString &fileName : files) {
        const QString relativePath = folder + QLatin1Char('/') + fileName;
        const QStringList values = forcelistEntries(readPolicyFile(relativePath).value_or(QByteArray()));
        for (qsizetype i = 0; i < values.size(); ++i)
            entries.append({relativePath + QLatin1Char('#') + QString::number(i), values.at(i)});
    }
    return entries;
}

void LinuxBrowserPlatform::addPolicyEntry(const QString &browserKey, const QString &, const QString &value,
                                          PolicyChangeDone done)
{
    const QString folder = policyFolder(browserKey);
    const QString relativePath = folder + QLatin1Char('/') + ownPolicyFileName();
    const std::optional<QByteArray> current = folder.isEmpty() ? std::nullopt : readPolicyFile(relativePath);
    const std::optional<QByteArray> changed = current ? policyFileWithEntry(*current, value) : std::nullopt;
    if (!changed)
        return finishPolicyChangeLater(std::move(done), false);
    if (*changed == *current)
        return finishPolicyChangeLater(std::move(done), true);
    writePolicyFile(relativePath, *changed, std::move(done));
}

void LinuxBrowserPlatform::removePolicyEntry(const QString &browserKey, const QString &name, PolicyChangeDone done)
{
    QString relativePath;
    int index = -1;
    // Only files straight inside this browser's folder, as listed by policyEntries.
    const bool ours = splitEntryName(name, &relativePath, &index)
                      && relativePath.section(QLatin1Char('/'), 0, -2) == policyFolder(browserKey)
                      && !relativePath.section(QLatin1Char('/'), -1).startsWith(QLatin1Char('.'));
    const std::optional<QByteArray> current = ours ? readPolicyFile(relativePath) : std::nullopt;
    const std::optional<QByteArray> changed = current ? policyFileWithoutEntry(*current, index) : std::nullopt;
    if (!changed)
        return finishPolicyChangeLater(std::move(done), false);
    writePolicyFile(relativePath, *changed, std::move(done));
}

ElevatedCommand LinuxBrowserPlatform::policyWriteCommand(const QString &folder, const QString &file,
                                                         const QByteArray &content)
{
    // Paths travel as positional parameters, never inside the script text.
    const QString script = QStringLiteral(
        "{ [ -d \"$1\" ] || /usr/bin/install -d -m 0755 -- \"$1\"; } && "
        "t=$(/bin/mktemp -- \"$1/.fieldpost-XXXXXX\") && "
        "{ /usr/bin/install -m 0644 -- /dev/stdin \"$t\" && /bin/mv -f -- \"$t\" \"$2\" || "
        "{ /bin/rm -f -- \"$t\"; exit 1; }; }");
    return {QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script, QStringLiteral("fieldpost"), folder, file},
            content};
}

void LinuxBrowserPlatform::writePolicyFile(const QString &relativePath, const QByteArray &content,
                                           PolicyChangeDone done)
{
    const QString target = root + QLatin1Char('/') + relativePath;
    runElevated(policyWriteCommand(QFileInfo(target).path(), target, content), std::move(done));
}

void LinuxBrowserPlatform::runAsRoot(const ElevatedCommand &command, PolicyChangeDone done)
{
    auto *process = new QProcess;
    QString program = command.program;
    QStringList arguments = command.arguments;
    if (geteuid() != 0) {
        arguments.prepend(program);
        program = QStringLiteral("/usr/bin/pkexec");
    }
    auto finish = std::make_shared<PolicyChangeDone>(std::move(done));
    QObject::connect(process, &QProcess::finished, process, [process, finish](int code, QProcess::ExitStatus status) {
        process->deleteLater();
        if (*finish)
            std::exchange(*finish, nullptr)(status == QProcess::NormalExit && code == 0);
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [process, finish](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        process->deleteLater();
        if (*finish)
            std::exchange(*finish, nullptr)(false);
    });
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(program, arguments);
    process->write(command.input);
    process->closeWriteChannel();
}

QStringList LinuxBrowserPlatform::browserImageNames(const QString &browserKey) const
{
    if (browserKey == BrowserKey::edge)
        return {QStringLiteral("msedge")};
    if (browserKey == BrowserKey::chrome)
        return {QStringLiteral("chrome")};
    if (browserKey == BrowserKey::chromium)
        return {QStringLiteral("chromium")};
    return {};
}

bool LinuxBrowserPlatform::isProcessRunning(const QString &imageName)
{
    const QDir proc(QStringLiteral("/proc"));
    for (const QString &pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (!pid.front().isDigit())
            continue;
        QFile comm(proc.filePath(pid + QStringLiteral("/comm")));
        // comm holds at most 15 characters; the executable's path has the whole name.
        if (comm.open(QIODevice::ReadOnly)
            && QString::fromUtf8(comm.read(64)).trimmed().compare(imageName, Qt::CaseInsensitive) == 0)
            return true;
        const QString executable = QFileInfo(proc.filePath(pid + QStringLiteral("/exe"))).symLinkTarget();
        if (!executable.isEmpty()
            && QFileInfo(executable).fileName().compare(imageName, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool LinuxBrowserPlatform::bringBrowserToFront()
{
    xcb_window_t root = XCB_WINDOW_NONE;
    const XcbConnection connection = connectToDisplay(&root);
    if (!connection)
        return false;
    const xcb_window_t window = findBrowserWindowOn(connection.get(), root);
    if (window == XCB_WINDOW_NONE)
        return false;

    // The EWMH activation request; source 2 (a pager) asks the window manager
    // to honour it like a user's click, which also restores a minimized window.
    xcb_client_message_event_t event = {};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = internAtom(connection.get(), "_NET_ACTIVE_WINDOW");
    event.data.data32[0] = 2;
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(connection.get(), 0, root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char *>(&event));
    // A round trip, so the server has taken the request before the connection closes.
    std::free(xcb_get_input_focus_reply(connection.get(), xcb_get_input_focus(connection.get()), nullptr));
    return true;
}

std::unique_ptr<BrowserPlatform> createSystemPlatform()
{
    return std::make_unique<LinuxBrowserPlatform>();
}
