"""A private PostgreSQL server for the scripts (the demo, the bench): initdb into a scratch folder,
listening on a unix socket there only, as the user zeltest when run as root (which scripts/setup makes,
since PostgreSQL refuses root). A context manager: started on entry, stopped and removed on exit,
whatever happened between. The C++ tests have test_support/pg_server.h."""
import glob
import os
import pwd
import shutil
import subprocess


class pg_scratch:
    """PostgreSQL in a scratch folder: started on entry, stopped and removed on exit."""

    def __init__(self, folder):
        self.folder = os.path.abspath(folder)
        versions = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"))
        if not versions:
            raise SystemExit("no PostgreSQL server programs under /usr/lib/postgresql (scripts/setup installs them)")
        self.bin = os.path.dirname(versions[-1])
        self.data = os.path.join(self.folder, "data")

    def as_server_user(self, args):
        return ["/usr/sbin/runuser", "-u", "zeltest", "--"] + args if os.geteuid() == 0 else args

    def __enter__(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        if os.geteuid() == 0:
            user = pwd.getpwnam("zeltest")
            os.chown(self.folder, user.pw_uid, user.pw_gid)
        try:
            subprocess.run(self.as_server_user([os.path.join(self.bin, "initdb"), "-D", self.data, "-U", "zel_owner",
                                                "-A", "trust", "-E", "UTF8", "--locale=C", "--no-sync"]),
                           check=True, stdout=subprocess.DEVNULL)
            with open(os.path.join(self.data, "postgresql.conf"), "a") as conf:
                conf.write(f"listen_addresses = ''\nunix_socket_directories = '{self.folder}'\nport = 5432\n")
            subprocess.run(self.as_server_user([os.path.join(self.bin, "pg_ctl"), "-D", self.data, "-l",
                                                os.path.join(self.folder, "server.log"), "-w", "start"]),
                           check=True, stdout=subprocess.DEVNULL)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *_):
        if os.path.exists(os.path.join(self.data, "postmaster.pid")):
            subprocess.run(self.as_server_user([os.path.join(self.bin, "pg_ctl"), "-D", self.data, "-m", "fast",
                                                "-w", "stop"]), stdout=subprocess.DEVNULL)
        shutil.rmtree(self.folder, ignore_errors=True)

    def conninfo(self, database):
        return f"host={self.folder} port=5432 user=zel_owner dbname={database}"

    def psql(self, sql):
        subprocess.run([os.path.join(self.bin, "psql"), "-X", "-q", "-v", "ON_ERROR_STOP=1", "-d",
                        self.conninfo("postgres"), "-c", sql], check=True)
