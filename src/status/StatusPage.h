#pragma once

#include <QByteArray>

// The status page: one self-contained Hebrew page, right to left, with its
// style and script inline and no file of its own to fetch. Its script reads
// /status.json and /lines every 5 s and writes every text it shows as text,
// never as markup.
class StatusPage
{
public:
    static QByteArray html();
    // Allows the page's own inline script (by its hash) and style, requests
    // to this server alone, and nothing else.
    static QByteArray contentSecurityPolicy();
};
