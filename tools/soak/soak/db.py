"""The two kinds of job database the soak can run the gateway on: the
embedded files (sqlite3) and a throwaway PostgreSQL cluster reached by the
gateway through psqlODBC (and by the soak through psql). Both offer the same
few operations: the dispatch systems' writes, the route rules, the reads the
checks need, and the faults that belong to the database."""

import os
import pwd
import socket
import sqlite3
import subprocess
import time

from . import rules as R

JOB_COLUMNS = ("EntryDT, CarNo, CarNum, RecID, DriverCode, DriverName, RouteStart, RouteEnd, "
               "RouteCode, RecordUpdater, OrderDate, UsedFlag")
SCHEDS_COLUMNS = ("IntrMedRecordID, Makat, DriverName, DriverNumber, StartTime, EndTime, Source, "
                  "Destination, TruckNumber, TruckID, ORVIKID")


def quote(value):
    if value is None:
        return "NULL"
    if isinstance(value, int):
        return str(value)
    return "'" + str(value).replace("'", "''") + "'"


def norm(value):
    """A stored value as text, whatever the backend gave."""
    if value is None:
        return ""
    s = str(value)
    # yyyymmdd hh:nn:ss, the text form of the documented statement.
    if len(s) == 17 and s[8] == " " and s[:8].isdigit():
        s = "%s-%s-%s %s" % (s[:4], s[4:6], s[6:8], s[9:])
    if len(s) >= 19 and s[4] == "-" and s[10] in " T":
        s = s[:10] + " " + s[11:19]
    return s


def job_values(v, entry_time):
    return (R.storage_time(entry_time), v.carno, v.carnum, v.recid, v.drivercode, v.drivername,
            R.storage_time(v.start), R.storage_time(v.end), v.routecode, v.updater,
            R.storage_time(entry_time), 0)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class SqliteDb:
    kind = "sqlite"

    def __init__(self, folder, bindir):
        self.folder = folder
        subprocess.run([os.path.join(bindir, "volmara-dbinit"), folder], check=True,
                       stdout=subprocess.DEVNULL)
        self.jobs = os.path.join(folder, "ORVIK_Jobs.sqlite")
        self.orvikdb = os.path.join(folder, "ORVIKDB.sqlite")
        self.rtedb = os.path.join(folder, "RteDB.sqlite")
        # A site's Scheds need not refuse a repeated row: without the key a
        # second copy would show.
        self._run(self.orvikdb, ["DROP INDEX IF EXISTS SchedsDistinct"])

    def source(self):
        return "sqlite:" + self.folder

    def _connect(self, path):
        return sqlite3.connect(path, timeout=60, isolation_level=None)

    def _run(self, path, statements, query=None):
        c = self._connect(path)
        try:
            for s in statements:
                c.execute(s)
            return c.execute(query).fetchall() if query else None
        finally:
            c.close()

    def insert(self, v, entry_time):
        c = self._connect(self.jobs)
        try:
            cur = c.execute("INSERT INTO Jobs (%s) VALUES (?,?,?,?,?,?,?,?,?,?,?,?)" % JOB_COLUMNS,
                            job_values(v, entry_time))
            return cur.lastrowid
        finally:
            c.close()

    def insert_many(self, versions, entry_time):
        return [self.insert(v, entry_time) for v in versions]

    def correct(self, v):
        self._run(self.jobs, ["UPDATE Jobs SET DriverName = %s, DriverCode = %d, RouteEnd = %s, "
                              "RecordUpdater = %s, UsedFlag = 0 WHERE PKID = %d"
                              % (quote(v.drivername), v.drivercode, quote(R.storage_time(v.end)),
                                 quote(v.updater), v.pkid)])

    def delete(self, pkids):
        self._run(self.jobs, ["DELETE FROM Jobs WHERE PKID IN (%s)" % ",".join(map(str, pkids))])

    def set_rules(self, makat, rule_list):
        stmts = ["BEGIN", "DELETE FROM RouteTimes WHERE RouteName = %s" % quote(makat)]
        for r in rule_list:
            stmts.append("INSERT INTO RouteTimes (RouteName, fromDate, toDate, dayofWeek, fromTime, "
                         "toTime, arrivalStr, stayStr) VALUES (%s, NULL, NULL, '', %s, %s, %s, %s)"
                         % (quote(makat), quote(r.from_time.strftime("%H:%M:%S")),
                            quote(r.to_time.strftime("%H:%M:%S")), quote(r.arrival), quote(r.stay)))
        stmts.append("COMMIT")
        self._run(self.rtedb, stmts)

    def scheds(self):
        rows = self._run(self.orvikdb, [], "SELECT %s FROM Scheds" % SCHEDS_COLUMNS)
        return [tuple(norm(x) for x in r) for r in rows]

    def flagged(self):
        return [r[0] for r in self._run(self.jobs, [], "SELECT PKID FROM Jobs WHERE UsedFlag = 2")]

    # -- faults ----------------------------------------------------------
    def lock(self, seconds):
        """Holds both files' write locks for `seconds` (returns when done)."""
        conns = []
        try:
            for path in (self.jobs, self.orvikdb):
                c = self._connect(path)
                conns.append(c)
                c.execute("BEGIN EXCLUSIVE")
            time.sleep(seconds)
        finally:
            for c in conns:
                try:
                    c.execute("ROLLBACK")
                except sqlite3.Error:
                    pass
                c.close()

    def replace_files(self, aside_folder):
        """A restore by rename, as a careful operator does one of a WAL
        database: a copy made while writers wait, moved into place, and the
        old log files moved away with the old file."""
        os.makedirs(aside_folder, exist_ok=True)
        stamp = str(int(time.time() * 1000))
        for path in (self.jobs, self.orvikdb):
            src = self._connect(path)
            reader = self._connect(path)
            try:
                src.execute("BEGIN IMMEDIATE")
                tmp = path + ".restore"
                if os.path.exists(tmp):
                    os.remove(tmp)
                dst = sqlite3.connect(tmp)
                # Copied by a second connection: the first holds the writers.
                reader.backup(dst)
                dst.close()
                reader.close()
                os.rename(tmp, path)
                base = os.path.join(aside_folder, os.path.basename(path) + "." + stamp)
                for ext in ("-wal", "-shm"):
                    if os.path.exists(path + ext):
                        os.rename(path + ext, base + ext)
                src.execute("ROLLBACK")
            finally:
                reader.close()
                src.close()

    def close(self, client_pids=()):
        pass


class PgDb:
    kind = "pg"
    USER = "volmara"
    DATABASE = "volmara"

    def __init__(self, folder, bindir=None):
        self.bin = self.find_bin()
        if not self.bin:
            raise RuntimeError("PostgreSQL server programs not found: install the Debian package "
                               "postgresql (scripts/deps)")
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self.as_root = os.geteuid() == 0
        if self.as_root:
            pw = pwd.getpwnam("postgres")
            os.chown(folder, pw.pw_uid, pw.pw_gid)
        self.data = os.path.join(folder, "data")
        self.port = free_port()
        self.lock_proc = None
        self._watchdog()
        self._server("initdb", ["-D", self.data, "-U", self.USER, "--auth=trust", "-E", "UTF8",
                                "--locale=C", "--no-sync"])
        self.start()
        self.psql("CREATE DATABASE %s" % self.DATABASE, database="postgres")
        self.psql(
            "CREATE TABLE Jobs (PKID serial PRIMARY KEY, EntryDT timestamp, CarNo integer, "
            "CarNum varchar(20), RecID integer, DriverCode integer, DriverName varchar(50), "
            "RouteStart timestamp, RouteEnd timestamp, RouteCode integer, "
            "RecordUpdater varchar(50), OrderDate timestamp, UsedFlag integer NOT NULL DEFAULT 0);"
            "CREATE INDEX JobsCarRec ON Jobs (CarNum, RecID, PKID);"
            "CREATE TABLE AppStatus (Type varchar(10) PRIMARY KEY, Status varchar(4000));"
            "INSERT INTO AppStatus VALUES ('APSTT', ''), ('CRLST', '');"
            "CREATE TABLE ShibFlag (Flag integer); INSERT INTO ShibFlag VALUES (0);"
            # No key: a repeated row would be stored and seen.
            "CREATE TABLE Scheds (IntrMedRecordID integer, Makat varchar(20), "
            "DriverName varchar(50), DriverNumber integer, StartTime timestamp, "
            "EndTime timestamp, Source varchar(50), Destination varchar(50), "
            "TruckNumber varchar(20), TruckID integer, ORVIKID varchar(20));"
            "CREATE SCHEMA RteDB;"
            "CREATE TABLE RteDB.RouteTimes (RouteName varchar(20), fromDate timestamp, "
            "toDate timestamp, dayofWeek varchar(10), fromTime timestamp, toTime timestamp, "
            "arrivalStr varchar(4000), stayStr varchar(4000));")

    @staticmethod
    def find_bin():
        env = os.environ.get("VOLMARA_PG_BIN")
        if env:
            return env
        base = "/usr/lib/postgresql"
        if os.path.isdir(base):
            versions = sorted((v for v in os.listdir(base) if v.isdigit()), key=int)
            for v in reversed(versions):
                b = os.path.join(base, v, "bin")
                if os.path.exists(os.path.join(b, "pg_ctl")):
                    return b
        return None

    def source(self):
        return ("DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;PORT=%d;DATABASE=%s;UID=%s;PWD=x;"
                "CommLog=0" % (self.port, self.DATABASE, self.USER))

    def _server(self, program, args, check=True):
        cmd = [os.path.join(self.bin, program)] + args
        if self.as_root:
            cmd = ["runuser", "-u", "postgres", "--"] + cmd
        r = subprocess.run(cmd, cwd=self.folder, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if check and r.returncode != 0:
            raise RuntimeError("%s failed: %s" % (program, r.stdout.decode("utf-8", "replace").strip()))
        return r

    def _watchdog(self):
        # Should the soak die without its clean-up, the cluster goes with it.
        user = "runuser -u postgres -- " if self.as_root else ""
        script = ("while [ -d /proc/%d ]; do sleep 1; done; %s'%s/pg_ctl' -D '%s' -m immediate "
                  "stop >/dev/null 2>&1" % (os.getpid(), user, self.bin, self.data))
        subprocess.Popen(["/bin/sh", "-c", script], stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                         start_new_session=True)

    def start(self):
        opts = "-p %d -c listen_addresses=127.0.0.1 -k %s -c fsync=off" % (self.port, self.folder)
        self._server("pg_ctl", ["-D", self.data, "start", "-w", "-t", "60", "-l",
                                os.path.join(self.folder, "server.log"), "-o", opts])

    def stop(self):
        self._server("pg_ctl", ["-D", self.data, "stop", "-w", "-m", "fast"], check=False)

    def restart(self):
        self.stop()
        self.start()

    def psql(self, sql, database=None, timeout=120):
        env = dict(os.environ, PGCLIENTENCODING="UTF8", PGCONNECT_TIMEOUT="10")
        p = subprocess.run(
            [os.path.join(self.bin, "psql"), "-X", "-q", "-A", "-t", "-F", "\x1f", "-v",
             "ON_ERROR_STOP=1", "-h", "127.0.0.1", "-p", str(self.port), "-U", self.USER, "-d",
             database or self.DATABASE],
            input=sql.encode("utf-8"), stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
            timeout=timeout)
        if p.returncode != 0:
            raise RuntimeError("psql: " + p.stderr.decode("utf-8", "replace").strip())
        return [line.split("\x1f") for line in p.stdout.decode("utf-8").splitlines() if line]

    def insert(self, v, entry_time):
        values = ",".join(quote(x) for x in job_values(v, entry_time))
        out = self.psql("INSERT INTO Jobs (%s) VALUES (%s) RETURNING PKID" % (JOB_COLUMNS, values))
        return int(out[0][0])

    def insert_many(self, versions, entry_time):
        sql = "\n".join("INSERT INTO Jobs (%s) VALUES (%s) RETURNING PKID;"
                        % (JOB_COLUMNS, ",".join(quote(x) for x in job_values(v, entry_time)))
                        for v in versions)
        return [int(r[0]) for r in self.psql(sql)]

    def correct(self, v):
        self.psql("UPDATE Jobs SET DriverName = %s, DriverCode = %d, RouteEnd = %s, "
                  "RecordUpdater = %s, UsedFlag = 0 WHERE PKID = %d"
                  % (quote(v.drivername), v.drivercode, quote(R.storage_time(v.end)),
                     quote(v.updater), v.pkid))

    def delete(self, pkids):
        self.psql("DELETE FROM Jobs WHERE PKID IN (%s)" % ",".join(map(str, pkids)))

    def set_rules(self, makat, rule_list):
        sql = ["BEGIN;", "DELETE FROM RteDB.RouteTimes WHERE RouteName = %s;" % quote(makat)]
        for r in rule_list:
            sql.append("INSERT INTO RteDB.RouteTimes (RouteName, fromDate, toDate, dayofWeek, "
                       "fromTime, toTime, arrivalStr, stayStr) VALUES (%s, NULL, NULL, '', %s, "
                       "%s, %s, %s);"
                       % (quote(makat), quote("2000-01-01 " + r.from_time.strftime("%H:%M:%S")),
                          quote("2000-01-01 " + r.to_time.strftime("%H:%M:%S")),
                          quote(r.arrival), quote(r.stay)))
        sql.append("COMMIT;")
        self.psql("\n".join(sql))

    def scheds(self):
        rows = self.psql(
            "SELECT IntrMedRecordID, Makat, DriverName, DriverNumber, "
            "to_char(StartTime, 'YYYY-MM-DD HH24:MI:SS'), to_char(EndTime, 'YYYY-MM-DD HH24:MI:SS'), "
            "Source, Destination, TruckNumber, TruckID, ORVIKID FROM Scheds")
        return [tuple(norm(x) for x in r) for r in rows]

    def flagged(self):
        return [int(r[0]) for r in self.psql("SELECT PKID FROM Jobs WHERE UsedFlag = 2")]

    # -- faults ----------------------------------------------------------
    def lock(self, seconds):
        self.psql("BEGIN; LOCK TABLE Jobs, Scheds IN ACCESS EXCLUSIVE MODE; SELECT pg_sleep(%d); "
                  "COMMIT;" % seconds, timeout=seconds + 60)

    def close(self, client_pids=()):
        if os.path.exists(os.path.join(self.data, "postmaster.pid")):
            self._server("pg_ctl", ["-D", self.data, "stop", "-w", "-m", "immediate"], check=False)
        # Debian's psqlODBC writes a communication log per client process.
        for name in os.listdir("/tmp"):
            if name.startswith("psqlodbc_") and any(name.endswith("%d.log" % p) for p in client_pids):
                try:
                    os.remove(os.path.join("/tmp", name))
                except OSError:
                    pass
