#include "common/MapText.h"

#include "common/MapProtocol.h"

QString MapText::field(const QString &value)
{
    QString out = value;
    out.replace(MapProtocol::kItemSeparator, QStringLiteral(" "));
    for (QChar &c : out) {
        switch (c.unicode()) {
        case u'\r':
        case u'\n':
        case u'\0':
        case u',':
        case MapProtocol::kMessageStart:
            c = QLatin1Char(' ');
            break;
        default:
            break;
        }
    }
    return out;
}
