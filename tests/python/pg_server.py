"""A throwaway PostgreSQL server from Debian's binaries: its data directory and Unix socket live
in a fresh temporary directory, it listens on no TCP port, and every database it hands out is a
copy of one template. Used by the tests and the benchmarks; the server runs as the `postgres`
user when we are root, since initdb and the server refuse to run as root."""

import atexit
import glob
import os
import pwd
import shutil
import subprocess
import tempfile
from urllib.parse import quote

TEMPLATE = "plintrove_template"
# No disk flushes: a server deleted at the end needs to survive no machine crash, and a
# commit then costs what it costs in the SQLite file in WAL mode with synchronous=NORMAL.
# Commits still wait for their WAL write, so a killed server (restart() stops it the hard
# way) loses no transaction it reported committed.
FAST_SETTINGS = {"fsync": "off", "full_page_writes": "off"}


def _bin_dir():
    for candidate in sorted(glob.glob("/usr/lib/postgresql/*/bin"), reverse=True):
        if os.path.exists(os.path.join(candidate, "pg_ctl")):
            return candidate
    raise RuntimeError("PostgreSQL server binaries not found under /usr/lib/postgresql "
                       "(Debian package postgresql; `make deps` installs it)")


class PostgresServer:
    def __init__(self, settings=FAST_SETTINGS):
        self._bin = _bin_dir()
        self._as_postgres = os.geteuid() == 0
        self.root = tempfile.mkdtemp(prefix="plintrove-pg-")
        self.data = os.path.join(self.root, "data")
        self._counter = 0
        self._admin = None
        atexit.register(self.stop)  # also when the run ends without tearing fixtures down
        if self._as_postgres:
            user = pwd.getpwnam("postgres")
            os.chown(self.root, user.pw_uid, user.pw_gid)
        try:
            self._run("initdb", "-D", self.data, "-A", "trust", "-U", "postgres", "-E", "UTF8",
                      "--locale=C", "--no-sync")
            options = [f"-c listen_addresses='' -k {self.root}"]
            options += [f"-c {k}={v}" for k, v in settings.items()]
            # The log file keeps the server's output off our pipes, which would never close.
            self._start = ("pg_ctl", "-D", self.data, "-l", os.path.join(self.root, "server.log"),
                           "-o", " ".join(options), "-w", "-t", "60", "start")
            self._run(*self._start)
            self._running = True
            self.execute(f"CREATE DATABASE {TEMPLATE}")
        except BaseException:
            self.stop()
            raise

    def _run(self, program, *args):
        command = [os.path.join(self._bin, program), *args]
        if self._as_postgres:
            command = ["runuser", "-u", "postgres", "--", *command]
        # A sanitizer runtime preloaded into the tests is not the server's: with it, the
        # server never starts.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        done = subprocess.run(command, capture_output=True, text=True, cwd=self.root, env=env)
        if done.returncode != 0:
            raise RuntimeError(f"{program} failed ({done.returncode}): {done.stderr.strip()}\n"
                               + self.log_tail())
        return done.stdout

    def log_tail(self, lines=20):
        try:
            with open(os.path.join(self.root, "server.log"), encoding="utf-8") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return ""

    def url(self, dbname):
        return f"postgresql:///{dbname}?host={quote(self.root, safe='')}&user=postgres"

    def connect(self, dbname="postgres"):
        import psycopg2

        conn = psycopg2.connect(self.url(dbname))
        conn.autocommit = True
        return conn

    def execute(self, sql, params=None):
        """Runs one statement on the maintenance database, outside any transaction."""
        if self._admin is None or self._admin.closed:
            self._admin = self.connect()
        with self._admin.cursor() as cursor:
            cursor.execute(sql, params)
            return cursor.fetchall() if cursor.description else None

    def create_database(self, prefix="t"):
        """A new database copied from the template; returns its name."""
        self._counter += 1
        name = f"{prefix}_{os.getpid()}_{self._counter}"
        self.execute(f"CREATE DATABASE {name} TEMPLATE {TEMPLATE}")
        return name

    def drop_database(self, name):
        # FORCE ends sessions the test left behind (a tracker never closed, a killed worker).
        self.execute(f"DROP DATABASE IF EXISTS {name} WITH (FORCE)")

    def restart(self):
        """Stops the server (ending every session at once) and starts it again."""
        self._close_admin()
        self._run("pg_ctl", "-D", self.data, "-m", "immediate", "-w", "stop")
        self._run(*self._start)

    def _close_admin(self):
        if self._admin is not None:
            self._admin.close()
            self._admin = None

    def stop(self):
        self._close_admin()
        if getattr(self, "_running", False):
            self._running = False
            try:
                self._run("pg_ctl", "-D", self.data, "-m", "immediate", "-w", "stop")
            except RuntimeError:
                pass  # the directory goes anyway; a server without it cannot serve
        shutil.rmtree(self.root, ignore_errors=True)
