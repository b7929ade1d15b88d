#include "common/MapText.h"

#include "common/MapProtocol.h"

#include <algorithm>

QString MapText::field(const QString &value)
{
    auto framing = [](QChar c) {
        switch (c.unicode()) {
        case u'\r':
        case u'\n':
        case u'\0':
        case u',':
        case MapProtocol::kMessageStart:
            return true;
        default:
            return false;
        }
    };
    // Nearly every value is clean: it goes out shared, without a copy.
    if (!value.contains(MapProtocol::kItemSeparator)
        && std::none_of(value.cbegin(), value.cend(), framing))
        return value;
    QString out = value;
    out.replace(MapProtocol::kItemSeparator, QStringLiteral(" "));
    for (QChar &c : out) {
        if (framing(c))
            c = QLatin1Char(' ');
    }
    return out;
}
