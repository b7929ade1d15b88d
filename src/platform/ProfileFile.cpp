#include "ProfileFile.h"

#include "CodePage.h"

#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>

namespace {

// UTF-16 text: by its byte order mark, or without one by the NUL that every
// other byte of Latin text is. "little-endian", "big-endian" or empty.
QString utf16Order(const QByteArray &bytes)
{
    if (bytes.startsWith("\xFF\xFE"))
        return QStringLiteral("little-endian");
    if (bytes.startsWith("\xFE\xFF"))
        return QStringLiteral("big-endian");
    const qsizetype n = qMin<qsizetype>(bytes.size(), 200) & ~qsizetype(1);
    if (n < 4)
        return QString();
    int evenNul = 0, oddNul = 0;
    for (qsizetype i = 0; i < n; i += 2) {
        evenNul += bytes.at(i) == '\0';
        oddNul += bytes.at(i + 1) == '\0';
    }
    if (evenNul == 0 && oddNul * 4 >= n)
        return QStringLiteral("little-endian");
    if (oddNul == 0 && evenNul * 4 >= n)
        return QStringLiteral("big-endian");
    return QString();
}

// The file's lines; *problem says why a file that is there cannot be read
// (empty when it can, or is not there).
QList<QByteArray> readLines(const QString &path, bool *exists, QString *problem = nullptr)
{
    QFile file(path);
    *exists = file.open(QIODevice::ReadOnly);
    if (!*exists) {
        if (problem && QFileInfo::exists(path))
            *problem = QStringLiteral("cannot be read: ") + file.errorString();
        return {};
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        if (problem)
            *problem = QStringLiteral("cannot be read: ") + file.errorString();
        return {};
    }
    const QString order = utf16Order(bytes);
    if (!order.isEmpty()) {
        // Read as Windows-1255 it would give garbage, and a write would mix
        // two encodings in one file.
        if (problem)
            *problem = QStringLiteral("is UTF-16 (%1) text, which is not read: save it as "
                                      "Windows-1255 or plain ASCII")
                           .arg(order);
        return {};
    }
    QList<QByteArray> lines = bytes.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

const QByteArray kUtf8Bom("\xEF\xBB\xBF");

QString text(const QByteArray &bytes)
{
    // A byte order mark that an editor put before the first section is
    // passed over (and kept when the file is written), so that section is
    // read; the check and the start-up record say it is there.
    QString s = CodePage::toText(bytes.startsWith(kUtf8Bom) ? bytes.mid(kUtf8Bom.size()) : bytes);
    s.remove(QChar(0));
    return s;
}

// The section name of a "[name]" line, or a null string for any other line.
QString sectionName(const QByteArray &line)
{
    const QString t = text(line).trimmed();
    if (t.size() < 2 || !t.startsWith(QLatin1Char('[')))
        return QString();
    const int close = t.indexOf(QLatin1Char(']'));
    if (close < 0)
        return QString();
    return t.mid(1, close - 1).trimmed();
}

bool keyLine(const QByteArray &line, QString *key, QString *value)
{
    const QString t = text(line);
    const QString trimmed = t.trimmed();
    if (trimmed.startsWith(QLatin1Char(';')) || trimmed.startsWith(QLatin1Char('[')))
        return false;
    const int eq = t.indexOf(QLatin1Char('='));
    if (eq < 0)
        return false;
    *key = t.left(eq).trimmed();
    *value = t.mid(eq + 1);
    return true;
}

bool same(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

bool ProfileFile::startsWithUtf8Bom(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.read(kUtf8Bom.size()) == kUtf8Bom;
}

QString ProfileFile::unreadable(const QString &path)
{
    bool exists = false;
    QString problem;
    readLines(path, &exists, &problem);
    return problem;
}

ProfileFile::Lookup ProfileFile::lookup(
    const QString &path, const QString &section, const QString &key)
{
    bool exists = false;
    const QList<QByteArray> lines = readLines(path, &exists);
    Lookup r;
    bool inSection = false;
    for (const QByteArray &line : lines) {
        const QString name = sectionName(line);
        if (!name.isNull()) {
            // Only the first section of a name counts, as in the classic
            // reader: a later one of the same name is never read.
            if (inSection)
                break;
            inSection = same(name, section);
            continue;
        }
        QString k, v;
        if (inSection && keyLine(line, &k, &v) && same(k, key)) {
            r.value = v;
            r.found = true;
            break;
        }
    }
    if (!r.found)
        return r;
    r.value.remove(QChar(0));
    // Blanks go before the cut, so that an indented value keeps its
    // characters; then one pair of double quotes around a stored value goes,
    // which is how a value keeps blanks of its own.
    r.value = r.value.trimmed();
    if (r.value.size() >= 2 && r.value.startsWith(QLatin1Char('"'))
        && r.value.endsWith(QLatin1Char('"')))
        r.value = r.value.mid(1, r.value.size() - 2);
    return r;
}

QString ProfileFile::readString(const QString &path, const QString &section, const QString &key,
    const QString &defaultValue, int bufferSize, bool *cut)
{
    const Lookup found = lookup(path, section, key);
    QString result = found.found ? found.value : defaultValue;
    if (!found.found) {
        result.remove(QChar(0));
        result = result.trimmed();
    }
    const bool tooLong = bufferSize > 0 && result.size() > bufferSize - 1;
    if (tooLong)
        result.truncate(bufferSize - 1);
    if (cut)
        *cut = tooLong;
    return result;
}

bool ProfileFile::writeString(
    const QString &path, const QString &section, const QString &key, const QString &value)
{
    bool exists = false;
    QString problem;
    QList<QByteArray> lines = readLines(path, &exists, &problem);
    // A file that is there but cannot be read is not replaced by one that
    // holds this key alone: the operator's other settings would be lost.
    if (!problem.isEmpty())
        return false;
    const QByteArray newLine = CodePage::toBytes(key + QLatin1Char('=') + value);

    int sectionStart = -1; // index of the "[section]" line
    int lastInSection = -1; // last non-blank line of the section
    int keyIndex = -1;
    for (int i = 0; i < lines.size(); ++i) {
        const QString name = sectionName(lines[i]);
        if (!name.isNull()) {
            if (sectionStart >= 0)
                break; // the section ended
            if (same(name, section)) {
                sectionStart = i;
                lastInSection = i;
            }
            continue;
        }
        if (sectionStart < 0)
            continue;
        if (!text(lines[i]).trimmed().isEmpty())
            lastInSection = i;
        QString k, v;
        if (keyLine(lines[i], &k, &v) && same(k, key)) {
            keyIndex = i;
            break;
        }
    }

    if (keyIndex >= 0) {
        lines[keyIndex] = newLine;
    } else if (sectionStart >= 0) {
        lines.insert(lastInSection + 1, newLine);
    } else {
        lines.append(CodePage::toBytes(QLatin1Char('[') + section + QLatin1Char(']')));
        lines.append(newLine);
    }

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    for (const QByteArray &line : lines) {
        file.write(line);
        file.write("\r\n");
    }
    return file.commit();
}
