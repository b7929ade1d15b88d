#include "common/Ui.h"

#include "platform/Convert.h"
#include "platform/Failure.h"

QString layoutName(LogOnLayout layout)
{
    switch (layout) {
    case LogOnLayout::Connecting:
        return QStringLiteral("Connecting");
    case LogOnLayout::Connected:
        return QStringLiteral("Connected");
    case LogOnLayout::Usual:
        break;
    }
    return QStringLiteral("Usual");
}

std::optional<LogOnLayout> parseLayout(const QString &word)
{
    for (const LogOnLayout layout :
        {LogOnLayout::Usual, LogOnLayout::Connecting, LogOnLayout::Connected}) {
        if (Convert::sameText(word, layoutName(layout)))
            return layout;
    }
    return std::nullopt;
}

Ui &UiSlot::target() const
{
    if (!m_target)
        throw Failure(Failure::ObjectNotSet);
    return *m_target;
}
