// A plugin message as any peer may send it, before or after the pairing's proof. The reader takes the
// plugin's usual compact form in place and leaves every other form to QJsonDocument; a blank before the
// text is valid JSON that only QJsonDocument reads, so the two must agree on every input.
#include "FuzzCheck.h"
#include "PluginProtocol.h"

#include <cstddef>
#include <cstdint>
#include <tuple>

namespace {

auto members(const PluginMessage &m)
{
    return std::make_tuple(m.type, m.version, m.instance, m.browser, m.nonce, m.proof, m.enabled, m.add, m.url,
                           m.title, m.fields, m.kind, m.field, m.ok, m.error, m.id, m.failedField);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const PluginMessage read = parsePluginMessage(input);
    FUZZ_CHECK(members(read) == members(parsePluginMessage(' ' + input)));
    // Members that only some types carry stay at their defaults for the others.
    if (read.type != PluginMessage::Type::FillResult && read.type != PluginMessage::Type::ButtonClicked)
        FUZZ_CHECK(read.id == -1 && !read.ok);
    return 0;
}
