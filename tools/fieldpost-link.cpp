// The browser's native messaging host: started by the browser as the
// browser's user, it reads that user's pairing record and tells the plugin
// the port of the user's own gateway and the key that proves the link.
//   fieldpost-link chrome-extension://<id>/ [--parent-window=…]   one request on stdin, one reply on stdout
//   fieldpost-link --manifest <host path> [<extension id>…]       the host manifest, for the packages

#include "NativeHost.h"
#include "NativeMessaging.h"
#include "PairingRecord.h"
#include "PluginSource.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <cstring>

// The platform part (fieldpost-linkUnix.cpp, fieldpost-linkWin.cpp).
// Whether a process with that id runs and belongs to this user.
bool processRuns(qint64 pid);
// Standard input and output carry binary frames, untranslated.
void prepareStdio();

namespace {

QJsonObject answer(const NativeRequest &request)
{
    if (request.kind != NativeRequest::Kind::Link)
        return nativeErrorReply(request.error);
    const std::optional<PairingRecord::Contents> record = PairingRecord::read(PairingRecord::defaultPath());
    // A gateway that ended without clearing its record leaves a pid nobody has.
    if (!record || record->port == 0 || !processRuns(record->pid))
        return nativeErrorReply(noGatewayError);
    return nativeLinkReply(record->port, record->key);
}

int printManifest(int argc, char **argv)
{
    // The application object only for the arguments, which on Windows it reads as Unicode.
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(2);
    if (arguments.isEmpty()) {
        std::fputs("Usage: fieldpost-link --manifest <host path> [<extension id>…]\n", stderr);
        return 2;
    }
    const QString hostPath = arguments.takeFirst();
    const QByteArray manifest = nativeHostManifest(hostPath, arguments.isEmpty() ? QStringList{pluginExtensionId()}
                                                                                : arguments);
    return std::fwrite(manifest.constData(), 1, size_t(manifest.size()), stdout) == size_t(manifest.size())
                   && std::fflush(stdout) == 0
               ? 0
               : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "--manifest") == 0)
        return printManifest(argc, argv);

    prepareStdio();
    // The record's folder follows from these names; no application object is needed.
    QCoreApplication::setOrganizationName(QStringLiteral("Thornvaleworks"));
    QCoreApplication::setApplicationName(QStringLiteral("Fieldpost"));

    // One request: exactly the bytes it announces, never waiting for more.
    NativeRequestReader reader;
    char chunk[64 * 1024];
    while (reader.wanted() > 0) {
        const size_t read = std::fread(chunk, 1, std::min(sizeof chunk, size_t(reader.wanted())), stdin);
        if (read == 0)
            reader.finish();
        else
            reader.feed(QByteArrayView(chunk, qsizetype(read)));
    }
    const QByteArray reply = frameNativeMessage(answer(reader.request()));
    return std::fwrite(reply.constData(), 1, size_t(reply.size()), stdout) == size_t(reply.size())
                   && std::fflush(stdout) == 0
               ? 0
               : 1;
}
