"""A throwaway PostgreSQL 15 server for the tests and the benchmark."""
import contextlib
import os
import pwd
import shutil
import subprocess
import tempfile

POSTGRES_BIN = "/usr/lib/postgresql/15/bin"
TIMEOUT = 120  # seconds for the server to start or stop


@contextlib.contextmanager
def postgres_server():
    """A throwaway PostgreSQL 15: its own folder, a Unix socket there, run as an unprivileged user when
    the tests run as root; stopped and removed at the end, whatever happens."""
    folder = tempfile.mkdtemp(prefix="karva-pg-")
    as_user = []
    if os.geteuid() == 0:
        nobody = pwd.getpwnam("nobody")
        os.chown(folder, nobody.pw_uid, nobody.pw_gid)
        as_user = ["runuser", "-u", "nobody", "--"]
    data = os.path.join(folder, "data")
    pg_ctl = [*as_user, os.path.join(POSTGRES_BIN, "pg_ctl"), "-D", data]
    try:
        subprocess.run([*as_user, os.path.join(POSTGRES_BIN, "initdb"), "-D", data, "-A", "trust", "-U", "postgres",
                        "-E", "UTF8", "--locale", "C", "--no-sync"], check=True, capture_output=True, timeout=TIMEOUT)
        subprocess.run([*pg_ctl, "-o", "-k %s -c listen_addresses='' -c fsync=off" % folder, "-l",
                        os.path.join(folder, "log"), "-w", "-t", "60", "start"], check=True, capture_output=True,
                       timeout=TIMEOUT)
        yield folder
    finally:
        subprocess.run([*pg_ctl, "-m", "immediate", "-w", "stop"], capture_output=True, timeout=TIMEOUT)
        shutil.rmtree(folder, ignore_errors=True)
