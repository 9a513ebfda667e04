"""The world zel.exe runs in for the end-to-end tests and the demo: an X
display, a private wine prefix whose only COM ports are the simulator's ptys,
the simulators themselves, zel.exe with its console captured, and zelctl to
work its dialog. Everything started here is stopped again by World.close().
"""
import fcntl
import json
import os
import re
import select
import shutil
import signal
import subprocess
import threading
import time

WINE_ENV = {
    "WINEDEBUG": "-all",
    # No Mono or Gecko installer dialogs in a fresh prefix.
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
}

PORTS_PROBED = range(1, 32)  # zel looks at com1 to com31


class Trouble(Exception):
    """The world could not be set up or a step did not finish in time."""


def parse_tool_arguments(ap, paths=("zel", "zelctl", "zelsim", "image", "work")):
    """Adds the options naming the programs, the image and the work folder,
    parses, and makes every such path absolute: wine wants absolute paths."""
    for key in paths:
        if not any(a.dest == key for a in ap._actions):
            ap.add_argument("--" + key, required=True)
    args = ap.parse_args()
    for key in paths:
        setattr(args, key, os.path.abspath(getattr(args, key)))
    return args


def unescape(text):
    """Undoes zelctl's escaping of a bracketed text."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n == "x":
                out.append(chr(int(text[i + 2:i + 4], 16)))
                i += 4
                continue
            out.append({"n": "\n", "r": "\r", "t": "\t", "\\": "\\"}.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


def bracketed(line, prefix):
    """The text of a line 'prefix [text]' from zelctl, or None."""
    if not line.startswith(prefix + " [") or not line.endswith("]"):
        return None
    return unescape(line[len(prefix) + 2:-1])


def make_template(work, log):
    """A wine prefix made once (wineboot takes several seconds) and copied
    for each run; a lock keeps concurrent runs from making it twice."""
    os.makedirs(work, exist_ok=True)
    template = os.path.join(work, "template-prefix")
    ready = os.path.join(template, ".zel-ready")
    with open(os.path.join(work, "template.lock"), "w") as lock:
        # Another run making the template holds the lock for its boot (at
        # most 180 + 60 s); past that it is stuck, and so would this run be.
        deadline = time.monotonic() + 300
        while True:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise Trouble("the template prefix in %s is held by another run for too long" % work)
                time.sleep(0.5)
        if os.path.exists(ready):
            return template
        shutil.rmtree(template, ignore_errors=True)
        log("making the template wine prefix " + template)
        env = dict(os.environ, WINEPREFIX=template, **WINE_ENV)
        with open(os.path.join(work, "template-boot.log"), "w") as out:
            try:
                subprocess.run(["wineboot", "-i"], env=env, stdin=subprocess.DEVNULL, stdout=out,
                               stderr=out, timeout=180, check=True)
                # Let the server end by itself, so that it writes the registry out.
                subprocess.run(["wineserver", "-w"], env=env, stdin=subprocess.DEVNULL, stdout=out,
                               stderr=out, timeout=60)
            except (subprocess.SubprocessError, OSError) as e:
                subprocess.run(["wineserver", "-k"], env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
                raise Trouble("wineboot failed: %s (see template-boot.log)" % e)
        open(ready, "w").close()
        return template


def copy_prefix(template, prefix):
    """Hard links for the prefix's files, which wine only reads, and real
    copies of the registry files, which the wine server rewrites."""
    shutil.rmtree(prefix, ignore_errors=True)
    subprocess.run(["cp", "-al", template, prefix], check=True, timeout=120)
    for name in os.listdir(prefix):
        if name.endswith(".reg"):
            path = os.path.join(prefix, name)
            shutil.copy2(path, path + ".copy")
            os.replace(path + ".copy", path)


class Process:
    """A child process whose output goes to a file or is collected by a
    thread (zel.exe's console)."""

    def __init__(self, name, argv, env, log_path, capture=False, start_new_session=True):
        self.name = name
        self.log_path = log_path
        self.output = bytearray()
        self.lock = threading.Lock()
        self.log_file = open(log_path, "wb")
        self.echo = None
        self.popen = subprocess.Popen(
            argv, env=env, stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE if capture else self.log_file,
            stderr=self.log_file, start_new_session=start_new_session)
        self.reader = None
        if capture:
            self.reader = threading.Thread(target=self._read, daemon=True)
            self.reader.start()

    def _read(self):
        fd = self.popen.stdout.fileno()
        while True:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            with self.lock:
                self.output += chunk
            if self.echo:
                self.echo(chunk)

    def text(self):
        with self.lock:
            return self.output.decode("latin-1")

    def alive(self):
        return self.popen.poll() is None

    def wait(self, seconds):
        try:
            return self.popen.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, sig=signal.SIGTERM, grace=5):
        if self.popen.poll() is None:
            try:
                self.popen.send_signal(sig)
            except ProcessLookupError:
                pass
            if self.wait(grace) is None:
                self.popen.kill()
                self.wait(grace)
        if self.reader:
            self.reader.join(2)
        if self.popen.stdout:
            self.popen.stdout.close()
        self.log_file.close()


class Simulator:
    """zelsim on a pty linked as a COM port of the prefix."""

    def __init__(self, world, port, options):
        self.port = port
        self.link = os.path.join(world.prefix, "dosdevices", "com%d" % port)
        self.report_path = os.path.join(world.dir, "sim-com%d.json" % port)
        self.flash_path = os.path.join(world.dir, "flash-com%d.bin" % port)
        argv = [world.zelsim, "--link", self.link, "--report", self.report_path,
                "--flash-dump", self.flash_path, "--time-limit-s", str(world.time_limit_s)] + options
        self.proc = world.start("zelsim-com%d" % port, argv, os.environ.copy())
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            with open(self.proc.log_path, "rb") as f:
                if b"listening on" in f.read():
                    break
            if not self.proc.alive():
                raise Trouble("zelsim for com%d ended at once: %s" % (port, self.proc.log_path))
            time.sleep(0.02)
        else:
            raise Trouble("zelsim for com%d did not start" % port)
        if not os.path.islink(self.link):
            raise Trouble("zelsim made no link " + self.link)

    def finish(self, seconds=10):
        """Ends the simulator (SIGTERM unless it has ended already) and reads its report."""
        if self.proc.alive():
            self.proc.popen.send_signal(signal.SIGTERM)
        if self.proc.wait(seconds) is None:
            raise Trouble("zelsim for com%d does not end" % self.port)
        return self.report()

    def report(self):
        with open(self.report_path) as f:
            return json.load(f)


class World:
    def __init__(self, name, zel, zelctl, zelsim, work, log, display=None, time_limit_s=170):
        for path, what in ((zel, "zel.exe"), (zelctl, "zelctl.exe"), (zelsim, "zelsim")):
            if not os.path.isfile(path):
                hint = " (build the native preset first: cmake --preset native && cmake --build --preset native)" \
                    if what == "zelsim" else ""
                raise Trouble("%s not found at %s%s" % (what, path, hint))
        self.zel, self.zelctl, self.zelsim = zel, zelctl, zelsim
        self.log = log
        self.dir = os.path.join(work, name)
        self.time_limit_s = time_limit_s
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.processes = []
        self.prefix = None
        self.server_started = False
        self.xvfb = None
        self.display = display
        self.sims = {}
        self.tool = None
        self.work = work

    # --- processes -------------------------------------------------------

    def start(self, name, argv, env, capture=False):
        p = Process(name, argv, env, os.path.join(self.dir, name + ".log"), capture)
        self.processes.append(p)
        return p

    def wine_env(self):
        return dict(os.environ, WINEPREFIX=self.prefix, DISPLAY=self.display, **WINE_ENV)

    def close(self):
        """Stops everything started here, whatever state it is in."""
        for p in reversed(self.processes):
            try:
                p.stop()
            except Exception as e:  # keep going: the rest must stop too
                self.log("stopping %s: %s" % (p.name, e))
        if self.server_started:
            subprocess.run(["wineserver", "-k"], env=self.wine_env(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
            self.server_started = False
        if self.xvfb:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait(5)
            self.xvfb = None

    # --- display ---------------------------------------------------------

    def start_xvfb(self):
        """An Xvfb of our own on the first free display number, which Xvfb
        picks itself and tells through -displayfd."""
        r, w = os.pipe()
        with open(os.path.join(self.dir, "xvfb.log"), "wb") as out:
            self.xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(w), "-screen", "0", "800x600x24", "-nolisten", "tcp"],
                stdin=subprocess.DEVNULL, stdout=out, stderr=out, pass_fds=[w], start_new_session=True)
        os.close(w)
        number = b""
        deadline = time.monotonic() + 15
        try:
            while not number.endswith(b"\n") and time.monotonic() < deadline:
                ready, _, _ = select.select([r], [], [], 0.2)
                if ready:
                    chunk = os.read(r, 16)
                    if not chunk:
                        break
                    number += chunk
        finally:
            os.close(r)
        if not number.strip().isdigit():
            raise Trouble("Xvfb did not start (see %s/xvfb.log)" % self.dir)
        self.display = ":" + number.strip().decode()
        self.log("display " + self.display)

    def screenshot(self, path, rect=None):
        """The dialog's part of the screen (or all of it) as a PNG."""
        argv = ["import", "-display", self.display, "-window", "root"]
        if rect:
            x, y, w, h = rect
            argv += ["-crop", "%dx%d+%d+%d" % (w, h, max(x, 0), max(y, 0)), "+repage"]
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run(argv + [path], check=True, timeout=30, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        return path

    # --- wine prefix -----------------------------------------------------

    def make_prefix(self):
        template = make_template(self.work, self.log)
        self.prefix = os.path.join(self.dir, "prefix")
        copy_prefix(template, self.prefix)
        self.forget_links()
        # The server and the prefix's services live longer than any one
        # program; started here with their output in a file, they do not
        # inherit a pipe whose end someone waits for (zel.exe's console).
        with open(os.path.join(self.dir, "wineserver.log"), "ab") as server_log:
            # It ends a minute after the last program, should this run be
            # stopped before close() ("-p60": "-p 60" would keep it for ever).
            subprocess.run(["wineserver", "-p60"], env=self.wine_env(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=server_log, timeout=60, check=True)
            self.server_started = True
            subprocess.run(["wine", "cmd", "/c", "exit"], env=self.wine_env(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=server_log, timeout=120)
        # Its services have given the machine's own serial devices the lowest
        # COM numbers (com1 for /dev/ttyS0). The test's prefix has only the
        # simulator's ports: drop those names and their links.
        lines = self.ctl(["forget-ports"], timeout=60)
        self.log("  " + " ".join(lines))
        self.forget_links()

    def forget_links(self):
        devices = os.path.join(self.prefix, "dosdevices")
        for n in PORTS_PROBED:
            link = os.path.join(devices, "com%d" % n)
            if os.path.lexists(link):
                os.unlink(link)

    def open_ports(self):
        """The ports that open in the prefix right now, as zel would find them."""
        lines = self.ctl(["probe-ports"])
        return re.findall(r"\[(com\d+)\]", lines[-1])

    def add_simulator(self, port, options=()):
        sim = Simulator(self, port, list(options))
        self.sims[port] = sim
        return sim

    # --- zel.exe and zelctl ----------------------------------------------

    def start_tool(self, echo=None):
        self.tool = self.start("zel", ["wine", self.zel], self.wine_env(), capture=True)
        self.tool.echo = echo
        return self.tool

    def ctl(self, args, timeout=120, ok_codes=(0,)):
        """Runs zelctl with the commands in args; returns its output lines.
        Raises Trouble when it fails or hangs."""
        argv = ["wine", self.zelctl] + [str(a) for a in args]
        try:
            done = subprocess.run(argv, env=self.wine_env(), stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Trouble("zelctl %s: no end within %d s" % (" ".join(map(str, args)), timeout))
        lines = done.stdout.decode("utf-8", "replace").splitlines()
        self.log("  zelctl %s -> %d" % (" ".join(repr(str(a)) for a in args), done.returncode))
        for line in lines:
            self.log("    | " + line)
        if done.returncode not in ok_codes:
            raise Trouble("zelctl %s failed (%d): %s" % (
                " ".join(map(str, args)), done.returncode, (lines or ["(no output)"])[-1]))
        return lines
