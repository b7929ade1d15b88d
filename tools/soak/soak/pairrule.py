"""The pair's rule as the map sees it: at most one gateway sends at a time.

Each gateway of the pair may send only within an active period of its own.
A period begins with the gateway's "active as ..., term N" record, at the
earliest at the soak's last read of its log before the record was there (the
record is written before the gateway connects, so nothing it sends in that
term comes earlier). The period ends at the first of:

- the other gateway's takeover, seen at `hi`, plus a tolerance: the old
  active's own deadline comes at least its margin (2 s at these leases)
  before the server lets the lease go, and the new one wins only after that;
  a message stamped by the recorder more than the tolerance after the
  takeover was seen therefore left the old gateway at least that margin plus
  the tolerance after its deadline, which no delay on a loopback link
  explains;
- its own "standing down" record, seen, plus the tolerance;
- its death (SIGKILL sent, or an exit seen), plus the tolerance;
- its wake from a pause longer than the lease (SIGCONT sent): what it wrote
  before the pause was delivered long before, so anything after the wake is
  its own sending after its deadline, however soon. (Bytes a slow map server
  had not yet accepted may go out as a paused gateway wakes; the soak never
  pauses a gateway while the map is slow, one fault at a time, so none wait.)

Times are the soak host's clock (the recorder stamps with the same clock);
the texts give them from `origin` (the soak's start)."""

TOLERANCE = 1.0


class Period:
    def __init__(self, side, term, start):
        self.side, self.term, self.start = side, term, start
        self.end = None
        self.why = self.code = None

    def close(self, t, why, code):
        """Ends the period at t, unless something ended it earlier."""
        if self.end is None or t < self.end:
            self.end, self.why, self.code = t, why, code

    def holds(self, t):
        return self.start <= t and (self.end is None or t <= self.end)


class Periods:
    def __init__(self, tolerance=TOLERANCE, origin=0.0):
        self.tol = tolerance
        self.o = origin
        self.by_side = {}

    def current(self, side):
        ps = self.by_side.get(side)
        return ps[-1] if ps and ps[-1].end is None else None

    def takeover(self, side, term, lo, hi):
        """`side` won `term`: its record was not in its log at `lo` and was
        at `hi`."""
        for other in self.by_side:
            old = self.current(other) if other != side else None
            if old is not None:
                old.close(hi + self.tol, "%s took over (term %s) at %.2f" % (side, term, hi - self.o),
                          "sent-after-takeover")
        cur = self.current(side)
        if cur is not None:
            # A new term without a stand-down seen: the old one ends here.
            cur.close(lo, "term %s followed by term %s" % (cur.term, term), "sent-after-takeover")
        self.by_side.setdefault(side, []).append(Period(side, term, lo))

    def stood_down(self, side, hi, why):
        cur = self.current(side)
        if cur is not None:
            cur.close(hi + self.tol, "stood down at %.2f: %s" % (hi - self.o, why),
                      "sent-after-stand-down")

    def ended(self, side, t, why):
        cur = self.current(side)
        if cur is not None:
            cur.close(t + self.tol, "%s at %.2f" % (why, t - self.o), "sent-after-end")

    def woke(self, side, t, paused_at):
        """Continued at t after a pause (from `paused_at`) longer than the
        lease: the period (begun before the pause) ends at the wake."""
        ps = self.by_side.get(side)
        if ps and ps[-1].start <= paused_at:
            ps[-1].close(t, "woken at %.2f from a pause past the lease" % (t - self.o), "sent-after-pause")

    def judge(self, side, t):
        """None when `side` may have sent at t; else (code, text, the period
        it came after: None before any)."""
        ps = self.by_side.get(side, [])
        if any(p.holds(t) for p in ps):
            return None
        before = [p for p in ps if p.start <= t]
        if not before:
            return ("standby-sent", "gateway %s sent at %.2f without having won the lease"
                    % (side, t - self.o), None)
        p = before[-1]
        return (p.code, "gateway %s sent at %.2f, %.2f s after its term %s ended (%s)"
                % (side, t - self.o, t - p.end, p.term, p.why), p)

    def holder(self):
        """The side whose period is open now (the latest to begin), or None."""
        open_ = [p for ps in self.by_side.values() for p in ps if p.end is None]
        return max(open_, key=lambda p: p.start).side if open_ else None


class Vacancy:
    """Every takeover completes: once the pair is left without an active
    gateway (the active killed, paused, stopped, or standing down), one of
    them is active again within `bound` seconds. A database fault holds the
    clock: nobody can win the lease while the database is away, so the time
    counts from its heal."""

    def __init__(self, bound):
        self.bound = bound
        self.since = None
        self.why = None

    def left(self, t, why):
        if self.since is None:
            self.since, self.why = t, why

    def filled(self):
        self.since = self.why = None

    def overdue(self, now, db_healed=None, db_down=False):
        """Seconds past the bound, or None while within it (or held)."""
        if self.since is None or db_down:
            return None
        start = max(self.since, db_healed) if db_healed is not None else self.since
        over = now - start - self.bound
        return over if over > 0 else None


def median(xs):
    xs = sorted(xs)
    if not xs:
        return None
    n = len(xs)
    return xs[n // 2] if n % 2 else (xs[n // 2 - 1] + xs[n // 2]) / 2.0
