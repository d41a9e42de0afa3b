"""Reusable pieces for end-to-end tests of the real updater binary.

The tests run the product (native POSIX build, or the Windows build under Wine)
against real client folders in temporary directories, with the fake game
copied in as Main.exe. Configure once with `configure()` (run_e2e.py does it
from the CTest arguments), then use:

- `ClientFolder`: a client directory with a mixed-case name, Main.exe, logs,
  records of the fake game (starts, close requests, exits).
- `Game`: a fake game process started by the test, e.g. the parent game.
- `run_updater()`: one run of the product; exit code, message box texts,
  duration.
- `run_parallel()`: several independent scenarios at once (the process gates
  wait up to 25 s each).

Under Wine all processes share one Xvfb display started here, paths given to
the product are Windows paths (Z:\\tmp\\...), and message boxes are pressed by
the rr_dialog_helper program, which also reports their texts.
"""

import atexit
import concurrent.futures
import errno
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time

_config = {
    "product": None,
    "fake_game": None,
    "wine": False,
    "dialog_helper": None,
    "publisher": None,
    "signed_product": None,
    "trust_helper": None,
}
_display = None
_display_lock = threading.Lock()
_counter = 0
_counter_lock = threading.Lock()

CAPTION = "RiveRoravav"
LOG_NAMES = (
    "RiveRoravav.log",
    "RepairDryRun.log",
    "FullClientCompare.log",
    "FullClientApply.log",
    "RepairCleanup.log",
)


def configure(product, fake_game, wine=False, dialog_helper=None):
    _config.update(
        product=os.path.abspath(product),
        fake_game=os.path.abspath(fake_game),
        wine=bool(wine),
        dialog_helper=os.path.abspath(dialog_helper) if dialog_helper else None,
    )
    if wine and not dialog_helper:
        raise ValueError("under Wine the dialog helper is required")


def configure_tools(publisher=None, signed_product=None, trust_helper=None):
    """The publisher, the product built with the test publisher key and the
    Windows build's CA trust helper, when the build has them."""
    _config.update(
        publisher=os.path.abspath(publisher) if publisher else None,
        signed_product=os.path.abspath(signed_product) if signed_product else None,
        trust_helper=os.path.abspath(trust_helper) if trust_helper else None,
    )


def publisher():
    return _config["publisher"]


def trust_helper():
    return _config["trust_helper"]


def fake_game():
    return _config["fake_game"]


def signed_product():
    return _config["signed_product"]


def under_wine():
    return _config["wine"]


def _next_id():
    global _counter
    with _counter_lock:
        _counter += 1
        return _counter


# ---------------------------------------------------------------- display


def _start_display():
    """One Xvfb for the whole run: Wine creates no window without a display."""
    global _display
    with _display_lock:
        if _display is not None:
            return _display
        read_fd, write_fd = os.pipe()
        proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
            pass_fds=(write_fd,),
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        os.close(write_fd)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(read_fd, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_fd)
        if not number.strip():
            proc.kill()
            raise RuntimeError("Xvfb did not report a display number")
        _display = (":" + number.decode().strip(), proc)

        def stop():
            proc.terminate()
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()

        atexit.register(stop)
        # A persistent wineserver cuts every later start to a fraction of a second.
        subprocess.run(["wineserver", "-p"], env=_environment(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)
        return _display


def _environment():
    env = dict(os.environ)
    if under_wine():
        env["WINEDEBUG"] = "-all"
        if _display is not None:
            env["DISPLAY"] = _display[0]
    return env


def _command(program, args):
    if under_wine():
        _start_display()
        return ["wine", program] + list(args)
    return [program] + list(args)


def run_tool(program, args, timeout=60):
    """Runs a helper program of the build (under Wine for the Windows build);
    fails the test when it fails."""
    proc = subprocess.run(_command(program, args), env=_environment(), stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
    if proc.returncode != 0:
        raise AssertionError("%s %s failed (exit %d): %s" % (
            os.path.basename(program), " ".join(args), proc.returncode,
            proc.stdout.decode("utf-8", "replace").strip()))
    return proc


def product_path(path):
    """A path as the product sees it: Windows form under Wine."""
    path = os.path.abspath(path)
    if under_wine():
        return "Z:" + path.replace("/", "\\")
    return path


# ----------------------------------------------------------- client folder


def _write_file(target, content, mode=None):
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(target, "wb") as out:
        out.write(content.encode() if isinstance(content, str) else content)
    if mode is not None:
        os.chmod(target, mode)
    return target


class ClientFolder:
    """A client directory in a fresh temporary folder with a mixed-case name.

    `game_config` lines go to fake_game.cfg, which every fake game started
    from this folder reads (the relaunch passes no arguments). By default a
    game ends by itself after 8 s so that no relaunched game outlives a test.
    """

    def __init__(self, with_main=True, game_config=("exit-after-ms=8000",), name="Client_Dir"):
        self.root = tempfile.mkdtemp(prefix="RrE2e_%d_" % _next_id(), suffix="_Tmp")
        self.path = os.path.join(self.root, name)
        os.makedirs(self.path)
        self.games = []
        if with_main:
            shutil.copy2(_config["fake_game"], self.main_exe)
        if game_config is not None:
            self.write("fake_game.cfg", "\n".join(game_config) + "\n")

    @property
    def main_exe(self):
        return os.path.join(self.path, "Main.exe")

    @property
    def product_dir(self):
        return product_path(self.path)

    def file(self, relative):
        return os.path.join(self.path, *relative.replace("\\", "/").split("/"))

    def write(self, relative, content=b"x", mode=None):
        return _write_file(self.file(relative), content, mode)

    def outside(self, relative):
        """A path beside the client folder, in the same temporary root."""
        return os.path.join(self.root, *relative.split("/"))

    def write_outside(self, relative, content=b"x"):
        return _write_file(self.outside(relative), content)

    def exists(self, relative):
        return os.path.lexists(self.file(relative))

    def enable_diagnostics(self):
        self.write("Data/Local/EnableDiagnostics.txt", "")

    def _find_case_insensitive(self, relative):
        # Under Wine a folder the product creates may differ in case from what
        # a test names; look it up the way Windows would.
        current = self.path
        for part in relative.replace("\\", "/").split("/"):
            exact = os.path.join(current, part)
            if os.path.lexists(exact):
                current = exact
                continue
            match = None
            if os.path.isdir(current):
                for entry in os.listdir(current):
                    if entry.lower() == part.lower():
                        match = os.path.join(current, entry)
                        break
            if match is None:
                return None
            current = match
        return current

    def log_path(self, name="RiveRoravav.log"):
        return self._find_case_insensitive("Logs/" + name)

    def log_lines(self, name="RiveRoravav.log"):
        """The texts of a log's lines, time stamps removed; [] when missing."""
        path = self.log_path(name)
        if path is None:
            return []
        with open(path, "rb") as f:
            data = f.read().decode("utf-8")
        lines = []
        for line in data.split("\r\n"):
            if not line:
                continue
            # "[YYYY-MM-DD HH:MM:SS] text"
            lines.append(line[22:] if line.startswith("[") and line[21:22] == " " else line)
        return lines

    def log_files(self):
        return [n for n in LOG_NAMES if self.log_path(n) is not None]

    def _records(self, name):
        path = os.path.join(self.path, name)
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            return [l for l in f.read().decode("utf-8", "replace").splitlines() if l.strip()]

    def started(self):
        """(pid, working directory) of every fake game start, in order."""
        out = []
        for line in self._records("started.txt"):
            pid, _, cwd = line.partition("\t")
            out.append((int(pid), cwd))
        return out

    def started_pids(self):
        return [pid for pid, _ in self.started()]

    def close_requests(self):
        return [int(l.split()[0]) for l in self._records("close_requests.txt")]

    def exits(self):
        return {int(l.split()[0]): l.split()[1] for l in self._records("exited.txt")}

    def wait_for_starts(self, count, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if len(self.started()) >= count:
                return True
            time.sleep(0.05)
        return False

    def start_game(self, *args):
        game = Game(self, args)
        self.games.append(game)
        return game

    def cleanup(self):
        for game in self.games:
            game.stop()
        if not under_wine():
            # Relaunched games are no children of ours; end the ones still
            # running from this folder (test cleanup, not product behaviour).
            for pid in self.started_pids():
                try:
                    if os.path.realpath("/proc/%d/exe" % pid) == os.path.realpath(self.main_exe):
                        os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
        for dirpath, dirnames, filenames in os.walk(self.root):
            for name in dirnames + filenames:
                full = os.path.join(dirpath, name)
                if not os.path.islink(full):
                    try:
                        os.chmod(full, 0o755)
                    except OSError:
                        pass
        shutil.rmtree(self.root, ignore_errors=True)


class Game:
    """A fake game started by the test from a client folder's Main.exe."""

    def __init__(self, client, args):
        self.client = client
        before = len(client.started())
        # Scenarios run in threads: a child forked by another thread while this
        # folder's Main.exe was being copied holds a writable descriptor to it
        # until that child execs, and exec then fails with "Text file busy".
        for attempt in range(100):
            try:
                self.proc = subprocess.Popen(
                    _command(client.main_exe, args),
                    cwd=client.path,
                    env=_environment(),
                    stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL,
                    start_new_session=True,
                )
                break
            except OSError as e:
                if e.errno != errno.ETXTBSY or attempt == 99:
                    raise
                time.sleep(0.02)
        # A Wine process can take long to come up while other tests of the
        # module start theirs at the same moment.
        if not client.wait_for_starts(before + 1, timeout=60):
            self.stop()
            raise RuntimeError("fake game did not start in " + client.path)
        # The pid the product sees (a Windows process id under Wine).
        self.pid = client.started()[before][0]

    def running(self):
        return self.proc.poll() is None

    def wait_exit(self, timeout):
        try:
            self.proc.wait(timeout)
            return True
        except subprocess.TimeoutExpired:
            return False

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                pass


# ------------------------------------------------------------- product run


class RunResult:
    def __init__(self, code, dialogs, stderr, seconds):
        self.code = code
        self.dialogs = dialogs  # texts of the message boxes, in order
        self.stderr = stderr
        self.seconds = seconds

    def __repr__(self):
        return "RunResult(code=%r, dialogs=%r, seconds=%.1f)" % (self.code, self.dialogs, self.seconds)


def run_updater(args, timeout=120, product=None, env=None):
    """Runs the product (or another build of it) once with `args` (already in
    the product's path form), with the variables of `env` added to the
    environment.

    Returns a RunResult. The product's output goes to files, not pipes: a
    relaunched game must not be able to keep a pipe of ours open.
    """
    work = tempfile.mkdtemp(prefix="RrRun_%d_" % _next_id())
    out_path = os.path.join(work, "stdout.txt")
    err_path = os.path.join(work, "stderr.txt")
    product = product or _config["product"]
    helper = None
    helper_out = None
    stop_file = os.path.join(work, "stop")
    try:
        if under_wine():
            # A private copy gives this run's dialogs an image path of their own.
            private = os.path.join(work, "RiveRoravav.exe")
            shutil.copy2(product, private)
            product = private
            helper_out = open(os.path.join(work, "dialogs.txt"), "wb")
            helper = subprocess.Popen(
                _command(_config["dialog_helper"],
                         ["--image", product_path(product), "--stop-file", product_path(stop_file),
                          "--timeout-ms", str(int(timeout * 1000) + 30000)]),
                env=_environment(), stdin=subprocess.DEVNULL, stdout=helper_out,
                stderr=subprocess.DEVNULL)
        started = time.monotonic()
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            proc = subprocess.Popen(_command(product, args),
                                    env=dict(_environment(), **(env or {})),
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                    start_new_session=True)
            try:
                code = proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                raise AssertionError("updater did not finish within %s s: %r" % (timeout, args))
        seconds = time.monotonic() - started
        with open(err_path, "rb") as f:
            stderr = f.read().decode("utf-8", "replace")
        dialogs = []
        if helper is not None:
            open(stop_file, "w").close()
            try:
                helper.wait(30)
            except subprocess.TimeoutExpired:
                helper.kill()
                helper.wait()
            helper_out.close()
            helper_out = None
            with open(os.path.join(work, "dialogs.txt"), "rb") as f:
                for line in f.read().decode("utf-8", "replace").splitlines():
                    parts = line.split("\t")
                    if len(parts) == 3 and parts[0] == "DIALOG" and parts[1] == CAPTION:
                        dialogs.append(parts[2])
        else:
            prefix = CAPTION + ": "
            dialogs = [l[len(prefix):] for l in stderr.splitlines() if l.startswith(prefix)]
        return RunResult(code, dialogs, stderr, seconds)
    finally:
        if helper is not None and helper.poll() is None:
            helper.kill()
            helper.wait()
        if helper_out is not None:
            helper_out.close()
        shutil.rmtree(work, ignore_errors=True)


def hold_file(client, path, seconds):
    """Another program (the fake game, from outside the client folder) opens
    `path` for reading without sharing write or delete access, as a virus
    scanner does, and closes it after `seconds`. Returns a function that ends
    it at once."""
    folder = os.path.join(client.root, "Holder")
    os.makedirs(folder)
    holder = os.path.join(folder, "Holder.exe")
    shutil.copy2(_config["fake_game"], holder)
    proc = subprocess.Popen(
        _command(holder, ["--no-window", "--exit-after-ms", str(int(seconds * 1000)),
                          "--hold-file", product_path(path)]),
        env=_environment(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL, start_new_session=True)

    def stop():
        proc.kill()
        proc.wait(10)

    if not wait_until(lambda: os.path.exists(os.path.join(folder, "started.txt")), timeout=30):
        stop()
        raise AssertionError("the holder did not start")
    return stop


def updater_args(client, mode=None, main_pid=None, extra=()):
    args = ["--client-dir", client.product_dir if isinstance(client, ClientFolder) else client]
    if main_pid is not None:
        args += ["--main-pid", str(main_pid)]
    if mode is not None:
        args += ["--mode", mode]
    return args + list(extra)


def run_parallel(scenarios, workers=8):
    """Runs {name: callable} at once; returns {name: result or exception}."""
    results = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        futures = {pool.submit(fn): name for name, fn in scenarios.items()}
        for future in concurrent.futures.as_completed(futures):
            name = futures[future]
            try:
                results[name] = future.result()
            except BaseException as exc:  # reported by the test that reads it
                results[name] = exc
    return results


def wait_until(predicate, timeout=10, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()
