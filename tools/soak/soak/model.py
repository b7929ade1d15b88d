"""What the gateway must show, as a function of time: the rows the dispatch
load wrote, the route rules, the gateway's clock and the events that rebuild
its day, kept as timelines so that a check can ask what was true in a window.

Times here are real (monotonic wall) seconds; the operational day comes from
the gateway's own clock, which the faults step."""

import bisect
from collections import defaultdict

from . import rules as R


class Timeline:
    """Values with the real time from which each held."""

    def __init__(self, value=None, t=0.0):
        self.times = [t]
        self.values = [value]

    def set(self, t, value):
        if value == self.values[-1]:
            return
        if t <= self.times[-1]:
            t = self.times[-1] + 1e-6
        self.times.append(t)
        self.values.append(value)

    def at(self, t):
        i = bisect.bisect_right(self.times, t) - 1
        return self.values[max(i, 0)]

    def during(self, a, b):
        """Every value that held at some moment of [a, b]."""
        i = max(bisect.bisect_right(self.times, a) - 1, 0)
        j = bisect.bisect_right(self.times, b)
        return self.values[i:max(j, i + 1)]

    def spans(self, a, b):
        """(from, to, value) pieces covering [a, b]."""
        out = []
        i = max(bisect.bisect_right(self.times, a) - 1, 0)
        while i < len(self.times) and self.times[i] <= b:
            s = max(self.times[i], a)
            e = min(self.times[i + 1], b) if i + 1 < len(self.times) else b
            out.append((s, e, self.values[i]))
            i += 1
        return out

    @property
    def current(self):
        return self.values[-1]


class Model:
    def __init__(self, clock):
        self.clock = clock
        self.rows = {}  # pkid -> current Version (None once deleted)
        self.jobs = defaultdict(set)  # (carnum, recid) -> pkids
        self.job_of = {}  # pkid -> (carnum, recid)
        # (carnum, recid) -> Timeline of the selected Version (None: none)
        self.selection = {}
        self.routes = defaultdict(lambda: Timeline(()))  # makat -> Timeline of rule tuples
        self.day = Timeline(None)
        # Forms each job ever had on each line: line key -> job -> set of entry cores.
        self.ever = defaultdict(lambda: defaultdict(set))
        self.ever_lines = defaultdict(set)  # job -> line keys it was ever on
        self.rebuilds = []  # real times at which the gateway's day starts anew
        self.rebuild_reasons = []
        self.versions_seen = {}  # Scheds row -> Version

    # -- what the world did ------------------------------------------------
    def set_day(self, t):
        day = R.operational_day(self.clock.gateway_time(t))
        if day != self.day.current:
            self.day.set(t, day)
            for job in list(self.jobs):
                self._reselect(job, t)
        return day

    def write(self, t, version):
        """A row written (inserted or corrected in place)."""
        job = (version.carnum, version.recid)
        self.rows[version.pkid] = version
        self.jobs[job].add(version.pkid)
        self.job_of[version.pkid] = job
        self.versions_seen[R.scheds_row(version)] = version
        self._reselect(job, t)

    def delete(self, t, pkid):
        job = self.job_of[pkid]
        self.rows[pkid] = None
        self.jobs[job].discard(pkid)
        self._reselect(job, t)

    def set_rules(self, t, makat, rule_list):
        self.routes[makat].set(t, tuple(sorted(rule_list)))

    def rebuilt(self, t, why=""):
        self.rebuilds.append(t)
        self.rebuild_reasons.append(why)

    def left_line_at(self, job, key):
        """When the job last stopped being a trip of the line (None: it is one)."""
        tl = self.selection.get(job)
        if tl is None:
            return None
        for i in range(len(tl.values) - 1, -1, -1):
            v = tl.values[i]
            if v is not None and R.accepted(v) and R.line_key(v.routecode) == key:
                return tl.times[i + 1] if i + 1 < len(tl.times) else None
        return None

    def rebuild_after(self, t):
        i = bisect.bisect_left(self.rebuilds, t)
        return (self.rebuilds[i], self.rebuild_reasons[i]) if i < len(self.rebuilds) else None

    def _reselect(self, job, t):
        day = self.day.current
        rows = [self.rows[p] for p in self.jobs[job] if self.rows.get(p) is not None]
        v = R.selected(rows, day) if day is not None else None
        tl = self.selection.get(job)
        if tl is None:
            tl = self.selection[job] = Timeline(None, 0.0)
        tl.set(t, v)
        if v is not None and R.accepted(v):
            key = R.line_key(v.routecode)
            self.ever[key][job].add(R.entry_core(R.entry(v, ())))
            self.ever_lines[job].add(key)

    # -- what follows ------------------------------------------------------
    def forms(self, v, a, b):
        """The entries one selected version can show over [a, b] (its route's
        rules may change meanwhile)."""
        makat = R.line_makat(R.line_key(v.routecode))
        return {R.entry(v, rs) for rs in self.routes[makat].during(a, b)}

    def last_rebuild(self, t):
        i = bisect.bisect_right(self.rebuilds, t)
        return self.rebuilds[i - 1] if i else None

    def rebuild_between(self, a, b):
        i = bisect.bisect_left(self.rebuilds, a)
        return i < len(self.rebuilds) and self.rebuilds[i] <= b

    def view(self, t, lag, since=None):
        """Every line at time t, with a map allowed to be `lag` seconds behind
        (but never showing what held before `since`): key -> (jobs that must
        show, with their possible entries; jobs that may show, entries; jobs
        left behind on the line, entry cores)."""
        out = defaultdict(lambda: ({}, {}, {}))
        a = t - lag if since is None else min(t, max(t - lag, since))
        for job, tl in self.selection.items():
            pieces = tl.spans(a, t)
            by_line = defaultdict(set)
            counts = defaultdict(int)
            for (s, e, v) in pieces:
                if v is not None and R.accepted(v):
                    key = R.line_key(v.routecode)
                    by_line[key] |= self.forms(v, s, e)
                    counts[key] += 1
            for key, forms in by_line.items():
                (out[key][0] if counts[key] == len(pieces) else out[key][1])[job] = forms
            for key in self.ever_lines.get(job, ()):
                if key in by_line:
                    continue
                cores = self.left_behind(job, tl, key, t, lag)
                if cores:
                    out[key][2][job] = cores
        return out

    def left_behind(self, job, tl, key, t, lag):
        """The cores of a trip the gateway may still hold on a line the job
        left (moved to another line, out of the day, or deleted): it stays
        until the day is rebuilt, or until a rejected row of the job on that
        line removes it."""
        if job not in self.ever.get(key, {}):
            return None
        # When did the job last leave the line?
        left = None
        for i in range(len(tl.values) - 1, -1, -1):
            v = tl.values[i]
            if v is not None and R.accepted(v) and R.line_key(v.routecode) == key:
                left = tl.times[i + 1] if i + 1 < len(tl.times) else None
                break
        if left is None:
            return None
        # A rebuild that began after it left, and has had time to finish.
        if self.rebuild_between(left, t - lag):
            return None
        # A rejected row on that line, selected long enough to be processed.
        for (s, e, v) in tl.spans(left, t):
            if (v is not None and not R.accepted(v) and R.line_key(v.routecode) == key
                    and e - s >= lag):
                return None
        return self.ever[key][job]

    def known_lines(self):
        return set(self.ever)
