"""The faults: each has a start and a heal; the time to a correct map is
measured from the heal. The order is drawn from the seed: every kind once in
a shuffled round, then a new round."""

import datetime as dt
import random
import signal
import threading
import time

from . import rules as R
from .proxy import BLACKHOLE, PASS, THROTTLE

# kind: (what it does, full duration in seconds, database kinds, stops the gateway's database work)
KINDS = {
    "map-kill": ("map server killed, restarted after a pause", 10, ("sqlite", "pg")),
    "map-stop": ("map server stopped (SIGSTOP), then continued", 120, ("sqlite", "pg")),
    "map-blackhole": ("map host vanished: the proxy forwards nothing", 100, ("sqlite", "pg")),
    "map-throttle": ("map link slower than one day's push per interval", 60, ("sqlite", "pg")),
    "db-lock": ("database locked by another program", 10, ("sqlite", "pg")),
    "db-restart": ("database server restarted", 0, ("pg",)),
    "db-stop": ("database server stopped, then started", 60, ("pg",)),
    "db-rename": ("jobs and schedules files replaced by rename", 0, ("sqlite",)),
    "gateway-kill": ("gateway killed (SIGKILL), started again", 3, ("sqlite", "pg")),
    "sighup": ("SIGHUP to the gateway", 0, ("sqlite", "pg")),
    "log-full": ("the log folder full", 60, ("sqlite", "pg")),
    "clock-step": ("gateway clock stepped 1 h, then back", 60, ("sqlite", "pg")),
    "day-carry": ("gateway clock carried over 04:00", 40, ("sqlite", "pg")),
}
DATABASE_FAULTS = {"db-lock", "db-restart", "db-stop", "db-rename"}
FIXED = {"db-lock"}  # "locked for 10 s" whatever the run's length


class Fault:
    def __init__(self, kind, duration):
        self.kind = kind
        self.duration = duration
        self.started = self.healed = None
        self.note = ""
        self.ttc = None  # seconds from the heal to a correct map
        self.grace = 0.0  # seconds the heal itself needs before any cycle can run
        self.late_reported = False

    @property
    def active(self):
        return self.started is not None and self.healed is None

    @property
    def back(self):
        """When the healed system can run its cycles again."""
        return self.healed + self.grace


class Faults:
    def __init__(self, world, model, seed, db_kind, scale, log):
        self.w, self.m, self.log = world, model, log
        self.rng = random.Random("%s-faults" % seed)
        self.skipped = {}
        kinds = [k for k, v in KINDS.items() if db_kind in v[2]]
        if not world.tmpfs:
            self.skipped["log-full"] = world.no_tmpfs_reason
        if not world.clock.available():
            self.skipped["clock-step"] = self.skipped["day-carry"] = "libfaketime not installed"
        self.kinds = [k for k in kinds if k not in self.skipped]
        self.scale = scale
        self.round = []
        self.done = []
        self._thread = None

    def next(self):
        if not self.round:
            self.round = list(self.kinds)
            self.rng.shuffle(self.round)
        kind = self.round.pop()
        full = KINDS[kind][1]
        d = full if kind in FIXED else max(min(full, 5), full * self.scale)
        return Fault(kind, d * self.rng.uniform(0.8, 1.2) if d else 0)

    # -- start and heal -------------------------------------------------------
    def start(self, f):
        w = self.w
        f.started = time.time()
        k = f.kind
        if k == "map-kill":
            w.mapserver.kill()
        elif k == "map-stop":
            w.mapserver.signal(signal.SIGSTOP)
        elif k == "map-blackhole":
            w.proxy.set_mode(BLACKHOLE)
        elif k == "map-throttle":
            size = w.journal.push_size() or 20000
            rate = max(256, int(size / w.interval / 3))
            f.note = "%d B/s for a push of %d B every %d s" % (rate, size, w.interval)
            w.proxy.set_mode(THROTTLE, rate)
        elif k == "db-lock":
            self._thread = threading.Thread(target=w.db.lock, args=(int(round(f.duration)),))
            self._thread.start()
        elif k in ("db-restart", "db-stop"):
            w.db.stop()
        elif k == "db-rename":
            w.db.replace_files(w.folder + "/replaced")
        elif k == "gateway-kill":
            w.gateway.kill()
        elif k == "sighup":
            w.gateway.signal(signal.SIGHUP)
        elif k == "log-full":
            left = w.fill_home()
            f.note = "%d bytes left" % left
        elif k == "clock-step":
            now = w.clock.gateway_time()
            step = self.rng.choice([3600, -3600])
            # The day must not change by this step nor by the step back.
            later = now + dt.timedelta(seconds=step + f.duration + 30)
            if (R.operational_day(now + dt.timedelta(seconds=step)) != R.operational_day(now)
                    or R.operational_day(later) != R.operational_day(now)):
                step = -step
            f.step = step
            f.note = "%+d s" % step
            w.clock.step(w.clock.offset + step)
        elif k == "day-carry":
            now = w.clock.gateway_time()
            day = R.operational_day(now)
            crossing = R.day_bounds(day)[1]
            target = crossing - dt.timedelta(seconds=f.duration)
            w.clock.step(w.clock.offset_for(target))
            f.crossing_at = time.time() + f.duration
            f.note = "to %s" % target.strftime("%Y-%m-%d %H:%M:%S")
        self.log("fault %s started%s" % (k, (": " + f.note) if f.note else ""))

    def due(self, f, now):
        if f.kind == "db-lock":
            return not self._thread.is_alive()
        if f.kind == "day-carry":
            return now >= f.crossing_at
        return now >= f.started + f.duration

    def heal(self, f):
        w = self.w
        k = f.kind
        if k == "map-kill":
            w.mapserver.start()
        elif k == "map-stop":
            w.mapserver.signal(signal.SIGCONT)
        elif k in ("map-blackhole", "map-throttle"):
            w.proxy.set_mode(PASS)
        elif k == "db-lock":
            self._thread.join()
        elif k in ("db-restart", "db-stop"):
            w.db.start()
        elif k == "gateway-kill":
            w.gateway.start()
            f.grace = R.START_UP
        elif k == "log-full":
            w.free_home()
        elif k == "clock-step":
            w.clock.step(w.clock.offset - f.step)
        f.healed = time.time()
        self.done.append(f)
        self.log("fault %s healed" % k)
