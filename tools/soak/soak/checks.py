"""The checks: the map server's latest message of every line against the
model, every job version stored once in Scheds, no job left at flag 2, the
gateway's memory, descriptors and threads, Debug.TXT's bound, and that the
gateway never ends by itself."""

import time
from collections import Counter

from . import rules as R

DEBUG_BOUND = 1000000 + 65536  # trimmed when it passes 1,000,000 bytes; one record may follow


class Violation:
    def __init__(self, t, what, fault, details, code, expected):
        self.t, self.what, self.fault, self.details = t, what, fault, details
        self.code, self.expected = code, expected


class Checker:
    def __init__(self, world, model, faults, interval, lag, log, rebuild_on_line_list=True,
                 expected=()):
        self.w, self.m, self.faults = world, model, faults
        self.expected = set(expected)
        self.I, self.lag, self.log = interval, lag, log
        self.rebuild_on_line_list = rebuild_on_line_list
        self.violations = []
        self.reported = set()
        self.certain = set()  # lines surely in the gateway's day since the last rebuild
        self.rebuild_count = 0
        self.outages = []  # (from, to) in which the gateway's work may stand still
        self.wrong_since = None
        self.samples = []  # (t, incarnation start, sample)
        self.max_debug = 0
        self.scheds_rows = 0
        self.scheds_last = 0
        self.flag_due = []
        self.expected_exit = False
        self.last_map_ok = None
        self.map_checks = 0
        self.map_failures = 0
        self.q_seen = 0

    # -- bookkeeping --------------------------------------------------------
    def violate(self, what, details, key=None, code="violation"):
        key = key or (what, details)
        if key in self.reported:
            return
        self.reported.add(key)
        f = self.current_fault()
        v = Violation(time.time(), what, f.kind if f else "none", details, code,
                      code in self.expected)
        self.violations.append(v)
        self.log("%s [%s] (%s) %s: %s" % ("known" if v.expected else "VIOLATION", v.fault, code,
                                          what, details))

    def violate_map(self, what, problems, key_of):
        """A map violation, named by its first problem that is not a known one."""
        fresh = [p for p in problems if p[0] not in self.expected]
        code, text = (fresh or problems)[0]
        # One report per line and kind of problem, however long it lasts.
        self.violate(what, text, key=("map", code, text.split(" ")[1]), code=code)

    def current_fault(self, t=None):
        t = time.time() if t is None else t
        last = None
        for f in self.faults.done + ([self.active] if getattr(self, "active", None) else []):
            if f.started is not None and f.started <= t:
                last = f
        if last and (last.healed is None or t <= last.back + 2 * self.I + self.lag):
            return last
        return None

    def quiet(self, a, b):
        """No fault, restart or outage touched [a, b] (nor the settling after it)."""
        spans = list(self.outages)
        for f in self.faults.done:
            spans.append((f.started, f.back + 2 * self.I + self.lag))
        if getattr(self, "active", None) and self.active.started is not None:
            spans.append((self.active.started, float("inf")))
        return all(e < a or s > b for (s, e) in spans)

    def outage(self, a, b):
        self.outages.append((a, b))

    # -- the rebuild events ------------------------------------------------
    def note_rebuild(self, t, why):
        self.m.rebuilt(t, why)
        self.certain = set()
        self.rebuild_count += 1

    def follow_journal(self):
        self.w.journal.read()
        qs = self.w.journal.q_answers
        while self.q_seen < len(qs):
            t = qs[self.q_seen]
            self.q_seen += 1
            # The documented day rebuild: after the line list's answer the next
            # cycle at or after 04:00 drops the day's lines and reads them again.
            if self.rebuild_on_line_list and self.w.clock.gateway_time(t).hour >= 4:
                self.note_rebuild(t, "line list answered")

    # -- the map ----------------------------------------------------------
    def line_problems(self, code, view):
        key = R.key_of_makat(code) if len(code) == 8 else None
        got = self.w.journal.latest.get(code)
        entries = R.message_entries(got[1]) if got else []
        if key is None:
            return []
        required, optional, stale = view.get(key, ({}, {}, {}))
        if key not in self.certain:
            ever = set()
            for cores in self.m.ever.get(key, {}).values():
                ever |= cores
            extra = [e for e in entries if R.entry_core(e) not in ever]
            return [("trip-never-on-line", "line %s shows %s, never a trip of this line" % (code, e))
                    for e in extra]
        cand = {}
        for job, forms in list(required.items()) + list(optional.items()):
            cand[job] = (lambda fs: lambda e: e in fs)(forms)
        for job, cores in stale.items():
            if job not in cand:
                cand[job] = (lambda cs: lambda e: R.entry_core(e) in cs)(cores)
        missing, extra = bipartite(entries, cand, list(required))
        out = []
        extra_cores = {R.entry_core(e) for e in extra}
        told = set()
        for job in missing:
            # The trip is there, only its stop times are not those of the rules.
            same = {R.entry_core(f) for f in required[job]} & extra_cores
            told |= same
            code = "stops-differ" if same else "trip-missing"
            out.append((code, "line %s lacks trip %s/%s, expected one of %s; the line "
                        "shows %s" % (code, job[0], job[1], sorted(required[job]),
                                      entries or ("Not Found" if got else "no message at all"))))
        for e in extra:
            if R.entry_core(e) not in told:
                out.append(self.explain(code, key, e))
        return out

    def explain(self, code, key, e):
        """Why an entry is not wanted on the line: a trip left behind that a day
        rebuild should have dropped, or something the line never had."""
        core = R.entry_core(e)
        for job, cores in self.m.ever.get(key, {}).items():
            if core not in cores:
                continue
            left = self.m.left_line_at(job, key)
            tl = self.m.selection.get(job)
            v = tl.current if tl else None
            where = ("now on line %s" % R.line_makat(R.line_key(v.routecode))
                     if v is not None and R.accepted(v) else
                     "now cancelled" if v is not None else "no longer selected")
            rb = self.m.rebuild_after(left) if left is not None else None
            if rb is not None:
                return ("trip-kept-after-rebuild",
                        "line %s still shows %s: job %s/%s left the line at %s (%s); the day was "
                        "rebuilt after that (%s at %s), which drops it"
                        % (code, e, job[0], job[1], stamp(left), where, rb[1], stamp(rb[0])))
            return ("trip-unexpected", "line %s shows %s: job %s/%s, %s" % (code, e, job[0],
                                                                            job[1], where))
        return ("trip-unexpected", "line %s shows %s, which is no trip of the line" % (code, e))

    def map_problems(self, t, since=None):
        codes = set(self.w.journal.latest)
        codes |= {R.line_makat(k) for k in self.m.known_lines()}
        view = self.m.view(t, self.lag, since)
        out = []
        for code in sorted(codes):
            out += self.line_problems(code, view)
        return out

    def update_certain(self, t):
        """A line with a trip that held over the whole window, begun after the
        last rebuild, is in the gateway's day: from then on (until the next
        rebuild) its message is the gateway's current view of it, never an old
        message left over."""
        last = self.m.last_rebuild(t)
        if last is None or t - self.lag < last:
            return
        for key, (required, _, _) in self.m.view(t, self.lag).items():
            if required:
                self.certain.add(key)

    def check_map(self, t, active):
        """Called each tick. Measures the time to a correct map after each heal
        and reports a map still wrong two intervals after one, or wrong for
        more than an interval in quiet times."""
        self.follow_journal()
        self.update_certain(t)
        if active is not None:
            self.wrong_since = None
            return
        problems = self.map_problems(t)
        self.map_checks += 1
        ok = not problems
        if not ok:
            self.map_failures += 1
        # The time to a correct map: correct against what held since the heal.
        for f in self.faults.done:
            if f.ttc is None and t >= f.healed:
                after = problems or self.map_problems(t, since=f.healed)
                if not after:
                    f.ttc = t - f.healed
                elif t > f.back + 2 * self.I and not f.late_reported:
                    f.late_reported = True
                    self.violate_map("map not correct two intervals after the heal (%s)" % f.kind,
                                     after, lambda c, x: ("map", x))
        # Wrong for an interval at a time no fault, heal or start explains.
        settling = not self.quiet(t - 2 * self.I, t)
        if ok or settling:
            self.wrong_since = None
            return
        if self.wrong_since is None:
            self.wrong_since = (t, problems)
        elif t - self.wrong_since[0] >= self.I:
            self.violate_map("map wrong in quiet time for %.1f s" % (t - self.wrong_since[0]),
                             problems, lambda c, x: ("map", x))

    # -- Scheds -----------------------------------------------------------
    def check_scheds(self, t, final=False):
        rows = self.w.db.scheds()
        self.scheds_rows = len(rows)
        counts = Counter(rows)
        for row, n in counts.items():
            if n > 1:
                self.violate("job version stored %d times in Scheds" % n, repr(row), key=("dup", row),
                             code="stored-twice")
            if row not in self.m.versions_seen:
                self.violate("Scheds row of no job version", repr(row), key=("unknown", row),
                             code="unknown-row")
        stored_pkids = {self.m.versions_seen[r].pkid for r in counts if r in self.m.versions_seen}
        # Every version selected long enough in quiet time must be there.
        for job, tl in self.m.selection.items():
            for (s, e, v) in tl.spans(0, t):
                if v is None or R.scheds_row(v) in counts:
                    continue
                # Also the version that holds now: it had its cycles.
                e = min(e, t - self.I)
                if e - s >= self.lag and self._quiet_piece(s, e):
                    corrected = v.pkid in stored_pkids
                    self.violate("job version never stored in Scheds" +
                                 (" (a row corrected in place)" if corrected else ""),
                                 "PKID %d %s, selected from %s for %.0f s"
                                 % (v.pkid, repr(R.scheds_row(v)), stamp(s), e - s),
                                 key=("missing", v),
                                 code="correction-not-stored" if corrected else "version-not-stored")

    def _quiet_piece(self, s, e):
        """[s, e] holds a stretch of `lag` seconds without faults."""
        step = self.lag / 2.0
        a = s
        while a + self.lag <= e:
            if self.quiet(a, a + self.lag):
                return True
            a += step
        return False

    # -- flag 2 -----------------------------------------------------------
    def check_flags(self, why):
        flagged = set(self.w.db.flagged())
        if not flagged:
            return
        time.sleep(1.0)
        still = flagged & set(self.w.db.flagged())
        if still:
            self.violate("jobs left at UsedFlag 2", "%s: PKID %s"
                         % (why, ", ".join(map(str, sorted(still)[:10]))), key=("flag2", why))

    # -- the process --------------------------------------------------------
    def sample(self, t):
        s = self.w.process_sample()
        if s is not None:
            self.samples.append((t, self.w.gateway.started_at, s))
        sizes = self.w.debug_sizes()
        self.max_debug = max(self.max_debug, sizes["Debug.TXT"])
        if sizes["Debug.TXT"] > DEBUG_BOUND:
            self.violate("Debug.TXT past its trim bound", "%d bytes" % sizes["Debug.TXT"],
                         key=("debug",), code="log-unbounded")
        if sizes["ERR"] > 10:
            self.violate("more than 10 emergency files", "%d ERR files" % sizes["ERR"], key=("err",), code="log-unbounded")

    def growth(self, baseline_after):
        """Per gateway run: the last quiet samples against those just after
        `baseline_after` seconds of its life. Returns rows for the report."""
        runs = {}
        for (t, born, s) in self.samples:
            runs.setdefault((born, s["pid"]), []).append((t - born, s))
        out = []
        for (born, pid), samples in runs.items():
            base = [s for (age, s) in samples if baseline_after <= age <= baseline_after + 60]
            last = samples[-3:]
            if not base or samples[-1][0] < baseline_after + 120:
                continue
            row = {"pid": pid, "minutes": samples[-1][0] / 60.0}
            for k in ("rss_kb", "fds", "threads"):
                b = sorted(x[k] for x in base)[len(base) // 2]
                e = sorted(x[k] for (_, x) in last)[len(last) // 2]
                row[k] = (b, e)
                allowed = b * 0.10 if k == "rss_kb" else max(1, -(-b // 10))
                if e - b > allowed:
                    self.violate("gateway grows", "pid %d: %s %d -> %d over %.0f min"
                                 % (pid, k, b, e, row["minutes"]), key=("grow", pid, k), code="grows")
            out.append(row)
        return out


def stamp(t):
    return time.strftime("%H:%M:%S", time.localtime(t))


def bipartite(entries, cand, required):
    """Maximum matching of entries to jobs in which every job that must show
    is served first (a matched job stays matched while paths are augmented)."""
    owner = {}  # job -> entry index
    holder = {}  # entry index -> job

    def try_entry_for_job(job, seen):
        for i, e in enumerate(entries):
            if i in seen or not cand[job](e):
                continue
            seen.add(i)
            if i not in holder or try_entry_for_job(holder[i], seen):
                owner[job] = i
                holder[i] = job
                return True
        return False

    for job in required:
        try_entry_for_job(job, set())
    for job in cand:
        if job not in owner:
            try_entry_for_job(job, set())
    missing = [j for j in required if j not in owner]
    extra = [entries[i] for i in range(len(entries)) if i not in holder]
    return missing, extra
