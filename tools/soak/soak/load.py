"""Dispatch work as a site's own systems do it: new jobs through the day,
newer versions of a job (a higher key), corrections in place (the flag set
back to 0), cancellations by the documented markers, jobs moved to another
line or out of the day, jobs for tomorrow and yesterday, deleted jobs and
changed route rules. Every write goes to the database first and then to the
model, with the time it was done."""

import datetime as dt
import random
import time

from . import rules as R

FIRST = ["דני", "רונית", "משה", "יעל", "אבי", "שרה", "יוסי", "נועה", "חיים", "מיכל", "ג'מיל",
         "עומר", "תמר", "איתן", "ליאור", "Dana", "Omar", "אלכס"]
LAST = ["כהן", "לוי", "מזרחי", "פרץ", "ביטון", "אברהם", "פרידמן", "ח'טיב", "Levi", "דהן"]


class Load:
    def __init__(self, world, model, seed, lines=30, vehicles=50, jobs_per_line=6):
        self.w, self.m = world, model
        self.rng = random.Random("%s-load" % seed)
        self.db = world.db
        rng = self.rng
        keys = set()
        self.codes = []
        while len(self.codes) < lines:
            code = rng.choice([rng.randint(100000, 999999), rng.randint(10000, 99999)])
            key = R.line_key(code)
            if key in keys or key[2:5] == "999":
                continue
            keys.add(key)
            self.codes.append(code)
        self.vehicles = []
        seen = set()
        while len(self.vehicles) < vehicles:
            num = "%02d-%03d-%02d" % (rng.randint(10, 99), rng.randint(0, 999), rng.randint(0, 99))
            if num not in seen:
                seen.add(num)
                self.vehicles.append((1000 + len(self.vehicles), num))
        self.drivers = [("%s %s" % (rng.choice(FIRST), rng.choice(LAST)), 100 + i) for i in range(80)]
        self.next_recid = 5000
        self.visible = {}  # job -> Scheds rows its versions made (each version must differ)
        self.rules = {}
        self.counts = {}
        self.jobs_per_line = jobs_per_line

    # -- helpers ------------------------------------------------------------
    def day(self):
        return R.operational_day(self.w.clock.gateway_time())

    def _start_in(self, day):
        start, _ = R.day_bounds(day)
        return start + dt.timedelta(minutes=self.rng.randrange(0, 24 * 60 - 150, 5))

    def _version(self, base=None, **changes):
        v = base._replace(pkid=0, **changes) if base else R.Version(pkid=0, **changes)
        # Each version leaves a Scheds row of its own: a repeat shows as a repeat.
        job = (v.carnum, v.recid)
        seen = self.visible.setdefault(job, set())
        while R.scheds_row(v) in seen:
            v = v._replace(end=v.end + dt.timedelta(minutes=1))
        return v

    def _remember(self, v):
        self.visible.setdefault((v.carnum, v.recid), set()).add(R.scheds_row(v))

    def _count(self, what):
        self.counts[what] = self.counts.get(what, 0) + 1

    def insert(self, v, what):
        pkid = self.db.insert(v, self.w.clock.gateway_time())
        v = v._replace(pkid=pkid)
        self._remember(v)
        self.m.write(time.time(), v)
        self._count(what)
        return v

    def correct(self, v, what):
        self._remember(v)
        self.db.correct(v)
        self.m.write(time.time(), v)
        self._count(what)

    def new_job(self, day, code=None):
        carno, carnum = self.rng.choice(self.vehicles)
        name, dcode = self.rng.choice(self.drivers)
        start = self._start_in(day)
        self.next_recid += 1
        v = self._version(carno=carno, carnum=carnum, recid=self.next_recid, drivercode=dcode,
                          drivername=name, start=start,
                          end=start + dt.timedelta(minutes=self.rng.randrange(20, 140)),
                          routecode=code or self.rng.choice(self.codes), updater="dispatch")
        return v

    def newest(self, job):
        rows = [self.m.rows[p] for p in self.m.jobs[job] if self.m.rows.get(p) is not None]
        return max(rows, key=lambda v: v.pkid) if rows else None

    def jobs_today(self, want_accepted=None):
        day = self.day()
        out = []
        for job in self.m.jobs:
            v = self.newest(job)
            if v is None or not R.in_day(v, day):
                continue
            if want_accepted is None or R.accepted(v) == want_accepted:
                out.append(v)
        return out

    def random_rules(self):
        rng = self.rng
        n = rng.choice([0, 1, 1, 2, 2, 3])

        def lists():
            k = rng.randint(1, 5)
            arr = sorted(rng.sample(range(0, 90), k))
            return ",".join(map(str, arr)), ",".join(str(rng.randint(0, 3)) for _ in range(rng.randint(max(1, k - 1), k)))

        if n == 0:
            return []
        cuts = sorted(rng.sample(range(1, 23), n - 1)) if n > 1 else []
        bounds = [0] + cuts + [24]
        out = []
        for a, b in zip(bounds, bounds[1:]):
            arr, stay = lists()
            out.append(R.Rule(dt.time(a, 0, 0), dt.time(b - 1, 59, 59), arr, stay))
        return out

    def set_rules(self, code, rule_list):
        makat = R.line_makat(R.line_key(code))
        self.db.set_rules(makat, rule_list)
        self.m.set_rules(time.time(), makat, rule_list)
        self.rules[makat] = rule_list

    # -- the day before the gateway starts ------------------------------------
    def seed_day(self):
        day = self.day()
        for code in self.codes:
            self.set_rules(code, self.random_rules())
        batch = []
        for code in self.codes:
            for _ in range(self.jobs_per_line):
                batch.append((self.new_job(day, code), "new job"))
        for other in (day - dt.timedelta(days=1), day + dt.timedelta(days=1)):
            for _ in range(len(self.codes)):
                batch.append((self.new_job(other), "job of another day"))
        pkids = self.db.insert_many([v for v, _ in batch], self.w.clock.gateway_time())
        t = time.time()
        for (v, what), pkid in zip(batch, pkids):
            v = v._replace(pkid=pkid)
            self._remember(v)
            self.m.write(t, v)
            self._count(what)

    # -- one piece of ordinary work -----------------------------------------
    def step(self):
        rng = self.rng
        day = self.day()
        kind = rng.choices(
            ["new", "version", "move", "correct", "cancel", "reinstate", "tomorrow", "otherday",
             "delete", "rules"],
            weights=[28, 15, 6, 12, 9, 4, 3, 5, 3, 8])[0]
        live = self.jobs_today(True)
        if kind == "new" or not live:
            self.insert(self.new_job(day), "new job")
        elif kind == "version":
            v = rng.choice(live)
            name, dcode = rng.choice(self.drivers)
            shift = dt.timedelta(minutes=rng.choice([-15, -5, 5, 10, 30]))
            start = v.start + shift
            if not R.in_day(v._replace(start=start), day):
                start = v.start
            self.insert(self._version(v, drivername=name, drivercode=dcode, start=start,
                                      end=v.end + shift), "newer version")
        elif kind == "move":
            v = rng.choice(live)
            code = rng.choice([c for c in self.codes if R.line_key(c) != R.line_key(v.routecode)])
            self.insert(self._version(v, routecode=code), "moved to another line")
        elif kind == "correct":
            v = rng.choice(live)
            name, dcode = rng.choice(self.drivers)
            self.correct(self._version(v, drivername=name, drivercode=dcode)._replace(pkid=v.pkid),
                         "corrected in place")
        elif kind == "cancel":
            v = rng.choice(live)
            how = rng.choice(["performed", "active", "atmdel", "code0"])
            if how == "performed":
                nv = self._version(v, drivername=R.NOT_PERFORMED)
            elif how == "active":
                nv = self._version(v, drivername=R.NOT_ACTIVE)
            elif how == "atmdel":
                nv = self._version(v, updater=rng.choice(["ATMDEL", "atmdel-7", "AtmDel_sync"]))
            else:
                nv = self._version(v, drivercode=0)
            if rng.random() < 0.3:
                self.correct(nv._replace(pkid=v.pkid), "cancelled in place")
            else:
                self.insert(nv, "cancelled")
        elif kind == "reinstate":
            dead = self.jobs_today(False)
            if dead:
                v = rng.choice(dead)
                name, dcode = rng.choice(self.drivers)
                self.insert(self._version(v, drivername=name, drivercode=dcode,
                                          updater="dispatch"), "reinstated")
            else:
                self.insert(self.new_job(day), "new job")
        elif kind == "tomorrow":
            v = rng.choice(live)
            shift = dt.timedelta(days=1)
            self.insert(self._version(v, start=v.start + shift, end=v.end + shift),
                        "moved to tomorrow")
        elif kind == "otherday":
            other = day + dt.timedelta(days=rng.choice([-1, 1]))
            self.insert(self.new_job(other), "job of another day")
        elif kind == "delete":
            v = rng.choice(live)
            job = (v.carnum, v.recid)
            pkids = sorted(p for p in self.m.jobs[job] if self.m.rows.get(p) is not None)
            self.db.delete(pkids)
            t = time.time()
            for p in pkids:
                self.m.delete(t, p)
            self._count("deleted")
        else:
            self.set_rules(rng.choice(self.codes), self.random_rules())
            self._count("route rules changed")
