#include "DescribeField.h"

#include <QJsonValue>

QString describeField(const QJsonObject &field)
{
    // toString() yields an empty text for a missing key or a non-string value.
    const QString label = field.value(QLatin1String("label")).toString();
    const QString tag = field.value(QLatin1String("tag")).toString();
    const QString type = field.value(QLatin1String("type")).toString();

    const QString kind = type.isEmpty() ? tag : tag + QLatin1Char('/') + type;
    const QString name = label.isEmpty() ? QStringLiteral("(no name)") : label;
    return QStringLiteral("%1  [%2]").arg(name, kind);
}
