// Feeds arbitrary bytes from the map server through framing and dispatch:
// the inbound commands and the schedule answer run as they do on the wire,
// with the map socket unconnected so that every answer takes its failure path.
//
// Byte 0 steers the run: bit 0 the station role, bits 1-2 how the rest is cut
// into reads (1, 7, 4096 bytes or all at once); bits 3-7 all set put a run
// longer than the message bound between two copies of the rest, bits 4-7 set
// and bit 3 clear a line list longer than its own bound (rare: such runs are
// slow).

#include "app/Gateway.h"
#include "maplink/MapLink.h"
#include "model/clsLine.h"
#include "platform/CodePage.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <cstdlib>
#include <memory>

namespace {

QCoreApplication *g_app = nullptr;
QTemporaryDir *g_home = nullptr;
Gateway *g_gw = nullptr;
int g_runs = 0;

void fillLines(Gateway &gw)
{
    gw.day().colLines = std::make_unique<colLinesType>();
    for (const char *key : {"123456", "223456"}) {
        auto line = std::make_shared<clsLine>();
        line->Idx = QString::fromLatin1(key);
        // Line + Subdiv + Direction + Chalufa + Eshkol, as the jobs processing builds it.
        line->Makat = line->Idx.mid(2, 3) + QLatin1Char('0') + line->Idx.mid(5, 1)
            + line->Idx.mid(1, 1) + QLatin1Char('0') + line->Idx.left(1);
        auto sched = std::make_shared<clsSched>();
        sched->ORVIKID = QStringLiteral("1234567");
        sched->StartDT = QDateTime(QDate(2024, 3, 5), QTime(6, 5));
        sched->StTimes = QStringLiteral("0;0");
        sched->DriverName = QStringLiteral("דנה");
        line->Scheds.add(QStringLiteral("1"), sched);
        gw.day().colLines->add(line->Idx, line);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    g_app = new QCoreApplication(*argc, *argv);
    // Every failure appends to the debug log: keep it in memory where we can.
    g_home = QDir(QStringLiteral("/dev/shm")).exists()
        ? new QTemporaryDir(QStringLiteral("/dev/shm/volmara-fuzz-XXXXXX"))
        : new QTemporaryDir();
    g_gw = new Gateway(g_home->path());
    fillLines(*g_gw);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t control = data[0];
    const QByteArray payload(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const bool longRun = (control & 0xF8) == 0xF8;
    const bool longLineList = (control & 0xF8) == 0xF0;

    Gateway &gw = *g_gw;
    gw.mapSettings().strRole = (control & 1) ? StationRole::Client : StationRole::Server;
    if (!gw.day().colLines)
        fillLines(gw);
    // A link of its own for every input: framing starts from nothing.
    MapLink link(gw.sckMap(), gw.mapSettings(), gw.windows(), gw.tasks(), gw.ui(), gw.clock(),
        gw.log(), gw.inbound());

    // Reads of 1 byte, 7 bytes, 4096 bytes or all at once.
    static const qsizetype kChunks[] = {1, 7, 4096, 0};
    const qsizetype chunk = kChunks[(control >> 1) & 3];
    auto feed = [&](const QByteArray &bytes) {
        for (qsizetype at = 0; at < bytes.size();) {
            const qsizetype n = chunk == 0 ? bytes.size() : qMin(chunk, bytes.size() - at);
            link.frame(CodePage::toText(bytes.constData() + at, n));
            at += n;
            // The buffer is bounded whatever the peer sends, by its kind's bound.
            if (link.recvBuf().size() > MapLink::messageBound(link.recvBuf()) + 1
                || link.recvBuf().size() > MapLink::kMaxLineListChars + 1)
                std::abort();
        }
    };
    feed(payload);
    if (longRun || longLineList) {
        // A run longer than its message may be, then the payload again.
        static const QString filler(64 * 1024, QLatin1Char('x'));
        int bound = MapLink::kMaxMessageChars;
        if (longLineList) {
            link.frame(QStringLiteral("$Q,0,"));
            bound = MapLink::kMaxLineListChars;
        }
        for (int i = 0; i <= bound / filler.size(); ++i)
            link.frame(filler);
        if (link.recvBuf().size() > MapLink::messageBound(link.recvBuf()) + 1)
            std::abort();
        feed(payload);
    }
    if (!link.inMessage() && !link.recvBuf().isEmpty())
        std::abort();

    // Logs are trimmed by themselves; the answers' record files are not.
    if (++g_runs % 5000 == 0) {
        QDir home(g_home->path());
        for (const QString &name : home.entryList(QDir::Files))
            home.remove(name);
    }
    return 0;
}
