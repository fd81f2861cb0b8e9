#pragma once

#include <QString>

#include <optional>

// The registry half of the registration: Windows has it, and elsewhere every
// read finds nothing and every write fails.
namespace nativehostregistry {

// The default value of the key (a QSettings registry path); nullopt when it has none.
std::optional<QString> defaultValue(const QString &key);
bool setDefaultValue(const QString &key, const QString &value, QString *error);

} // namespace nativehostregistry
