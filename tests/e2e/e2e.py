#!/usr/bin/env python3
"""The whole launcher against the development service, from the outside.

    e2e.py launcher --launcher EXE ...   the real korvina-launcher, driven with xdotool (run it
                                         under xvfb-run); tst_e2ewindow checks the state it left
    e2e.py window ...                    the in-process window cases of tst_e2ewindow

Each run publishes the sample game into a temporary directory, starts the development service
on the port the launcher under test was built for and gives the launcher a user of its own
(home, nickname store, documents, instance lock) and a "wine" on PATH that records how the game
was started. Nothing is timed: every step waits for a condition, with time-outs generous
enough for a loaded machine that only end a hung run.
"""

import argparse
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

NICKNAME = "Ivan_Petrov"
STEP_TIMEOUT = 60
SYNC_TIMEOUT = 150

RECORDER = """#!/bin/sh
# The game's stand-in: records its arguments (one a line) and working directory.
{ pwd; for argument in "$@"; do printf '%s\\n' "$argument"; done; } > "$RECORD_FILE.part"
mv "$RECORD_FILE.part" "$RECORD_FILE"
"""


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def poll(condition, timeout):
    """condition's first true value within timeout seconds, else None."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    return None


def wait_for(condition, timeout, what):
    value = poll(condition, timeout)
    check(value, "timed out after %ds waiting for %s" % (timeout, what))
    return value


class Environment:
    """The temporary world of one run: sample game, file host tree, service, user."""

    def __init__(self, options):
        self.options = options
        self.root = tempfile.mkdtemp(prefix="korvina-e2e-")
        self.host = os.path.join(self.root, "host")
        self.service = None
        self.service_log = os.path.join(self.root, "service.log")
        self.record = os.path.join(self.root, "record.txt")
        home = os.path.join(self.root, "home")
        config = os.path.join(home, ".config")
        documents = os.path.join(home, "Documents")
        runtime = os.path.join(self.root, "run")
        bin_dir = os.path.join(self.root, "bin")
        for directory in (config, documents, bin_dir):
            os.makedirs(directory)
        os.makedirs(runtime, mode=0o700)
        Path(config, "user-dirs.dirs").write_text('XDG_DOCUMENTS_DIR="%s"\n' % documents)
        wine = Path(bin_dir, "wine")
        wine.write_text(RECORDER)
        wine.chmod(0o755)
        self.env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=config, XDG_RUNTIME_DIR=runtime,
                        PATH=bin_dir + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin"),
                        RECORD_FILE=self.record, LC_ALL="C.UTF-8")

    def sample(self, revision, game_exe=None):
        """Generates and publishes a revision of the sample game; returns its directory."""
        game = os.path.join(self.root, "sample%d" % revision)
        subprocess.run([sys.executable, self.options.samplegame, game, "--revision",
                        str(revision), "--publish", self.options.publish, "--host-dir",
                        self.host, "--sign-key",
                        os.path.join(self.options.state_dir, "release.key")]
                       + (["--game-exe", game_exe] if game_exe else []),
                       check=True, stdout=subprocess.DEVNULL)
        return game

    def start_service(self, extra=()):
        ready = os.path.join(self.root, "service.ready")
        if os.path.exists(ready):
            os.remove(ready)
        self.service = subprocess.Popen(
            [sys.executable, self.options.devservice, "--state-dir", self.options.state_dir,
             "--service-key", self.options.service_key,
             "--port", str(self.options.port), "--tree", self.host, "--ready-file", ready,
             "--log", self.service_log] + list(extra))
        wait_for(lambda: os.path.exists(ready) or self.service.poll() is not None,
                 STEP_TIMEOUT, "the development service")
        check(self.service.poll() is None,
              "the development service did not start (port %d busy?)" % self.options.port)

    def stop_service(self):
        if self.service and self.service.poll() is None:
            self.service.terminate()
            self.service.wait(timeout=STEP_TIMEOUT)
        self.service = None

    def launcher_dir(self, name, program):
        """A fresh launcher directory holding a copy of program (the launcher's directory is
        its executable's)."""
        directory = os.path.join(self.root, name)
        os.makedirs(directory)
        shutil.copy2(program, directory)
        return os.path.join(directory, os.path.basename(program))

    def logged(self, text):
        """The service's log lines that contain text."""
        return [line for line in Path(self.service_log).read_text().splitlines() if text in line]

    def close(self, keep):
        self.stop_service()
        if keep:
            print("kept for inspection: %s" % self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)


def same_bytes(first, second):
    # Not filecmp: its cache trusts size and time, which is exactly what the tests fake.
    return Path(first).read_bytes() == Path(second).read_bytes()


def tree(directory):
    """Relative paths of all directories (with a trailing "/") and files below directory."""
    return {path.relative_to(directory).as_posix() + ("/" if path.is_dir() else "")
            for path in Path(directory).rglob("*")}


def tree_difference(actual, expected, ignore=()):
    """How actual differs from expected, byte for byte, or None when it does not."""
    actual_paths, expected_paths = tree(actual) - set(ignore), tree(expected)
    if actual_paths != expected_paths:
        return "the trees differ: extra %s, missing %s" % (
            sorted(actual_paths - expected_paths), sorted(expected_paths - actual_paths))
    for path in sorted(expected_paths):
        if not path.endswith("/") and not same_bytes(os.path.join(actual, path),
                                                     os.path.join(expected, path)):
            return "%s differs from the sample" % path
    return None


def assert_same_tree(actual, expected, ignore=()):
    difference = tree_difference(actual, expected, ignore)
    check(difference is None, difference)


# --- the real launcher -------------------------------------------------------------------------

def xdotool(*args):
    result = subprocess.run(["xdotool"] + list(args), stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    return result.stdout.split()


def visible_window(title):
    found = xdotool("search", "--onlyvisible", "--name", "^%s$" % title)
    return found[0] if found else None


class Launcher:
    """One start of the real launcher executable (command, under wine the wine command line,
    with the environment variables given)."""

    def __init__(self, env, program, command=None, variables=None):
        self.env = env
        self.log = open(os.path.join(os.path.dirname(program), "launcher.log"), "ab")
        started = time.monotonic()
        self.process = subprocess.Popen(command or [program], env=variables or env.env,
                                        stdout=self.log, stderr=subprocess.STDOUT)
        self.window = wait_for(lambda: self.exited() or visible_window("Korvina Launcher"),
                               STEP_TIMEOUT, "the launcher's window")
        self.shown_after = time.monotonic() - started
        check(not self.exited(), "the launcher exited before it showed its window")

    def exited(self):
        return self.process.poll() is not None

    def click(self, x, y):
        xdotool("mousemove", "--window", self.window, str(x), str(y), "click", "1")

    def type_nickname(self, nickname):
        self.click(185, 400)  # the nickname field
        xdotool("key", "--clearmodifiers", "ctrl+a", "BackSpace")
        xdotool("type", "--delay", "20", nickname)

    def answer(self):
        """What a click on the join button brought: "started", "exited" or a dialog's id."""
        if os.path.exists(self.env.record):
            return "started"
        return "exited" if self.exited() else visible_window("KorvinaNet")

    def join(self, nickname=None):
        """Clicks the join button until the game starts. The button takes no clicks until the
        game is ready, so a click that brings no answer is repeated; a message dialog (a
        nickname that did not arrive) is closed and the nickname typed again."""
        if os.path.exists(self.env.record):
            os.remove(self.env.record)
        if nickname:
            self.type_nickname(nickname)
        deadline = time.monotonic() + SYNC_TIMEOUT
        while time.monotonic() < deadline:
            self.click(424, 395)  # "Зайти на сервер"
            answer = poll(self.answer, 5)
            check(answer != "exited", "the launcher exited before the game was started")
            if answer == "started":
                wait_for(self.exited, STEP_TIMEOUT, "the launcher to close after the game's start")
                return
            if answer:
                xdotool("windowfocus", "--sync", answer)
                xdotool("key", "--window", answer, "Escape")
                wait_for(lambda: not visible_window("KorvinaNet"), STEP_TIMEOUT,
                         "the message dialog to close")
                if nickname:
                    self.type_nickname(nickname)
        raise Failure("the game was not started within %ds" % SYNC_TIMEOUT)

    def close(self):
        if not self.exited():
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(timeout=STEP_TIMEOUT)
        self.log.close()

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", path], check=True, timeout=STEP_TIMEOUT)
        print("screenshot: %s" % path)


def play(env, program, game_dir, sample=None, nickname=None):
    """One start of the launcher that ends with the game started from it, in game_dir, on the
    first server of the service's list; game_dir then holds what sample does."""
    launcher = Launcher(env, program)
    try:
        launcher.join(nickname)
    finally:
        launcher.close()
    recorded = Path(env.record).read_text().split("\n")[:-1]
    # The working directory, then the arguments, the program's path first.
    started = [os.path.realpath(path) for path in recorded[:2]] + recorded[2:]
    game = os.path.realpath(game_dir)
    expected = [game, os.path.join(game, "gta_sa.exe"), "-korvina", "-c", "-n", NICKNAME, "-h",
                "127.0.0.1", "-p", "7001"]
    check(started == expected, "the game was started as %s, expected %s" % (started, expected))
    if sample:
        assert_same_tree(game_dir, sample)


def tamper(path, offset):
    """Inverts bytes of a file but keeps its size and modification time, so only hashing the
    file could notice; a second call restores it."""
    info = os.stat(path)
    with open(path, "r+b") as f:
        f.seek(offset)
        inverted = bytes(b ^ 0xFF for b in f.read(64))
        f.seek(offset)
        f.write(inverted)
    os.utime(path, ns=(info.st_atime_ns, info.st_mtime_ns))


def run_launcher(env, options):
    sample1 = env.sample(1)
    env.start_service()
    program = env.launcher_dir("launcher", options.launcher)
    launcher_dir = os.path.dirname(program)
    game_dir = os.path.join(launcher_dir, "gtacr")

    print("first start: empty game directory")
    play(env, program, game_dir, sample1, NICKNAME)
    run_window_case(env, options.window_test, "stateFile", LAUNCHER_DIR=launcher_dir,
                    SYNC_LST=os.path.join(env.host, "launcher", "sync.lst"))

    print("second start: nothing changed, so nothing may be hashed")
    # Content changed behind the launcher's back, times kept: only hashing would see it.
    tampered = {"data/default.ide": 10, "audio/sfx/genrl": 300000,
                "models/gta3.img": 200 * 2048 + 100}  # inside the archive's first element
    for path, offset in tampered.items():
        tamper(os.path.join(game_dir, path), offset)
    play(env, program, game_dir)  # the nickname must come from the store the first start wrote
    for path, offset in tampered.items():
        check(not same_bytes(os.path.join(game_dir, path), os.path.join(sample1, path)),
              "%s was hashed and fetched again" % path)
        tamper(os.path.join(game_dir, path), offset)
    assert_same_tree(game_dir, sample1)

    print("third start: the second revision was published")
    sample2 = env.sample(2)
    play(env, program, game_dir, sample2)
    run_window_case(env, options.window_test, "stateFile", LAUNCHER_DIR=launcher_dir,
                    SYNC_LST=os.path.join(env.host, "launcher", "sync.lst"))
    refused = env.logged(" 403 ")
    check(not refused, "the service refused signed calls: %s" % refused)

    print("fourth start: a forged list, not signed by the release key")
    # What an intruder on the file host would serve to have every player's game deleted.
    forged = os.path.join(env.host, "launcher", "sync.lst")
    os.replace(forged, forged + ".real")
    game = Path(sample2, "gta_sa.exe").read_bytes()
    Path(forged).write_text("[directories]\n\n[entries]\ngta_sa.exe gta_sa.exe file %d %s\n"
                            % (len(game), hashlib.md5(game).hexdigest()))
    transfers = len(env.logged(" GET /launcher/filesystem/"))
    play(env, program, game_dir, sample2)
    check(len(env.logged(" GET /launcher/filesystem/")) == transfers,
          "files were fetched under a forged list")
    os.replace(forged + ".real", forged)

    print("fifth start: the service is down")
    env.stop_service()
    # The server chosen before, from the cached list (the built-in one has ports 7771, 7772).
    play(env, program, game_dir, sample2)


# --- the Windows launcher under wine -----------------------------------------------------------

WINDOWS_GAME = "D:\\Games\\Korvina\\gtacr"
CURRENT_VERSION = "2.0.4.2"
NEWER_VERSION = "2.0.4.3"
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KorvinaLauncher"


class Wine:
    """A wine prefix kept in the build tree (made once, in about half a minute) whose drive D:
    is the run's temporary directory, so that every path the launcher sees is a Windows one."""

    def __init__(self, env, prefix):
        self.env = env
        self.variables = dict(env.env, PATH=os.environ.get("PATH", "/usr/bin:/bin"),
                              WINEPREFIX=prefix, WINEDEBUG="-all",
                              WINEDLLOVERRIDES="mscoree,mshtml=",
                              KORVINA_STUB_RECORD="D:\\" + os.path.basename(env.record))
        if not os.path.exists(os.path.join(prefix, "system.reg")):
            print("creating the wine prefix %s" % prefix)
            self.run("wineboot", "-i", timeout=300)
            check(os.path.exists(os.path.join(prefix, "system.reg")),
                  "wine could not make its prefix in %s" % prefix)
        drive = os.path.join(prefix, "dosdevices", "d:")
        if os.path.lexists(drive):
            os.remove(drive)
        os.symlink(env.root, drive)

    def path(self, windows_path):
        """Where a path on drive D: lies here."""
        check(windows_path.startswith("D:\\"), "%s is not on drive D:" % windows_path)
        return os.path.join(self.env.root, *windows_path[3:].split("\\"))

    def run(self, *command, timeout=STEP_TIMEOUT):
        result = subprocess.run(list(command), env=self.variables, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, errors="replace",
                                timeout=timeout)
        self.wait()
        return result

    def wait(self):
        """Until every program of the prefix has ended and the registry is written out."""
        subprocess.run(["wineserver", "-w"], env=self.variables, timeout=STEP_TIMEOUT)

    def start(self, program):
        return Launcher(self.env, self.path(program), ["wine", program], self.variables)

    def registry_value(self, key, name):
        for line in self.run("wine", "reg", "query", key, "/v", name).stdout.splitlines():
            fields = line.split()
            if fields[:2] == [name, "REG_SZ"]:
                return " ".join(fields[2:])
        return None


def wine_play(env, wine, program, sample=None, nickname=None, on_ready=None):
    """One start of the Windows launcher, as play() for the Linux one; on_ready(launcher) runs
    once the game directory holds sample."""
    launcher = wine.start(program)
    print("window shown %.1f s after the start" % launcher.shown_after)
    game_dir = wine.path(WINDOWS_GAME)
    try:
        if on_ready:
            wait_for(lambda: tree_difference(game_dir, sample) is None, SYNC_TIMEOUT,
                     "the game directory")
            on_ready(launcher)
        launcher.join(nickname)
    finally:
        launcher.close()
        wine.wait()
    record = Path(env.record).read_bytes().decode("utf-16-le").split("\n")
    expected = ['"%s\\gta_sa.exe" -korvina -c -n %s -h 127.0.0.1 -p 7001' % (WINDOWS_GAME,
                NICKNAME), WINDOWS_GAME]
    check(record[:2] == expected, "the game was started as %s, expected %s" % (record[:2],
                                                                               expected))
    if sample:
        assert_same_tree(game_dir, sample)


def second_instance_refused(env, wine, program, screenshot):
    second = subprocess.Popen(["wine", program], env=wine.variables, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    dialog = wait_for(lambda: second.poll() is not None or visible_window("KorvinaNet"),
                      STEP_TIMEOUT, "the second launcher's message")
    check(second.poll() is None, "the second launcher exited without a message")
    subprocess.run(["import", "-window", "root", screenshot], check=True, timeout=STEP_TIMEOUT)
    check(len(xdotool("search", "--onlyvisible", "--name", "^Korvina Launcher$")) == 1,
          "a second launcher window opened")
    xdotool("windowactivate", "--sync", dialog)
    xdotool("key", "Escape")
    check(second.wait(timeout=STEP_TIMEOUT) == 0, "the second launcher did not exit with 0")


def run_wine(env, options):
    sample1 = env.sample(1, options.game_exe)
    env.start_service()
    wine = Wine(env, options.wine_prefix)
    directory = wine.path("D:\\Games\\Korvina")
    shutil.copytree(options.package, directory)
    program = "D:\\Games\\Korvina\\korvina-launcher.exe"
    shots = options.screenshots
    os.makedirs(shots, exist_ok=True)

    def first_ready(launcher):
        second_instance_refused(env, wine, program, os.path.join(shots, "wine-second.png"))
        launcher.screenshot(os.path.join(shots, "wine-ready.png"))

    print("first start: empty game directory")
    wine_play(env, wine, program, sample1, NICKNAME, on_ready=first_ready)
    value = wine.registry_value("HKCU\\SOFTWARE\\KorvinaMP", "player_name")
    check(value == NICKNAME, "the registry holds the nickname %r" % value)

    print("second start: nothing changed, the nickname from the registry")
    transfers = len(env.logged(" GET /launcher/filesystem/"))
    wine_play(env, wine, program, sample1)
    check(len(env.logged(" GET /launcher/filesystem/")) == transfers,
          "files were fetched although nothing changed")

    print("third start: the second revision was published")
    sample2 = env.sample(2, options.game_exe)
    wine_play(env, wine, program, sample2,
              on_ready=lambda launcher: launcher.screenshot(os.path.join(shots,
                                                                         "wine-updated.png")))
    elements = [line for line in env.logged(" GET /launcher/filesystem/")[transfers:]
                if "/models/gta3.img_img/" in line]
    check(elements, "no element of models/gta3.img was fetched on its own")
    check(not env.logged(" 403 "), "the service refused signed calls")

    print("installed with the installer, then updated by the service's newer installer")
    env.stop_service()
    update = newer_installer(env, options)
    env.start_service(["--installer", update, "--announce-update", NEWER_VERSION,
                       "--update-once"])
    installed = "D:\\Games\\Installed"
    result = wine.run("wine", options.setup, "/S", "/D=" + installed, timeout=SYNC_TIMEOUT)
    check(result.returncode == 0, "the silent install failed: %s" % result.stdout)
    assert_same_tree(wine.path(installed), options.package, ignore={"uninstall.exe"})
    old = wine.start(installed + "\\korvina-launcher.exe")
    try:
        wait_for(old.exited, SYNC_TIMEOUT, "the installer to close the running launcher")
        # The new launcher, started by the installer, asks the service as the newer version.
        wait_for(lambda: env.logged("version=" + NEWER_VERSION), SYNC_TIMEOUT,
                 "the updated launcher's update check")
        check(visible_window("Korvina Launcher"), "the updated launcher shows no window")
    finally:
        old.close()
        subprocess.run(["wineserver", "-k"], env=wine.variables, timeout=STEP_TIMEOUT)
        wine.wait()
    check(wine.registry_value(UNINSTALL_KEY, "DisplayVersion") == NEWER_VERSION,
          "the installed version is not %s" % NEWER_VERSION)


def newer_installer(env, options):
    """The installer of a launcher that reports itself as NEWER_VERSION: the same program with
    its version text replaced, packed by the same installer script."""
    package = os.path.join(env.root, "newer-package")
    shutil.copytree(options.package, package)
    program = Path(package, "korvina-launcher.exe")
    data = program.read_bytes()
    for encoding in ("ascii", "utf-16-le"):
        data = data.replace(CURRENT_VERSION.encode(encoding), NEWER_VERSION.encode(encoding))
    check(NEWER_VERSION.encode("utf-16-le") in data, "no version text in the launcher")
    program.write_bytes(data)
    installer = os.path.join(env.root, "korvina-setup-newer.exe")
    subprocess.run(["makensis", "-V2", "-DPACKAGE_DIR=" + package, "-DOUTFILE=" + installer,
                    "-DVERSION=" + NEWER_VERSION, options.nsis_script], check=True,
                   stdout=subprocess.DEVNULL, timeout=SYNC_TIMEOUT)
    return installer


# --- the window in process ---------------------------------------------------------------------

def run_window_case(env, program, case, **variables):
    env_vars = dict(env.env, QT_QPA_PLATFORM="offscreen", **variables)
    result = subprocess.run([program, case], env=env_vars, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, timeout=SYNC_TIMEOUT + 60)
    print(result.stdout)
    check(result.returncode == 0, "window case %s failed" % case)


def run_window(env, options):
    env.sample(1)
    env.start_service()
    program = env.launcher_dir("window", options.window_test)
    run_window_case(env, program, "window:readyWithService")
    env.stop_service()
    run_window_case(env, program, "window:cachedServersOffline")
    fresh = env.launcher_dir("window-fresh", options.window_test)
    # A game copied in by hand: without the list it may be played as it is.
    game = Path(os.path.dirname(fresh), "gtacr")
    game.mkdir()
    (game / "gta_sa.exe").write_bytes(b"game")
    run_window_case(env, fresh, "window:builtInServersOffline")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("mode", choices=("launcher", "window", "wine"))
    parser.add_argument("--launcher", help="korvina-launcher built for the development service")
    parser.add_argument("--window-test",
                        help="tst_e2ewindow built for the development service")
    parser.add_argument("--publish", required=True, help="korvina-publish")
    parser.add_argument("--devservice", required=True)
    parser.add_argument("--samplegame", required=True)
    parser.add_argument("--state-dir", required=True, help="the service's CA, as compiled in")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--service-key", required=True, help="the key the launcher was built with")
    parser.add_argument("--package", help="the Windows launcher's folder (wine)")
    parser.add_argument("--game-exe", help="a Windows program standing in for the game (wine)")
    parser.add_argument("--wine-prefix", help="the wine prefix to use, made when missing (wine)")
    parser.add_argument("--screenshots", help="where the wine run saves its screenshots")
    parser.add_argument("--setup", help="the Windows installer (wine)")
    parser.add_argument("--nsis-script", help="the installer's script, for a newer one (wine)")
    parser.add_argument("--keep", action="store_true", help="keep the temporary directory")
    options = parser.parse_args()

    env = Environment(options)
    ok = False
    try:
        {"launcher": run_launcher, "window": run_window, "wine": run_wine}[options.mode](
            env, options)
        ok = True
    except Failure as failure:
        print("FAIL: %s" % failure)
        for name in ("service.log", "launcher/launcher.log"):
            path = os.path.join(env.root, name)
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    print("--- %s (last lines)\n%s" % (name, "".join(f.readlines()[-40:])))
    finally:
        env.close(options.keep or not ok)
    print("PASS" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
