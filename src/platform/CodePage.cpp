#include "CodePage.h"

#include <QHash>

namespace {

// Unicode code points of the bytes 0x80-0xFF.
const char16_t kHighHalf[128] = {
    0x20AC,
    0xFFFD,
    0x201A,
    0x0192,
    0x201E,
    0x2026,
    0x2020,
    0x2021,
    0x02C6,
    0x2030,
    0xFFFD,
    0x2039,
    0xFFFD,
    0xFFFD,
    0xFFFD,
    0xFFFD,
    0xFFFD,
    0x2018,
    0x2019,
    0x201C,
    0x201D,
    0x2022,
    0x2013,
    0x2014,
    0x02DC,
    0x2122,
    0xFFFD,
    0x203A,
    0xFFFD,
    0xFFFD,
    0xFFFD,
    0xFFFD,
    0x00A0,
    0x00A1,
    0x00A2,
    0x00A3,
    0x20AA,
    0x00A5,
    0x00A6,
    0x00A7,
    0x00A8,
    0x00A9,
    0x00D7,
    0x00AB,
    0x00AC,
    0x00AD,
    0x00AE,
    0x00AF,
    0x00B0,
    0x00B1,
    0x00B2,
    0x00B3,
    0x00B4,
    0x00B5,
    0x00B6,
    0x00B7,
    0x00B8,
    0x00B9,
    0x00F7,
    0x00BB,
    0x00BC,
    0x00BD,
    0x00BE,
    0x00BF,
    0x05B0,
    0x05B1,
    0x05B2,
    0x05B3,
    0x05B4,
    0x05B5,
    0x05B6,
    0x05B7,
    0x05B8,
    0x05B9,
    0xFFFD,
    0x05BB,
    0x05BC,
    0x05BD,
    0x05BE,
    0x05BF,
    0x05C0,
    0x05C1,
    0x05C2,
    0x05C3,
    0x05F0,
    0x05F1,
    0x05F2,
    0x05F3,
    0x05F4,
    0xFFFD,
    0xFFFD,
    0xFFFD,
    0xFFFD,
    0xFFFD,
    0xFFFD,
    0xFFFD,
    0x05D0,
    0x05D1,
    0x05D2,
    0x05D3,
    0x05D4,
    0x05D5,
    0x05D6,
    0x05D7,
    0x05D8,
    0x05D9,
    0x05DA,
    0x05DB,
    0x05DC,
    0x05DD,
    0x05DE,
    0x05DF,
    0x05E0,
    0x05E1,
    0x05E2,
    0x05E3,
    0x05E4,
    0x05E5,
    0x05E6,
    0x05E7,
    0x05E8,
    0x05E9,
    0x05EA,
    0xFFFD,
    0xFFFD,
    0x200E,
    0x200F,
    0xFFFD,
};

const QHash<char16_t, char> &reverseTable()
{
    static const QHash<char16_t, char> table = [] {
        QHash<char16_t, char> t;
        for (int i = 0; i < 128; ++i) {
            if (kHighHalf[i] != 0xFFFD)
                t.insert(kHighHalf[i], char(0x80 + i));
        }
        return t;
    }();
    return table;
}

} // namespace

QByteArray CodePage::toBytes(const QString &text)
{
    QByteArray out;
    out.reserve(text.size());
    const auto &reverse = reverseTable();
    for (const QChar ch : text) {
        const char16_t u = ch.unicode();
        if (u < 0x80) {
            out.append(char(u));
            continue;
        }
        const auto it = reverse.constFind(u);
        out.append(it == reverse.constEnd() ? '?' : it.value());
    }
    return out;
}

QString CodePage::toText(const char *data, qsizetype size)
{
    QString out(size, Qt::Uninitialized);
    QChar *dst = out.data();
    for (qsizetype i = 0; i < size; ++i) {
        const auto b = static_cast<unsigned char>(data[i]);
        dst[i] = QChar(b < 0x80 ? char16_t(b) : kHighHalf[b - 0x80]);
    }
    return out;
}

QString CodePage::toText(const QByteArray &bytes)
{
    return toText(bytes.constData(), bytes.size());
}
