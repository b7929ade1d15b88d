"""The throwaway world: a program folder of its own for volmarad, the job
database, the recording map server, the proxy between them and the gateway's
clock. Every process started here dies with the soak (the kernel is asked to
kill it when the soak goes), and close() takes everything down."""

import ctypes
import json
import os
import signal
import subprocess
import sys
import time

from .clock import GatewayClock
from .db import PgDb, SqliteDb, free_port
from .proxy import Proxy

HERE = os.path.dirname(os.path.abspath(__file__))
PR_SET_PDEATHSIG = 1


def die_with_parent():
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


class Process:
    """One child process, restartable; stderr to a file of its own per start."""

    def __init__(self, name, argv, log_dir, env=None):
        self.name, self.argv, self.log_dir, self.env = name, argv, log_dir, env
        self.proc = None
        self.starts = 0
        self.pids = []

    def start(self):
        self.starts += 1
        self.log = os.path.join(self.log_dir, "%s.%d.log" % (self.name, self.starts))
        out = open(self.log, "wb")
        self.proc = subprocess.Popen(self.argv, stdin=subprocess.DEVNULL, stdout=out,
                                     stderr=subprocess.STDOUT, env=self.env,
                                     preexec_fn=die_with_parent)
        out.close()
        self.pids.append(self.proc.pid)
        self.started_at = time.time()

    @property
    def pid(self):
        return self.proc.pid if self.proc else None

    def poll(self):
        return self.proc.poll() if self.proc else None

    def signal(self, sig):
        if self.proc and self.proc.poll() is None:
            os.kill(self.proc.pid, sig)

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def stop(self, timeout=15):
        if not self.proc or self.proc.poll() is not None:
            return
        self.proc.send_signal(signal.SIGCONT)
        self.proc.terminate()
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()

    def tail(self, lines=15):
        try:
            with open(self.log, "rb") as f:
                f.seek(0, 2)
                f.seek(max(0, f.tell() - 8192))
                text = f.read().decode("utf-8", "replace")
            return text.splitlines()[-lines:]
        except OSError:
            return []


class MapJournal:
    """Reads the map server's journal as it grows: the latest message of each
    line, the line-list answers, the requests and their answers."""

    def __init__(self, path):
        self.path = path
        self.pos = 0
        self.latest = {}  # code -> (time, body)
        self.q_answers = []
        self.requests = []  # (time, code)
        self.messages = 0
        self.logins = 0
        self.bytes_per_line = {}

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
            k = rec["k"]
            if k == "msg":
                self.latest[rec["code"]] = (rec["t"], rec["body"])
                self.bytes_per_line[rec["code"]] = len(rec["body"].encode("cp1255", "replace")) + 40
                self.messages += 1
            elif k == "Q":
                self.q_answers.append(rec["t"])
            elif k == "req":
                self.requests.append((rec["t"], rec["code"]))
            elif k == "login":
                self.logins += 1
        return new

    def push_size(self):
        """Bytes of one push of every line, as last seen."""
        return sum(self.bytes_per_line.values())


class World:
    def __init__(self, folder, bindir, db_kind, interval, seed, initial_offset, log):
        self.folder = folder
        self.bindir = bindir
        self.interval = interval
        self.log = log
        self.home = os.path.join(folder, "home")
        os.makedirs(self.home, exist_ok=True)
        self.tmpfs = self._mount_tmpfs()
        self.clock = GatewayClock(os.path.join(folder, "faketime.rc"), initial_offset)
        if db_kind == "pg":
            self.db = PgDb(os.path.join(folder, "pg"))
        else:
            self.db = SqliteDb(os.path.join(folder, "db"), bindir)
        self.map_port = free_port()
        self.journal = MapJournal(os.path.join(folder, "map.journal"))
        vehicles = "dedod/1234567,dedod/7654321,other/1111111"
        self.mapserver = Process(
            "mapserver",
            [sys.executable, os.path.join(HERE, "mapserver.py"), "--port", str(self.map_port),
             "--journal", self.journal.path, "--vehicles", vehicles, "--request-every", "7",
             "--seed", str(seed)],
            folder)
        self.proxy = Proxy(self.map_port)
        self._write_settings()
        env = dict(os.environ, TZ="UTC", QT_QPA_PLATFORM="offscreen", LC_ALL="C.UTF-8")
        env.update(self.clock.environment())
        self.gateway = Process("volmarad", [os.path.join(bindir, "volmarad"), "--home", self.home,
                                            "Server"], folder, env)
        self.filler = os.path.join(self.home, "filler.bin")

    def _mount_tmpfs(self):
        """The program folder on a small tmpfs of its own (root, inside the
        soak's private mount namespace), so that a fault can fill it."""
        if os.geteuid() != 0 or os.environ.get("VOLMARA_SOAK_NS") != "1":
            self.no_tmpfs_reason = ("not run as root" if os.geteuid() != 0
                                    else "no private mount namespace")
            return False
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16m,mode=0755", "soak-home",
                            self.home], stderr=subprocess.PIPE)
        if r.returncode != 0:
            self.no_tmpfs_reason = "mount failed: " + r.stderr.decode().strip()
            return False
        return True

    def _write_settings(self):
        text = ("[ORVIKMap]\r\nMapIP=127.0.0.1\r\nPort=%d\r\nGMT=2\r\n"
                "[Database]\r\nSQLServer=%s\r\nConnection TimeOut=10\r\n"
                "[Misc]\r\nDBInterval=%d\r\n" % (self.proxy.port, self.db.source(), self.interval))
        with open(os.path.join(self.home, "Volmara.INI"), "wb") as f:
            f.write(text.encode("cp1255"))

    # -- the gateway's program folder ---------------------------------------
    def debug_sizes(self):
        out = {}
        for name in ("Debug.TXT", "Debug.1.TXT"):
            try:
                out[name] = os.path.getsize(os.path.join(self.home, name))
            except OSError:
                out[name] = 0
        out["ERR"] = len([n for n in os.listdir(self.home) if n.upper().endswith(".ERR")])
        return out

    def fill_home(self):
        """Fills the program folder's file system to the last byte."""
        chunk = b"\0" * (1 << 20)
        with open(self.filler, "wb", buffering=0) as f:
            while chunk:
                try:
                    f.write(chunk)
                except OSError:
                    chunk = chunk[: len(chunk) // 2] if len(chunk) > 1 else b""
        st = os.statvfs(self.home)
        return st.f_bavail * st.f_frsize

    def free_home(self):
        try:
            os.remove(self.filler)
        except FileNotFoundError:
            pass

    def process_sample(self):
        pid = self.gateway.pid
        if pid is None or self.gateway.poll() is not None:
            return None
        try:
            status = open("/proc/%d/status" % pid).read()
            rss = int(status.split("VmRSS:")[1].split()[0])
            threads = int(status.split("Threads:")[1].split()[0])
            fds = len(os.listdir("/proc/%d/fd" % pid))
        except (OSError, IndexError, ValueError):
            return None
        return {"pid": pid, "rss_kb": rss, "threads": threads, "fds": fds}

    def close(self, keep_home_copy):
        self.gateway.stop()
        self.mapserver.kill()
        self.proxy.close()
        self.free_home()
        self.db.close(self.gateway.pids)
        if self.tmpfs:
            if keep_home_copy:
                subprocess.run(["cp", "-a", self.home, self.home + ".saved"])
            subprocess.run(["umount", "-l", self.home])
