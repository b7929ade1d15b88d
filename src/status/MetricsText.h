#pragma once

#include <QByteArray>
#include <QString>

class Histogram;
class LogTail;
class Metrics;
struct StatusSnapshot;

// /metrics: the gateway's counts in the Prometheus text exposition format
// (version 0.0.4), each metric with its help and type lines.
class MetricsText
{
public:
    static constexpr const char *kContentType = "text/plain; version=0.0.4; charset=utf-8";

    static QByteArray render(const Metrics &metrics, const StatusSnapshot &status,
        const LogTail &log, const QString &version);

    // A label value with backslash, double quote and line feed escaped.
    static QByteArray labelValue(const QString &value);
    // A sample value: integers as such, others in the shortest exact form.
    static QByteArray number(double value);
};
