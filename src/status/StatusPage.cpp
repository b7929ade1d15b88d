#include "status/StatusPage.h"

#include <QCryptographicHash>
#include <QFile>

namespace {

struct Loaded
{
    QByteArray html;
    QByteArray policy;
};

const Loaded &loaded()
{
    static const Loaded page = [] {
        Loaded l;
        QFile file(QStringLiteral(":/status/page.html"));
        if (file.open(QIODevice::ReadOnly))
            l.html = file.readAll();
        const QByteArray open = "<script>";
        const int from = int(l.html.indexOf(open));
        const int to = int(l.html.indexOf("</script>", from));
        QByteArray script;
        if (from >= 0 && to > from)
            script = l.html.mid(from + open.size(), to - from - open.size());
        l.policy = "default-src 'none'; script-src 'sha256-"
            + QCryptographicHash::hash(script, QCryptographicHash::Sha256).toBase64()
            + "'; style-src 'unsafe-inline'; connect-src 'self'; img-src 'self' data:; "
              "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
        return l;
    }();
    return page;
}

} // namespace

QByteArray StatusPage::html()
{
    return loaded().html;
}

QByteArray StatusPage::contentSecurityPolicy()
{
    return loaded().policy;
}
