#pragma once

#include <QJsonObject>
#include <QString>

// One-line description of a field descriptor, "label  [tag/type]".
QString describeField(const QJsonObject &field);
