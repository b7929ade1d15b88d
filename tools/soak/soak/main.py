"""scripts/soak [--minutes N] [--db sqlite|pg] [--seed S] [--pair]: starts a
throwaway world, runs ordinary dispatch work and injected faults for N
minutes, checks the gateway against the model and prints a report. Exit
status 1 on any violation, with the first violation's details and the world's
folder kept. With --pair the world holds two gateways of a standby pair on the
same databases, and the pair's faults and checks are added."""

import argparse
import datetime as dt
import os
import random
import shutil
import signal
import socket
import sys
import tempfile
import time

from .checks import Checker
from .faults import DATABASE_FAULTS, Faults
from .load import Load
from .model import Model
from .report import report
from .world import World

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))


def parse(argv):
    p = argparse.ArgumentParser(prog="scripts/soak", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--minutes", type=float, default=20.0, help="length of the fault phase (default 20)")
    p.add_argument("--db", choices=["sqlite", "pg"], default="sqlite", help="the job database")
    p.add_argument("--seed", default=None, help="draws the load and the faults (default: random)")
    p.add_argument("--interval", type=int, default=2, help="the gateway's DBInterval, seconds (default 2)")
    p.add_argument("--build", default=os.environ.get("VOLMARA_BUILD_DIR", os.path.join(REPO, "build")),
                   help="build folder holding bin/volmarad and bin/volmara-dbinit")
    p.add_argument("--where", default=tempfile.gettempdir(), help="parent of the world's folder")
    p.add_argument("--keep", action="store_true", help="keep the world's folder also after a clean run")
    p.add_argument("--line-list-rebuilds", choices=["yes", "no"], default="yes",
                   help="model the day rebuilt at the first cycle after each line-list answer "
                        "(the documented behaviour; default yes)")
    p.add_argument("--known", action="append", default=[], metavar="CODE",
                   help="a violation code reported as a known gateway fault, not failing the run "
                        "(for a CI that waits for a mend); may be repeated")
    p.add_argument("--pair", action="store_true",
                   help="two gateways of a standby pair, with the pair's faults and checks")
    p.add_argument("--lease", type=int, choices=[5, 6], default=None,
                   help="with --pair: [Pair] LeaseSeconds (default: 5 or 6, drawn from the seed)")
    return p.parse_args(argv)


def in_private_namespace(argv):
    """As root, the soak runs in a mount namespace of its own: the program
    folder's small tmpfs goes with the last process, whatever happens."""
    if os.geteuid() != 0 or os.environ.get("VOLMARA_SOAK_NS") or not shutil.which("unshare"):
        return
    env = dict(os.environ, VOLMARA_SOAK_NS="1")
    script = os.path.join(REPO, "scripts", "soak")
    probe = os.system("unshare --mount --propagation private true >/dev/null 2>&1")
    if probe != 0:
        os.environ["VOLMARA_SOAK_NS"] = "0"
        return
    os.execvpe("unshare", ["unshare", "--mount", "--propagation", "private", sys.executable,
                           script] + argv, env)


def wait_port(port, seconds=10):
    end = time.time() + seconds
    while time.time() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.1)
    return False


def initial_offset():
    """Puts the gateway's clock at least two hours away from 04:00."""
    now = dt.datetime.utcnow()
    tod = now.hour * 3600 + now.minute * 60 + now.second
    if 2 * 3600 <= tod < 6 * 3600:
        return 8 * 3600 - tod
    return 0


class Soak:
    def __init__(self, args):
        self.args = args
        self.seed = args.seed if args.seed is not None else str(random.randrange(1, 10 ** 6))
        self.I = args.interval
        # How far behind the database the map may be: a cycle reads, then pushes.
        self.lag = 2 * self.I + 2
        self.folder = tempfile.mkdtemp(prefix="volmara-soak-%s-" % args.db, dir=args.where)
        os.chmod(self.folder, 0o755)  # the database server's user goes through it
        self.logfile = open(os.path.join(self.folder, "soak.log"), "a")
        self.t0 = time.time()

    def log(self, text):
        line = "%7.1f  %s" % (time.time() - self.t0, text)
        print(line, flush=True)
        self.logfile.write(line + "\n")
        self.logfile.flush()

    def run(self):
        a = self.args
        bindir = os.path.join(a.build, "bin")
        for tool in ("volmarad", "volmara-dbinit"):
            if not os.access(os.path.join(bindir, tool), os.X_OK):
                raise SystemExit("soak: %s/%s not built (cmake --build %s --target volmarad "
                                 "volmara-dbinit)" % (bindir, tool, a.build))
        self.log("seed %s, database %s, %g minutes, interval %d s, folder %s"
                 % (self.seed, a.db, a.minutes, self.I, self.folder))
        self.world = w = World(self.folder, bindir, a.db, self.I, self.seed, initial_offset(), self.log)
        self.model = m = Model(w.clock)
        self.day = m.set_day(time.time())
        self.load = load = Load(w, m, self.seed)
        load.seed_day()
        self.log("day %s: %d lines, %d job rows; gateway clock %s"
                 % (self.day, len(load.codes), len(m.rows), w.clock.gateway_time()))
        scale = min(1.0, a.minutes / 20.0)
        self.faults = faults = Faults(w, m, self.seed, a.db, scale, self.log)
        for k, why in faults.skipped.items():
            self.log("fault %s skipped: %s" % (k, why))
        self.checker = c = Checker(w, m, faults, self.I, self.lag, self.log,
                                   rebuild_on_line_list=(a.line_list_rebuilds == "yes"),
                                   expected=a.known)
        c.active = None
        w.mapserver.start()
        if not wait_port(w.map_port):
            raise SystemExit("soak: the map server did not start")
        # Nothing the gateway did not yet run for can be asked of it.
        c.outage(self.t0 - 1, time.time())
        self.start_gateway()

        # Warm-up: the map must become right before the first fault.
        self.warm_up(c)

        end = time.time() + a.minutes * 60
        next_fault = time.time() + 3
        rng = random.Random("%s-gaps" % self.seed)
        active = None
        while True:
            now = time.time()
            if active is None and now >= end:
                break
            if active is None and now >= next_fault and now < end - 5:
                active = faults.next()
                c.active = active
                faults.start(active)
                if active.kind == "gateway-kill":
                    c.outage(now, now + active.duration)
            elif active is not None and faults.due(active, now):
                faults.heal(active)
                healed = active.healed
                if active.kind == "gateway-kill":
                    self.started_gateway_at(healed)
                c.flag_due.append((healed + self.I + 1, active.kind))
                c.active = active = None
                next_fault = now + 2 * self.I + self.lag + rng.uniform(5, 30) * max(scale, 0.3)
            self.tick(now, active)
            time.sleep(0.25)

        # Settle, then the final checks.
        settle = time.time() + 2 * self.I + self.lag + 3
        while time.time() < settle:
            self.tick(time.time())
            time.sleep(0.25)
        now = time.time()
        problems = c.map_problems(now)
        if problems:
            c.violate_map("map not correct at the end", problems, lambda code, x: ("map", x))
        c.check_scheds(now, final=True)
        c.check_flags("at the end")
        c.sample(now)
        self.growth = c.growth(baseline_after=min(300, a.minutes * 60 / 3))

    # -- the gateway ----------------------------------------------------------
    def warm_up(self, c):
        """Runs until the map has become right (before the first fault), at
        least 20 s and at most until it is clearly never going to."""
        warm_end = time.time() + max(20, 60 * min(1.0, self.args.minutes / 10.0))
        became_ok = None
        while time.time() < warm_end or became_ok is None:
            now = time.time()
            self.tick(now)
            if became_ok is None and not c.map_problems(now) and c.certain:
                became_ok = now
                self.log("map correct %.1f s after the start" % (now - self.started))
            if became_ok is None and now > self.started + 120:
                c.violate_map("map never correct after the start", c.map_problems(now),
                              lambda code, x: ("map", x))
                break
            time.sleep(0.25)

    def start_gateway(self):
        self.world.gateway.start()
        self.started_gateway_at(time.time())

    def started_gateway_at(self, t):
        # A new process starts with an empty day, which it builds anew.
        self.started = t
        self.checker.note_rebuild(t, "gateway started")
        self.checker.outage(t, t + 2 * self.I + 1)

    def watch_gateway(self, now, active):
        g = self.world.gateway
        rc = g.poll()
        if rc is None:
            return
        if active is not None and active.kind == "gateway-kill":
            return
        how = ("killed by signal %d" % -rc) if rc < 0 else ("exit status %d" % rc)
        f = self.checker.current_fault()  # (a fault may have begun since `now`)
        self.checker.violate("gateway ended", "%s; last records: %s"
                             % (how, " | ".join(g.tail(6))), key=("ended", g.starts),
                             code="ended-on-sighup" if f and f.kind == "sighup" else "gateway-ended")
        self.log("restarting the gateway")
        self.checker.outage(now - 1, now + 1)
        self.start_gateway()

    # -- one tick -----------------------------------------------------------
    def tick(self, now, active=None):
        c, m = self.checker, self.model
        day = m.set_day(now)
        if day != self.day:
            self.log("operational day now %s" % day)
            self.day = day
            c.note_rebuild(now, "new operational day")
        self.watch_gateway(now, active)
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
                c.check_flags("one interval after %s healed" % why)
        if now >= getattr(self, "next_sample", 0) and active is None:
            self.next_sample = now + 10
            c.sample(now)
        if now >= getattr(self, "next_scheds", 0) and not db_down:
            self.next_scheds = now + 10
            c.check_scheds(now)


def pg_unavailable():
    import pwd
    from .db import PgDb
    if not PgDb.find_bin():
        return "PostgreSQL server programs not found (install postgresql: scripts/deps)"
    if os.geteuid() == 0:
        try:
            pwd.getpwnam("postgres")
        except KeyError:
            return "running as root without a \"postgres\" user to run the server as"
    return None


def main(argv):
    args = parse(argv)
    if args.db == "pg" and pg_unavailable():
        print("soak on PostgreSQL skipped: %s" % pg_unavailable())
        return 0
    in_private_namespace(argv)
    if args.pair:
        from .pair import PairSoak
        soak = PairSoak(args)
    else:
        soak = Soak(args)

    def stop(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGHUP, stop)
    interrupted = False
    failure = None
    try:
        soak.run()
    except KeyboardInterrupt:
        interrupted = True
        soak.log("interrupted")
    except SystemExit:
        raise
    except Exception as e:
        import traceback
        failure = traceback.format_exc()
        soak.log("soak failed: %s" % e)
    finally:
        violations = getattr(soak, "checker", None) and [
            v for v in soak.checker.violations if not v.expected]
        keep = bool(violations) or args.keep or interrupted or failure is not None
        world = getattr(soak, "world", None)
        if world is not None:
            world.close(keep_home_copy=keep)
    text = report(soak, interrupted, failure)
    print(text)
    with open(os.path.join(soak.folder, "report.txt"), "w") as f:
        f.write(text + "\n")
    if keep:
        print("World kept for inspection: %s" % soak.folder)
        return 1 if (violations or failure) else (130 if interrupted else 0)
    shutil.rmtree(soak.folder, ignore_errors=True)
    return 0
