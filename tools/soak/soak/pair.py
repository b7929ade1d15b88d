"""scripts/soak --pair: a standby pair in the soak. Two gateways on the same
databases, each with its own program folder, its own proxy and its own port
on the recording map server (so every connection is known by its gateway),
the pair's own faults besides today's, and the lease judged from outside:
at most one gateway sends at a time, every takeover completes, and the map
holds the day as the active one sends it."""

import datetime as dt
import json
import os
import random
import re
import signal
import subprocess
import sys
import time
import urllib.request

from . import rules as R
from .db import PgDb, SqliteDb, free_port
from .faults import DATABASE_FAULTS, KINDS, Fault, Faults
from .checks import Checker, DEBUG_BOUND
from .clock import GatewayClock
from .load import Load
from .main import Soak, initial_offset, wait_port
from .model import Model, Timeline
from .pairrule import Periods, Vacancy, median
from .proxy import BLACKHOLE, DELAY, PASS, Proxy
from .world import HERE, Process

PAIR_NAME = "soak"
SIDES = ("a", "b")

# kind: (what it does, database kinds)
PAIR_KINDS = {
    "pair-kill": ("the active killed (SIGKILL), started again later as a standby", ("sqlite", "pg")),
    "pair-pause": ("the active paused (SIGSTOP) past its lease at a random instant of its cycle, "
                   "then continued", ("sqlite", "pg")),
    "pair-term": ("the active stopped (SIGTERM), started again", ("sqlite", "pg")),
    "pair-map-cut": ("the active's map connection cut", ("sqlite", "pg")),
    "pair-db-kill": ("the active's database backends ended (pg_terminate_backend)", ("pg",)),
    "pair-db-cut": ("the active's database connections cut by its proxy", ("pg",)),
    "pair-db-partition": ("the active cut off from the database past its lease (its proxy "
                          "forwards nothing), then let through", ("pg",)),
    "pair-renew-delay": ("the active's database requests held past half its lease by its proxy "
                         "(renewals among them), then let through", ("pg",)),
    "pair-skew": ("one gateway's wall clock stepped by minutes, then back", ("pg",)),
    "pair-both": ("both gateways stopped (SIGTERM) and started again", ("sqlite", "pg")),
}
# The active is gone (or cut off) for longer than the lease: a takeover follows.
TAKEOVER_KINDS = {"pair-kill", "pair-pause", "pair-term", "pair-both", "pair-db-partition"}

ACTIVE_RE = re.compile(r"Pair \S+: active as (.+), term (\d+)")
STANDBY_RE = re.compile(r"Pair \S+: standing by as (.+), lease (\d+) s")
DOWN_RE = re.compile(r"Pair \S+: standing down: (.*)")


# -- the world ------------------------------------------------------------------
class PairClock:
    """Both gateways' clocks, one control file each. Today's clock faults move
    both at once, as the one clock of the host they share; a skew moves one
    gateway's alone. The model's day follows the shared clock."""

    def __init__(self, folder, sides, offset, no_cache):
        self.clocks = {s: GatewayClock(os.path.join(folder, "faketime-%s.rc" % s), offset)
                       for s in sides}
        self.offsets = Timeline(int(offset), 0.0)
        self.skews = {s: 0 for s in sides}
        # On the embedded files the lease's clock is the gateways' own: both
        # must see a step at the same moment, as processes of one host do.
        self.no_cache = no_cache

    available = staticmethod(GatewayClock.available)

    def environment(self, side):
        env = self.clocks[side].environment()
        if env and self.no_cache:
            del env["FAKETIME_CACHE_DURATION"]
            env["FAKETIME_NO_CACHE"] = "1"
        return env

    @property
    def offset(self):
        return self.offsets.current

    def step(self, new_offset, t=None):
        t = time.time() if t is None else t
        self.offsets.set(t, int(new_offset))
        for s, c in self.clocks.items():
            c.step(int(new_offset) + self.skews[s], t)

    def skew(self, side, seconds):
        self.skews[side] = int(seconds)
        self.clocks[side].step(self.offset + int(seconds))

    def gateway_time(self, t=None):
        t = time.time() if t is None else t
        return GatewayClock.gateway_time(self, t)

    def side_time(self, side, t=None):
        return self.clocks[side].gateway_time(t)

    def offset_for(self, target, t=None):
        return GatewayClock.offset_for(self, target, t)


class ProxyGroup:
    """Today's map faults reach the map host, so both gateways' links."""

    def __init__(self, proxies):
        self.proxies = proxies

    def set_mode(self, mode, rate=0):
        for p in self.proxies:
            p.set_mode(mode, rate)

    def close(self):
        for p in self.proxies:
            p.close()


class PairJournal:
    """The recorder's journal with the gateway named in each record: the
    latest message of each line per gateway and as the map holds it (from
    whichever gateway), and every record not yet seen by the tracker."""

    RX = ("msg", "rx", "login", "other")

    def __init__(self, path, sides):
        self.path = path
        self.pos = 0
        self.by = {s: {} for s in sides}
        self.map_latest = {}
        self.view = sides[0]  # whose connection the map checks judge (the active's)
        self.q_answers = []
        self.requests = []
        self.messages = 0
        self.received = 0
        self.logins = 0
        self.bytes_per_line = {}
        self.pending = []
        self.connections = {s: 0 for s in sides}

    @property
    def latest(self):
        return self.map_latest if self.view is None else self.by[self.view]

    def read(self):
        new = []
        try:
            with open(self.path, encoding="utf-8") as f:
                f.seek(self.pos)
                while True:
                    line = f.readline()
                    if not line.endswith("\n"):
                        break
                    self.pos = f.tell()
                    new.append(json.loads(line))
        except FileNotFoundError:
            return []
        for rec in new:
            k, gw = rec["k"], rec.get("gw")
            if k == "msg":
                self.received += 1
                code = rec["code"]
                if "body" in rec:
                    body = rec["body"]
                    self.messages += 1
                    self.bytes_per_line[code] = len(body.encode("cp1255", "replace")) + 40
                else:
                    body = self.by.get(gw, {}).get(code, (0, ""))[1]
                if gw in self.by:
                    self.by[gw][code] = (rec["t"], body)
                self.map_latest[code] = (rec["t"], body)
            elif k == "Q":
                self.q_answers.append(rec["t"])
            elif k == "req":
                self.requests.append((rec["t"], rec["code"]))
            elif k == "login":
                self.logins += 1
            elif k == "open" and gw in self.connections:
                self.connections[gw] += 1
            elif k == "close" and gw in self.connections:
                self.connections[gw] = max(0, self.connections[gw] - 1)
            elif k == "start":
                # A restarted recorder: the connections went with the old one.
                self.connections = {s: 0 for s in self.connections}
        self.pending.extend(new)
        return new

    def push_size(self):
        return sum(self.bytes_per_line.values())


class Side:
    """One gateway of the pair: its program folder, its link to the map (a
    proxy to its own port on the recorder), on PostgreSQL its link to the
    database (a proxy too), its status port and its process."""

    def __init__(self, name, world, bindir):
        self.name = name
        self.home = os.path.join(world.folder, "home-" + name)
        os.makedirs(self.home, exist_ok=True)
        self.map_port = free_port()
        self.proxy = Proxy(self.map_port)
        self.dbproxy = Proxy(world.db.port) if world.db.kind == "pg" else None
        self.status_port = free_port()
        env = dict(os.environ, TZ="UTC", QT_QPA_PLATFORM="offscreen", LC_ALL="C.UTF-8")
        env.update(world.clock.environment(name))
        self.gateway = Process("volmarad-" + name, [os.path.join(bindir, "volmarad"), "--home",
                                                    self.home, "Server"], world.folder, env)

    def source(self, db):
        if self.dbproxy is None:
            return db.source()
        return db.source().replace("PORT=%d;" % db.port, "PORT=%d;" % self.dbproxy.port)

    def write_settings(self, db, interval, lease):
        text = ("[ORVIKMap]\r\nMapIP=127.0.0.1\r\nPort=%d\r\nGMT=2\r\n"
                "[Database]\r\nSQLServer=%s\r\nConnection TimeOut=10\r\n"
                "[Misc]\r\nDBInterval=%d\r\nStatusListen=127.0.0.1:%d\r\n"
                "[Pair]\r\nName=%s\r\nLeaseSeconds=%d\r\n"
                % (self.proxy.port, self.source(db), interval, self.status_port, PAIR_NAME, lease))
        with open(os.path.join(self.home, "Volmara.INI"), "wb") as f:
            f.write(text.encode("cp1255"))

    def healthz(self):
        try:
            with urllib.request.urlopen("http://127.0.0.1:%d/healthz" % self.status_port,
                                        timeout=3) as r:
                return json.loads(r.read().decode("utf-8"))
        except Exception as e:  # noqa: BLE001 - an answer of any kind is told
            if hasattr(e, "read"):
                try:
                    return json.loads(e.read().decode("utf-8"))
                except Exception:  # noqa: BLE001
                    pass
            return {"error": str(e)}


class PairWorld:
    """The world of a pair: one database, one recorder with a port per
    gateway, two sides. Today's faults that name "the gateway" reach the
    side `target` (the active when the fault began)."""

    def __init__(self, folder, bindir, db_kind, interval, seed, offset, log, lease):
        self.folder, self.bindir, self.interval, self.log = folder, bindir, interval, log
        self.lease = lease
        self.clock = PairClock(folder, SIDES, offset, no_cache=(db_kind == "sqlite"))
        if db_kind == "pg":
            self.db = PgDb(os.path.join(folder, "pg"))
        else:
            self.db = SqliteDb(os.path.join(folder, "db"), bindir)
        self.journal = PairJournal(os.path.join(folder, "map.journal"), SIDES)
        self.sides = {n: Side(n, self, bindir) for n in SIDES}
        self.proxy = ProxyGroup([s.proxy for s in self.sides.values()])
        self.tmpfs = all([self._mount_tmpfs(s.home) for s in self.sides.values()])
        for s in self.sides.values():
            s.write_settings(self.db, interval, lease)
        vehicles = "dedod/1234567,dedod/7654321,other/1111111"
        listen = []
        for s in self.sides.values():
            listen += ["--listen", "%s=%d" % (s.name, s.map_port)]
        self.mapserver = Process(
            "mapserver",
            [sys.executable, os.path.join(HERE, "mapserver.py"), "--journal", self.journal.path,
             "--vehicles", vehicles, "--request-every", "7", "--seed", str(seed)] + listen,
            folder)
        self.target = SIDES[0]
        self.filled = None

    def _mount_tmpfs(self, path):
        if os.geteuid() != 0 or os.environ.get("VOLMARA_SOAK_NS") != "1":
            self.no_tmpfs_reason = ("not run as root" if os.geteuid() != 0
                                    else "no private mount namespace")
            return False
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16m,mode=0755", "soak-home", path],
                           stderr=subprocess.PIPE)
        if r.returncode != 0:
            self.no_tmpfs_reason = "mount failed: " + r.stderr.decode().strip()
            return False
        return True

    # -- what today's faults reach ----------------------------------------------
    @property
    def gateway(self):
        return self.sides[self.target].gateway

    @property
    def home(self):
        return self.sides[self.target].home

    def fill_home(self):
        self.filled = self.sides[self.target]
        path = os.path.join(self.filled.home, "filler.bin")
        chunk = b"\0" * (1 << 20)
        with open(path, "wb", buffering=0) as f:
            while chunk:
                try:
                    f.write(chunk)
                except OSError:
                    chunk = chunk[: len(chunk) // 2] if len(chunk) > 1 else b""
        st = os.statvfs(self.filled.home)
        return st.f_bavail * st.f_frsize

    def free_home(self):
        for s in self.sides.values():
            try:
                os.remove(os.path.join(s.home, "filler.bin"))
            except FileNotFoundError:
                pass
        self.filled = None

    # -- the processes ------------------------------------------------------------
    def debug_sizes(self, name):
        home = self.sides[name].home
        out = {}
        for n in ("Debug.TXT", "Debug.1.TXT"):
            try:
                out[n] = os.path.getsize(os.path.join(home, n))
            except OSError:
                out[n] = 0
        out["ERR"] = len([n for n in os.listdir(home) if n.upper().endswith(".ERR")])
        return out

    def process_sample(self, name):
        g = self.sides[name].gateway
        if g.pid is None or g.poll() is not None:
            return None
        try:
            status = open("/proc/%d/status" % g.pid).read()
            if "State:\tT" in status:
                return None  # paused by a fault
            rss = int(status.split("VmRSS:")[1].split()[0])
            threads = int(status.split("Threads:")[1].split()[0])
            fds = len(os.listdir("/proc/%d/fd" % g.pid))
        except (OSError, IndexError, ValueError):
            return None
        return {"pid": g.pid, "rss_kb": rss, "threads": threads, "fds": fds}

    def pids(self):
        return [p for s in self.sides.values() for p in s.gateway.pids]

    def close(self, keep_home_copy):
        for s in self.sides.values():
            s.gateway.stop()
        self.mapserver.kill()
        for s in self.sides.values():
            s.proxy.close()
            if s.dbproxy is not None:
                s.dbproxy.close()
        self.free_home()
        self.db.close(self.pids())
        if self.tmpfs:
            for s in self.sides.values():
                if keep_home_copy:
                    subprocess.run(["cp", "-a", s.home, s.home + ".saved"])
                subprocess.run(["umount", "-l", s.home])


# -- the faults -----------------------------------------------------------------
class PairFaults(Faults):
    """Today's faults (the gateway kill replaced by the pair's own kinds) and
    the pair's: drawn from the seed, two of the pair's for one of today's."""

    def __init__(self, world, model, seed, db_kind, scale, log, lease):
        super().__init__(world, model, seed, db_kind, scale, log)
        self.lease = lease
        self.pair = None  # the tracker, set by the soak
        self.prng = random.Random("%s-pair-faults" % seed)
        if db_kind == "sqlite":
            self.skipped["pair-skew"] = ("on the embedded files the lease's clock is the host's "
                                         "own, which two gateways of one host share")
        self.today = [k for k in self.kinds if k != "gateway-kill"]
        self.pair_kinds = [k for k, v in PAIR_KINDS.items()
                           if db_kind in v[1] and k not in self.skipped]
        self.kinds = self.today + self.pair_kinds
        self.all_kinds = [k for k in KINDS if k != "gateway-kill"] + list(PAIR_KINDS)
        self.pair_round = []
        self.drawn = 0

    def next(self):
        self.drawn += 1
        if self.drawn % 3 == 0 and self.today:
            self.kinds, keep = self.today, self.kinds
            try:
                return super().next()
            finally:
                self.kinds = keep
        if not self.pair_round:
            self.pair_round = list(self.pair_kinds)
            self.prng.shuffle(self.pair_round)
        kind = self.pair_round.pop()
        L = self.lease
        r = self.prng
        d = {"pair-kill": lambda: r.uniform(3, L + 10),
             "pair-pause": lambda: L + r.uniform(1, 4),
             "pair-term": lambda: r.uniform(2, 8),
             "pair-db-partition": lambda: L + r.uniform(3, 8),
             "pair-renew-delay": lambda: r.uniform(L, 2 * L),
             "pair-skew": lambda: max(10.0, 60 * self.scale) * r.uniform(0.8, 1.2),
             "pair-both": lambda: r.uniform(1, 4)}.get(kind, lambda: 0)()
        return Fault(kind, d)

    def start(self, f):
        tr = self.pair
        self.w.target = tr.holder() or self.w.target
        if f.kind not in PAIR_KINDS:
            return super().start(f)
        w = self.w
        f.started = time.time()
        f.side = side = w.target
        f.other = [s for s in SIDES if s != side][0]
        f.signal_at = None
        f.takeovers = []
        k = f.kind
        s = w.sides[side]
        if k == "pair-kill":
            s.gateway.kill()
            f.signal_at = time.time()
            tr.killed(side, f.signal_at)
        elif k == "pair-pause":
            # At a random instant of its cycle: counted from its next
            # liveness line, which each cycle sends as it begins.
            f.armed_at = f.started
            f.offset = self.prng.uniform(0, w.interval + 0.5)
            f.fire_at = None
            f.note = "%.1f s into a cycle, for %.1f s" % (f.offset, f.duration)
        elif k == "pair-term":
            s.gateway.signal(signal.SIGTERM)
            f.signal_at = time.time()
            tr.stopping(side, f.signal_at)
        elif k == "pair-map-cut":
            f.note = "%d sockets reset" % s.proxy.cut()
        elif k == "pair-db-kill":
            ports = s.dbproxy.upstream_ports()
            n = 0
            if ports:
                out = w.db.psql("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
                                "WHERE client_port IN (%s)" % ",".join(map(str, ports)))
                n = int(out[0][0]) if out else 0
            f.note = "%d of its backends ended" % n
        elif k == "pair-db-cut":
            f.note = "%d sockets reset" % s.dbproxy.cut()
        elif k == "pair-db-partition":
            s.dbproxy.set_mode(BLACKHOLE)
            f.signal_at = time.time()
            tr.cut_off(side, f.signal_at)
        elif k == "pair-renew-delay":
            # Past half the lease, so a renewal outlasts its own time-out:
            # the active keeps the lease or stands down, never both active.
            f.delay = self.lease / 2.0 + self.prng.uniform(1, 3)
            s.dbproxy.set_mode(DELAY, delay=f.delay)
            f.note = "each request held %.1f s" % f.delay
        elif k == "pair-skew":
            who = self.prng.choice(SIDES)
            step = self.prng.choice([1, -1]) * self.prng.randint(2, 10) * 60
            now = w.clock.side_time(who)
            day = R.operational_day(now)
            for cand in (step, -step):
                if all(R.operational_day(now + dt.timedelta(seconds=cand + x)) == day
                       for x in (0, f.duration + 30)):
                    step = cand
                    break
            f.skewed, f.step = who, step
            w.clock.skew(who, step)
            f.note = "gateway %s (%s) %+d s" % (who, "active" if who == side else "standby", step)
        elif k == "pair-both":
            for n in SIDES:
                w.sides[n].gateway.signal(signal.SIGTERM)
            f.signal_at = time.time()
            for n in SIDES:
                tr.stopping(n, f.signal_at)
        self.log("fault %s started on gateway %s%s" % (k, side, (": " + f.note) if f.note else ""))

    def progress(self, f, now):
        """The steps of a fault between its start and its heal."""
        if f.kind != "pair-pause" or f.signal_at is not None:
            return
        if f.fire_at is None:
            live = self.pair.live_after(f.side, f.armed_at)
            if live is not None:
                f.fire_at = live + f.offset
            elif now > f.armed_at + 3 * self.w.interval + 5:
                f.fire_at = now  # no liveness line: paused as it is
        if f.fire_at is not None and now >= f.fire_at:
            self.w.sides[f.side].gateway.signal(signal.SIGSTOP)
            f.signal_at = time.time()
            self.pair.paused(f.side, f.signal_at)
            self.log("gateway %s paused" % f.side)

    def due(self, f, now):
        if f.kind not in PAIR_KINDS:
            return super().due(f, now)
        if f.kind == "pair-pause":
            return f.signal_at is not None and now >= f.signal_at + f.duration
        return now >= f.started + f.duration

    def heal(self, f):
        if f.kind not in PAIR_KINDS:
            return super().heal(f)
        w, tr, k = self.w, self.pair, f.kind
        if k in ("pair-kill", "pair-term"):
            self._restart([f.side])
        elif k == "pair-pause":
            w.sides[f.side].gateway.signal(signal.SIGCONT)
            tr.woke(f.side, time.time(), f.signal_at)
        elif k in ("pair-db-partition", "pair-renew-delay"):
            w.sides[f.side].dbproxy.set_mode(PASS)
        elif k == "pair-skew":
            w.clock.skew(f.skewed, 0)
        elif k == "pair-both":
            order = list(SIDES)
            self.prng.shuffle(order)
            f.restart_at = self._restart(order, gap=self.prng.uniform(0, 1.5))
            tr.restarted_both(f.restart_at)
        f.healed = time.time()
        self.done.append(f)
        self.log("fault %s healed" % k)

    def _restart(self, names, gap=0.0):
        """Starts the gateways again once the old processes have ended (a
        stop that does not end the process is a violation of its own).
        Returns when the first was started."""
        first = None
        for i, n in enumerate(names):
            g = self.w.sides[n].gateway
            end = time.time() + 10
            while g.poll() is None and time.time() < end:
                time.sleep(0.1)
            if g.poll() is None:
                self.pair.checker.violate("a stopped gateway did not end",
                                          "gateway %s still runs 10 s after SIGTERM" % n,
                                          key=("stop-hung", n, g.starts), code="stop-hung")
                g.kill()
            if i and gap:
                time.sleep(gap)
            self.pair.soak.start_side(n)
            first = first or self.w.sides[n].gateway.started_at
        return first


# -- the tracker: the lease as seen from outside ---------------------------------
class Takeover:
    def __init__(self, side, term, lo, hi, expected):
        self.side, self.term, self.lo, self.hi = side, term, lo, hi
        self.expected = expected  # the lines the day has: a full push sends them all
        self.got = {}  # code -> first arrival from the new active
        self.pushed_at = None
        self.gave_up = False
        self.outage = None
        self.fault = None


class SideState:
    def __init__(self, name):
        self.name = name
        self.role = "down"
        self.term = None
        self.holder = None
        self.log_path = None
        self.log_pos = 0
        self.read_at = None
        self.expected_exit = False
        self.paused_at = None
        self.woke_at = None
        self.exit_seen = True


class PairTracker:
    def __init__(self, soak):
        self.soak = soak
        self.w = soak.world
        self.checker = soak.checker
        self.L = soak.L
        self.I = soak.I
        self.bound = self.L + 2 * self.I + 10
        self.periods = Periods(origin=soak.t0)
        self.vacancy = Vacancy(self.bound)
        self.state = {n: SideState(n) for n in SIDES}
        self.takeovers = []
        self.stand_downs = []
        self.pending_rx = []
        self.judged = 0
        self.last_poll = time.time()
        self.wake_checks = []  # (due, side, woke_at)
        self.live = {n: [] for n in SIDES}

    # -- what the soak did -----------------------------------------------------
    def started(self, side, t):
        st = self.state[side]
        st.role, st.term, st.holder = "starting", None, None
        st.log_path = self.w.sides[side].gateway.log
        st.log_pos, st.read_at = 0, t
        st.expected_exit, st.paused_at, st.exit_seen = False, None, False

    def _left(self, side, t, why):
        if self.periods.holder() == side:
            self.vacancy.left(t, why)

    def killed(self, side, t):
        self._left(side, t, "gateway %s killed" % side)
        self.periods.ended(side, t, "killed")
        self.state[side].expected_exit = True

    def stopping(self, side, t):
        self._left(side, t, "gateway %s stopped" % side)
        self.state[side].expected_exit = True

    def paused(self, side, t):
        self._left(side, t, "gateway %s paused" % side)
        self.state[side].paused_at = t

    def woke(self, side, t, paused_at):
        self.periods.woke(side, t, paused_at)
        st = self.state[side]
        st.paused_at, st.woke_at = None, t
        self.wake_checks.append((t + 5.0, side, t))

    def cut_off(self, side, t):
        # Its renewals cannot reach the server: the lease runs out.
        self._left(side, t + self.L, "gateway %s cut off from the database" % side)

    def restarted_both(self, t):
        self.vacancy.filled()
        self.vacancy.left(t, "both gateways started again")

    # -- what is asked ----------------------------------------------------------
    def holder(self):
        return self.periods.holder()

    def ready(self, now):
        """A fault may begin: one gateway active with its first push done, the
        other standing by, nothing pending."""
        h = self.holder()
        if h is None or self.vacancy.since is not None:
            return False
        other = [s for s in SIDES if s != h][0]
        if self.state[other].role != "standby" or self.state[h].role != "active":
            return False
        if self.takeovers and (self.takeovers[-1].pushed_at is None
                               and not self.takeovers[-1].gave_up):
            return False
        return not self.takeovers or now > self.takeovers[-1].hi + 3

    def live_after(self, side, t):
        for x in self.live[side]:
            if x > t:
                return x
        return None

    def reference(self, f, t):
        """When the map is to be right again after fault f, counted from: its
        heal, or the first full push of a takeover that came with it. None
        while that is not yet known."""
        tks = getattr(f, "takeovers", [])
        if not tks:
            if f.kind in TAKEOVER_KINDS and t < f.healed + self.bound:
                return None
            if self.vacancy.since is not None:
                return None
            return f.healed
        tk = tks[-1]
        if tk.pushed_at is None:
            return tk.hi + self.bound if tk.gave_up else None
        return max(f.healed, tk.pushed_at)

    # -- each tick ----------------------------------------------------------------
    def poll(self, now=None):
        # Stamped here: a heal before it may have taken seconds.
        now = time.time()
        j = self.w.journal
        j.read()
        # The logs after the journal: a record the journal holds was written
        # after every log line its gateway wrote before it.
        events = []
        for n, st in self.state.items():
            events += self._read_log(n, st, now)
        self._apply(events)
        for n, st in self.state.items():
            self._watch_exit(n, st, now)
        self.last_poll = now
        recs, j.pending = j.pending, []
        for rec in recs:
            self._record(rec)
        self._judge(now - 1.0)
        self._progress(now)
        self._wakes(now)
        self._vacancy(now)

    def _read_log(self, n, st, now):
        """The pair's records new in the gateway's log, each with the term it
        belongs to (the lease's terms are one sequence for the pair, so the
        records of both gateways seen in one read are put in order by it)."""
        lo = st.read_at if st.read_at is not None else now
        st.read_at = now
        if not st.log_path:
            return []
        try:
            with open(st.log_path, "rb") as f:
                f.seek(st.log_pos)
                data = f.read()
        except OSError:
            return []
        end = data.rfind(b"\n")
        if end < 0:
            return []
        st.log_pos += end + 1
        out = []
        term = st.term or 0
        for line in data[: end + 1].decode("utf-8", "replace").splitlines():
            m = ACTIVE_RE.search(line)
            if m:
                term = int(m.group(2))
                out.append((term, n, "active", (term, m.group(1), lo, now)))
                continue
            m = DOWN_RE.search(line)
            if m:
                out.append((term + 0.5, n, "down", (m.group(1), now)))
                continue
            m = STANDBY_RE.search(line)
            if m:
                out.append((term + 0.5, n, "standby", (m.group(1),)))
        return out

    def _apply(self, events):
        for (_, n, kind, args) in sorted(events, key=lambda e: e[0]):
            if kind == "active":
                self._takeover(n, *args)
            elif kind == "down":
                self._stood_down(n, *args)
            else:
                st = self.state[n]
                st.role, st.holder = "standby", args[0]

    def _watch_exit(self, n, st, now):
        g = self.w.sides[n].gateway
        if st.exit_seen or g.proc is None or g.poll() is None:
            return
        st.exit_seen = True
        self._left(n, now, "gateway %s ended" % n)
        self.periods.ended(n, now, "its end seen")
        st.role = "down"

    def _takeover(self, side, term, holder, lo, hi):
        c, m = self.checker, self.soak.model
        self.periods.takeover(side, term, lo, hi)
        st = self.state[side]
        st.role, st.term, st.holder = "active", term, holder
        for n, o in self.state.items():
            if n != side and o.role == "active":
                o.role = "superseded"
        self.w.journal.view = side
        self.vacancy.filled()
        view = m.view(hi, self.soak.lag)
        expected = {R.line_makat(k) for k, v in view.items() if v[0]}
        tk = Takeover(side, term, lo, hi, expected)
        # The new active drops the day and reads it anew at once.
        c.note_rebuild(lo, "takeover by %s" % side)
        c.outages.append((lo, float("inf")))
        tk.outage = len(c.outages) - 1
        c.flag_due.append((hi + 2 * self.I + 1, "takeover by %s" % side))
        f = self._fault_of(hi)
        if f is not None:
            tk.fault = f
            f.takeovers.append(tk)
            if f.kind == "pair-skew":
                c.violate("a clock step moved the lease",
                          "gateway %s took over (term %d) while gateway %s's clock was stepped %+d s"
                          % (side, term, f.skewed, f.step), key=("skew", term),
                          code="lease-follows-clock")
        self.takeovers.append(tk)
        self.soak.log("takeover: gateway %s active, term %d (%s)"
                      % (side, term, ("after " + f.kind) if f else "no fault"))

    def _fault_of(self, t):
        c = self.checker
        if c.active is not None:
            if not hasattr(c.active, "takeovers"):
                c.active.takeovers = []
            return c.active
        for f in reversed(self.soak.faults.done):
            if f.started <= t <= f.healed + self.bound:
                if not hasattr(f, "takeovers"):
                    f.takeovers = []
                return f
            if f.healed + self.bound < t:
                break
        return None

    def _stood_down(self, side, why, hi):
        self.stand_downs.append((hi, side, why))
        was = self.periods.holder() == side
        self.periods.stood_down(side, hi, why)
        st = self.state[side]
        if st.role in ("active", "superseded"):
            st.role = "standby"
        if was and self.periods.holder() is None:
            self.vacancy.left(hi, "gateway %s stood down: %s" % (side, why))
        self.soak.log("gateway %s stood down: %s" % (side, why))

    def _record(self, rec):
        gw, k = rec.get("gw"), rec["k"]
        if gw not in self.state:
            return
        if k in PairJournal.RX:
            self.pending_rx.append((rec["t"], gw, rec.get("what", k)))
        if k == "rx" and rec.get("what") == "live":
            self.live[gw].append(rec["t"])
            del self.live[gw][:-20]
        if k == "msg":
            for tk in self.takeovers[-3:]:
                if tk.side == gw and rec["t"] >= tk.lo and tk.pushed_at is None:
                    tk.got.setdefault(rec["code"], rec["t"])

    def _judge(self, until):
        keep = []
        for (t, gw, what) in self.pending_rx:
            if t >= until:
                keep.append((t, gw, what))
                continue
            self.judged += 1
            verdict = self.periods.judge(gw, t)
            if verdict:
                code, text, period = verdict
                # One report per term that ran over (its first message).
                ident = (period.term, period.start) if period else None
                self.checker.violate("a gateway of the pair sent while it did not hold the lease",
                                     "%s (%s)" % (text, what),
                                     key=("pair", code, gw, ident), code=code)
        self.pending_rx = keep

    def _progress(self, now):
        view = None
        for tk in self.takeovers[-3:]:
            if tk.pushed_at is not None or tk.gave_up:
                continue
            if view is None:
                view = self.soak.model.view(now, self.soak.lag)
            required = {R.line_makat(k) for k, v in view.items() if v[0]}
            need = tk.expected & required
            if need <= set(tk.got):
                tk.pushed_at = max([tk.got[c] for c in need] or [tk.hi])
                end = max(tk.hi + 2 * self.I + 1, tk.pushed_at + self.I)
            elif now > tk.hi + self.bound:
                tk.gave_up = True
                end = now
                if tk.fault is not None and tk.fault.kind in PAIR_KINDS:
                    self.checker.violate(
                        "the new active did not push every line",
                        "gateway %s, term %d: %d of %d lines pushed %.0f s after it took over; "
                        "missing %s" % (tk.side, tk.term, len(need & set(tk.got)), len(need),
                                        now - tk.hi, sorted(need - set(tk.got))[:5]),
                        key=("push", tk.term), code="takeover-incomplete")
            else:
                continue
            c = self.checker
            c.outages[tk.outage] = (tk.lo, end)

    def _wakes(self, now):
        for item in list(self.wake_checks):
            due, side, woke = item
            if now < due:
                continue
            self.wake_checks.remove(item)
            if self.w.journal.connections[side] > 0 and self.periods.holder() != side:
                self.checker.violate("a gateway woken past its lease kept its map connection",
                                     "gateway %s, %.0f s after it was continued"
                                     % (side, now - woke), key=("kept", side, int(woke)),
                                     code="paused-kept-connection")

    def _vacancy(self, now):
        c = self.checker
        db_down = c.active is not None and c.active.kind in DATABASE_FAULTS
        healed = [f.healed for f in self.soak.faults.done if f.kind in DATABASE_FAULTS]
        over = self.vacancy.overdue(now, max(healed) if healed else None, db_down)
        if over is not None:
            c.violate("no gateway took over in time",
                      "%s at %.1f; nobody active %.0f s later (bound %d s = lease + 2 intervals + "
                      "10 s)" % (self.vacancy.why, self.vacancy.since - self.soak.t0,
                                 now - self.vacancy.since, self.bound),
                      key=("vacant", int(self.vacancy.since)), code="takeover-late")

    def final(self):
        """At the end: everything received judged; exactly one gateway says it
        is active, the one seen taking over last."""
        time.sleep(1.5)
        self.poll(time.time())
        self._judge(float("inf"))
        roles = {n: s.healthz() for n, s in self.w.sides.items()}
        active = [n for n, h in roles.items() if h.get("role") == "active"]
        self.final_roles = {n: h.get("role", h.get("error")) for n, h in roles.items()}
        if len(active) != 1 or active[0] != self.holder():
            self.checker.violate("not exactly one active gateway at the end",
                                 "roles %s; last takeover by %s" % (self.final_roles, self.holder()),
                                 key=("roles",), code="roles-at-end")


# -- the checker ---------------------------------------------------------------
class PairChecker(Checker):
    pair = None

    def sample(self, t):
        for name, side in self.w.sides.items():
            s = self.w.process_sample(name)
            if s is not None:
                self.samples.append((t, side.gateway.started_at, s))
            sizes = self.w.debug_sizes(name)
            self.max_debug = max(self.max_debug, sizes["Debug.TXT"])
            if sizes["Debug.TXT"] > DEBUG_BOUND:
                self.violate("Debug.TXT past its trim bound", "gateway %s: %d bytes"
                             % (name, sizes["Debug.TXT"]), key=("debug", name), code="log-unbounded")
            if sizes["ERR"] > 10:
                self.violate("more than 10 emergency files", "gateway %s: %d ERR files"
                             % (name, sizes["ERR"]), key=("err", name), code="log-unbounded")

    def check_map(self, t, active):
        """As today's, with the time to a correct map counted from the heal or,
        when the fault brought a takeover, from the new active's first full
        push (the lease must run out first)."""
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
        for f in self.faults.done:
            if f.ttc is not None:
                continue
            ref = self.pair.reference(f, t)
            if ref is None or t < ref:
                continue
            after = problems or self.map_problems(t, since=ref)
            if not after:
                f.ttc = t - ref
            elif t > ref + 2 * self.I and not f.late_reported:
                f.late_reported = True
                self.violate_map("map not correct two intervals after the heal (%s)" % f.kind,
                                 after, lambda c, x: ("map", x))
        settling = not self.quiet(t - 2 * self.I, t)
        if ok or settling:
            self.wrong_since = None
            return
        if self.wrong_since is None:
            self.wrong_since = (t, problems)
        elif t - self.wrong_since[0] >= self.I:
            self.violate_map("map wrong in quiet time for %.1f s" % (t - self.wrong_since[0]),
                             problems, lambda c, x: ("map", x))


# -- the soak -----------------------------------------------------------------
class PairSoak(Soak):
    def __init__(self, args):
        super().__init__(args)
        self.L = args.lease or random.Random("%s-lease" % self.seed).choice([5, 6])

    def run(self):
        a = self.args
        bindir = os.path.join(a.build, "bin")
        for tool in ("volmarad", "volmara-dbinit"):
            if not os.access(os.path.join(bindir, tool), os.X_OK):
                raise SystemExit("soak: %s/%s not built (cmake --build %s --target volmarad "
                                 "volmara-dbinit)" % (bindir, tool, a.build))
        self.log("seed %s, database %s, %g minutes, interval %d s, pair with a lease of %d s, "
                 "folder %s" % (self.seed, a.db, a.minutes, self.I, self.L, self.folder))
        self.world = w = PairWorld(self.folder, bindir, a.db, self.I, self.seed, initial_offset(),
                                   self.log, self.L)
        self.model = m = Model(w.clock)
        self.day = m.set_day(time.time())
        self.load = load = Load(w, m, self.seed)
        load.seed_day()
        self.log("day %s: %d lines, %d job rows; gateway clock %s"
                 % (self.day, len(load.codes), len(m.rows), w.clock.gateway_time()))
        scale = min(1.0, a.minutes / 20.0)
        self.faults = faults = PairFaults(w, m, self.seed, a.db, scale, self.log, self.L)
        for k, why in faults.skipped.items():
            self.log("fault %s skipped: %s" % (k, why))
        self.checker = c = PairChecker(w, m, faults, self.I, self.lag, self.log,
                                       rebuild_on_line_list=(a.line_list_rebuilds == "yes"),
                                       expected=a.known)
        c.active = None
        self.pair = tr = PairTracker(self)
        faults.pair = c.pair = tr
        w.mapserver.start()
        if not all(wait_port(s.map_port) for s in w.sides.values()):
            raise SystemExit("soak: the map server did not start")
        c.outage(self.t0 - 1, time.time())

        # One gateway first, the other once the first holds the lease.
        self.start_side("a")
        self.wait(lambda: tr.holder() == "a", 30, "gateway a never became active")
        self.start_side("b")
        self.wait(lambda: tr.state["b"].role == "standby", 20, "gateway b never stood by")
        self.started = time.time()

        self.warm_up(c)

        end = time.time() + a.minutes * 60
        next_fault = time.time() + 3
        rng = random.Random("%s-gaps" % self.seed)
        active = None
        waited_since = None
        while True:
            now = time.time()
            if active is None and now >= end:
                break
            if active is None and now >= next_fault and now < end - 5:
                if tr.ready(now) or (waited_since is not None and now > waited_since + 60):
                    waited_since = None
                    active = faults.next()
                    c.active = active
                    faults.start(active)
                elif waited_since is None:
                    waited_since = now
            elif active is not None:
                faults.progress(active, now)
                if faults.due(active, now):
                    faults.heal(active)
                    c.flag_due.append((active.healed + self.I + 1, active.kind))
                    c.active = active = None
                    # Shorter gaps than today's: takeovers often within minutes.
                    next_fault = now + 2 * self.I + self.lag + rng.uniform(2, 10) * max(scale, 0.3)
            self.tick(time.time(), active)
            time.sleep(0.25)

        # Settle: the last takeover's push, then the final checks.
        settle = time.time() + 2 * self.I + self.lag + 3
        while time.time() < settle or (not tr.ready(time.time()) and time.time() < settle + 30):
            self.tick(time.time())
            time.sleep(0.25)
        now = time.time()
        problems = c.map_problems(now)
        if problems:
            c.violate_map("map not correct at the end", problems, lambda code, x: ("map", x))
        # Also as the map server holds it, whichever gateway sent each line.
        w.journal.view, keep = None, w.journal.view
        problems = c.map_problems(now)
        w.journal.view = keep
        if problems:
            c.violate_map("map server's lines not correct at the end", problems,
                          lambda code, x: ("map", x))
        c.check_scheds(now, final=True)
        c.check_flags("at the end")
        c.sample(now)
        tr.final()
        self.growth = c.growth(baseline_after=min(300, a.minutes * 60 / 3))

    def wait(self, cond, seconds, why):
        end = time.time() + seconds
        while not cond():
            if time.time() > end:
                raise SystemExit("soak: %s; last records: %s" % (why, " | ".join(
                    self.world.gateway.tail(6))))
            self.tick(time.time())
            time.sleep(0.25)

    def start_side(self, name):
        side = self.world.sides[name]
        side.gateway.start()
        self.pair.started(name, side.gateway.started_at)

    def watch_gateways(self, now):
        for name, side in self.world.sides.items():
            g = side.gateway
            rc = g.poll()
            st = self.pair.state[name]
            if rc is None or st.expected_exit or g.proc is None:
                continue
            how = ("killed by signal %d" % -rc) if rc < 0 else ("exit status %d" % rc)
            f = self.checker.current_fault()
            self.checker.violate("gateway ended", "gateway %s %s; last records: %s"
                                 % (name, how, " | ".join(g.tail(6))), key=("ended", name, g.starts),
                                 code="ended-on-sighup" if f and f.kind == "sighup" else
                                 "gateway-ended")
            self.log("restarting gateway %s" % name)
            self.start_side(name)

    def tick(self, now, active=None):
        c, m = self.checker, self.model
        day = m.set_day(now)
        if day != self.day:
            self.log("operational day now %s" % day)
            self.day = day
            c.note_rebuild(now, "new operational day")
        self.pair.poll(now)
        self.watch_gateways(now)
        db_down = active is not None and active.kind in DATABASE_FAULTS
        if not db_down and now >= getattr(self, "next_load", 0):
            try:
                self.load.step()
            except Exception as e:  # a database fault the soak did not cause
                c.violate("the dispatch load could not write", str(e), key=("load", str(e)[:80]),
                          code="load-failed")
            self.next_load = now + self.load.rng.expovariate(1 / 2.5)
        c.check_map(now, active)
        for (due, why) in list(c.flag_due):
            if now >= due and (active is None or active.kind not in DATABASE_FAULTS):
                c.flag_due.remove((due, why))
                c.check_flags("one interval after %s" % why)
        if now >= getattr(self, "next_sample", 0) and active is None:
            self.next_sample = now + 10
            c.sample(now)
        if now >= getattr(self, "next_scheds", 0) and not db_down:
            self.next_scheds = now + 10
            c.check_scheds(now)

    # -- the report -------------------------------------------------------------
    def pair_report(self):
        tr = getattr(self, "pair", None)
        if tr is None:
            return []
        out = ["", "Pair %s: lease %d s, interval %d s; %d takeovers, %d stand-downs; %d received "
               "lines judged against the lease; takeover bound %d s"
               % (PAIR_NAME, self.L, self.I, len(tr.takeovers), len(tr.stand_downs), tr.judged,
                  tr.bound)]
        out.append("")
        out.append("| fault | injected | with a takeover | signal to active, s (min / median / "
                   "max) | signal to first full push, s (min / median / max) |")
        out.append("|---|---|---|---|---|")
        done = list(self.faults.done) + ([self.checker.active] if self.checker.active else [])
        kinds = [k for k in self.faults.all_kinds if k in self.faults.kinds]
        for kind in kinds:
            fs = [f for f in done if f.kind == kind]
            if not fs:
                continue
            with_tk = [f for f in fs if getattr(f, "takeovers", None)]
            if kind not in PAIR_KINDS and not with_tk:
                continue
            act, push = [], []
            for f in with_tk:
                t0 = getattr(f, "restart_at", None) if kind == "pair-both" else None
                t0 = t0 or getattr(f, "signal_at", None) or f.started
                tk = f.takeovers[0]
                act.append(tk.hi - t0)
                if tk.pushed_at is not None:
                    push.append(tk.pushed_at - t0)
            never = len(with_tk) - len(push)
            out.append("| %s | %d | %d | %s | %s%s |" % (
                kind, len(fs), len(with_tk), spread(act), spread(push),
                " (%d never)" % never if never else ""))
        if any(f.kind == "pair-both" for f in done):
            out.append("(pair-both is counted from the first start after the stop)")
        out.append("Roles at the end: %s" % getattr(tr, "final_roles", "-"))
        return out


def spread(xs):
    if not xs:
        return "-"
    return "%.1f / %.1f / %.1f" % (min(xs), median(xs), max(xs))
