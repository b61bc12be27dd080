"""End-to-end harness: the real Uninstall.exe in a private copy of the settled test prefix.

Each WinePrefix is a copy of the template prefix that scripts/test.sh made (its path in
UNINSTALLER_TEMPLATE_PREFIX), with a wineserver of its own; close() stops that wineserver only.
Everything is read the way a person would check it: the log file, `reg query` in both registry
views, the files of the prefix, and the process list (tools/proclist.exe).
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path, PureWindowsPath

BUILD_DIR = Path(os.environ.get("UNINSTALLER_BUILD_DIR", Path(__file__).resolve().parents[2] / "build"))
SOURCE_DIR = Path(os.environ.get("UNINSTALLER_SOURCE_DIR", Path(__file__).resolve().parents[2]))
TEMPLATE = Path(os.environ.get("UNINSTALLER_TEMPLATE_PREFIX", BUILD_DIR / "wineprefix-template"))
DIST_DIR = BUILD_DIR / "dist"
UNINSTALL_EXE = DIST_DIR / "Uninstall.exe"
SEVENZIP_DLL = DIST_DIR / "7z.dll"
ZEMNETUL_DLL = DIST_DIR / "ZemNetUL.dll"
PROCLIST_EXE = BUILD_DIR / "tests" / "e2e" / "proclist.exe"
# The maker's helper that may start a silent uninstall (signed by the build), and a stranger.
SIGNED_LAUNCHER = BUILD_DIR / "tests" / "e2e" / "launcher.exe"
UNSIGNED_LAUNCHER = BUILD_DIR / "tests" / "e2e" / "launcher_unsigned.exe"

APP_PATHS = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\kestiwp.exe"
DEFAULT_INSTALL_DIR = r"C:\Program Files (x86)\KestiWallpaper"
LOG_NAME = "bizhi_uninst.log"

WINE_ENV = {
    "WINEDEBUG": "-all",
    "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
}


class WinePrefix:
    """A private prefix copied from the template; use as a context manager."""

    def __init__(self, name):
        if not (TEMPLATE / "system.reg").exists():
            raise RuntimeError(f"no template prefix at {TEMPLATE} (run the tests through scripts/test.sh)")
        root = BUILD_DIR / "e2e-prefixes"
        root.mkdir(parents=True, exist_ok=True)
        self.path = Path(tempfile.mkdtemp(prefix=f"{name}-", dir=root))
        shutil.rmtree(self.path)
        subprocess.run(["cp", "-a", str(TEMPLATE), str(self.path)], check=True)
        self.env = dict(os.environ, WINEPREFIX=str(self.path), **WINE_ENV)
        self.user = os.environ.get("USER") or subprocess.run(["id", "-un"], capture_output=True, text=True).stdout.strip()
        # Keep this prefix's wineserver up between the calls of one test.
        subprocess.run(["wineserver", "-p30"], env=self.env, check=False)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self, keep=False):
        subprocess.run(["wineserver", "-k"], env=self.env, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, check=False, timeout=60)
        if not keep and not os.environ.get("E2E_KEEP_PREFIX"):
            shutil.rmtree(self.path, ignore_errors=True)

    # ---- paths ------------------------------------------------------------------------------
    def unix(self, win_path):
        """The Unix path of a C: path inside this prefix."""
        p = PureWindowsPath(win_path)
        if p.drive.upper() != "C:":
            raise ValueError(f"only C: paths live in the prefix: {win_path}")
        return self.path.joinpath("drive_c", *p.parts[1:])

    @property
    def temp_dir(self):
        """The Windows temporary folder of the prefix's user (where the log goes)."""
        if not getattr(self, "_temp_dir", None):
            _, text = self.wine("cmd", "/c", "echo", "%TEMP%", check=True)
            self._temp_dir = text.strip().splitlines()[-1].strip()
        return self._temp_dir

    @property
    def log_path(self):
        return self.unix(self.temp_dir + "\\" + LOG_NAME)

    def log_text(self):
        """The uninstaller's log, decoded from the Chinese code page it is written in."""
        try:
            return self.log_path.read_bytes().decode("gbk", errors="replace")
        except FileNotFoundError:
            return ""

    # ---- programs ---------------------------------------------------------------------------
    def wine(self, *args, timeout=120, check=False, loader="wine"):
        """Runs a program to its end; its output goes through a file (Wine's helper processes
        would otherwise hold our pipe open)."""
        with tempfile.TemporaryFile() as out:
            proc = subprocess.run([loader, *map(str, args)], env=self.env, stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=subprocess.STDOUT, timeout=timeout)
            out.seek(0)
            text = out.read().decode("utf-8", errors="replace")
        if check and proc.returncode != 0:
            raise AssertionError(f"{args} exited {proc.returncode}: {text}")
        return proc.returncode, text

    def start(self, *args):
        """Starts a program and returns at once."""
        return subprocess.Popen(["wine", *map(str, args)], env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def processes(self):
        """[(pid, parent pid, image path)] of the prefix's running processes."""
        _, text = self.wine(PROCLIST_EXE, check=True)
        rows = []
        for line in text.splitlines():
            parts = line.split("\t")
            if len(parts) == 3 and parts[0].isdigit():
                rows.append((int(parts[0]), int(parts[1]), parts[2]))
        return rows

    def running(self, image_name):
        name = image_name.lower()
        return [p for p in self.processes() if PureWindowsPath(p[2]).name.lower() == name]

    def wait_until(self, predicate, timeout=60, interval=0.5, what="condition"):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if predicate():
                return True
            time.sleep(interval)
        raise AssertionError(f"timed out after {timeout}s waiting for {what}")

    def run_uninstaller(self, exe_win_path, *args, timeout=120, env=None):
        """Starts the uninstaller and waits until no Uninstall.exe runs any more (the first
        stage exits at once; the second stage is its copy in the temporary folder). Returns
        what the programs and Wine printed, the second stage's output included."""
        with tempfile.TemporaryFile() as out:
            proc = subprocess.Popen(["wine", str(exe_win_path), *map(str, args)],
                                    env=env or self.env, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT)
            proc.wait(timeout=timeout)
            self.wait_until(lambda: not self.running("Uninstall.exe"), timeout=timeout,
                            what="the uninstaller to finish")
            out.seek(0)
            return out.read().decode("utf-8", errors="replace")

    def run_silent_uninstall(self, install_dir=DEFAULT_INSTALL_DIR, timeout=240, wine_debug=None):
        """The uninstaller of `install_dir`, started silently by the maker's signed helper, as the
        product does; returns once both stages have ended, with Wine's output (wine_debug sets
        its WINEDEBUG channels)."""
        env = dict(self.env, WINEDEBUG=wine_debug) if wine_debug else None
        return self.run_uninstaller(SIGNED_LAUNCHER, install_dir.rstrip("\\") + r"\Uninstall.exe",
                                    "/S", timeout=timeout, env=env)

    def exists(self, win_path):
        """Whether a C: path of the prefix exists; a link counts even when its target is gone."""
        path = self.unix(win_path)
        return path.exists() or path.is_symlink()

    # ---- registry ---------------------------------------------------------------------------
    def reg(self, *args, view=32):
        """`reg` in the given view (32: what a 32-bit program sees; 64: the native view)."""
        flag = "/reg:64" if view == 64 else "/reg:32"
        return self.wine("reg", *args, flag)

    def reg_add(self, key, name, value, kind="REG_SZ", view=32):
        rc, text = self.reg("add", key, "/v", name, "/t", kind, "/d", value, "/f", view=view)
        if rc != 0:
            raise AssertionError(f"reg add {key} {name} failed: {text}")

    def reg_query(self, key, name, view=32):
        """The value's data as text, or None when the key or value is missing."""
        rc, text = self.reg("query", key, "/v", name, view=view)
        if rc != 0:
            return None
        for line in text.splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[0].lower() == name.lower() and parts[1].startswith("REG_"):
                return parts[2] if len(parts) == 3 else ""
        return None

    def reg_key_exists(self, key, view=32):
        rc, _ = self.reg("query", key, view=view)
        return rc == 0

    def reg_delete(self, key, name=None, view=32):
        args = ["delete", key] + (["/v", name] if name else []) + ["/f"]
        return self.reg(*args, view=view)[0] == 0

    # ---- the installed product (grows with each subsystem) ----------------------------------
    def install_basic_product(self, install_dir=DEFAULT_INSTALL_DIR, uninstaller=UNINSTALL_EXE,
                              exe_name="Uninstall.exe", with_7z=True, channel=None):
        """Lays out the product as the start-up sequence sees it: the App Paths entry, the
        install folder with Zembase.dll, Utils\\7z.dll and the uninstaller."""
        folder = self.unix(install_dir)
        (folder / "Utils").mkdir(parents=True, exist_ok=True)
        (folder / "wallpaperhelper").mkdir(exist_ok=True)
        shutil.copy2(uninstaller, folder / exe_name)
        (folder / "Zembase.dll").write_bytes(b"MZ placeholder of the product's base module\n")
        (folder / "kestiwp.exe").write_bytes(b"MZ placeholder of the product's main program\n")
        (folder / "Utils" / "VRNBasic.dll").write_bytes(b"MZ placeholder\n")
        if with_7z:
            shutil.copy2(SEVENZIP_DLL, folder / "Utils" / "7z.dll")
        shutil.copy2(ZEMNETUL_DLL, folder / "wallpaperhelper" / "ZemNetUL.dll")
        self.reg_add(APP_PATHS, "path", install_dir)
        self.reg_add(APP_PATHS, "ProductName", "kestiwallpaper")
        if channel is not None:
            self.reg_add(r"HKCU\Software\KestiWallPaper", "pid", channel)
        return folder

    def watch_temp_copies(self):
        """A context manager that records, every few milliseconds while it is open, the files
        seen in each {GUID}.tmp folder of the temporary folder: the second stage removes its
        copy when it ends, so a look afterwards would see nothing."""
        return _TempCopyWatcher(self.unix(self.temp_dir))

    def temp_copies(self):
        """The {GUID}.tmp folders in the temporary folder."""
        temp = self.unix(self.temp_dir)
        return sorted(p for p in temp.glob("{*}.tmp") if p.is_dir())


class _TempCopyWatcher:
    def __init__(self, temp):
        self.temp = temp
        self.seen = {}  # folder name -> set of relative file paths
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()

    def _run(self):
        while not self._stop.is_set():
            for folder in list(self.temp.glob("{*}.tmp")):
                try:
                    names = {str(p.relative_to(folder)).replace("/", "\\")
                             for p in folder.rglob("*") if p.is_file()}
                except OSError:
                    continue
                self.seen.setdefault(folder.name, set()).update(names)
            time.sleep(0.01)

    def copies_of(self, file_name):
        """The folders in which file_name was seen."""
        return {name: files for name, files in self.seen.items() if file_name in files}


def main():
    unittest.main(verbosity=2)


# ---- the local double of the maker's services ---------------------------------------------------
DOUBLE_SCRIPT = SOURCE_DIR / "tests" / "double" / "service_double.py"
DOUBLE_PORT = 18480  # the deployment's default hosts (deploy/deployment.json)


class ServiceDouble:
    """The service double on the deployment's port, recording every request; a context
    manager. Tests that use it hold the CTest resource lock "service_double"."""

    def __init__(self, *modes, lifetime=600):
        self.dir = Path(tempfile.mkdtemp(prefix="double-", dir=BUILD_DIR))
        self.record = self.dir / "requests.jsonl"
        args = [sys.executable, str(DOUBLE_SCRIPT), "--port", str(DOUBLE_PORT),
                "--record", str(self.record), "--lifetime", str(lifetime)]
        for mode in modes:
            args += ["--mode", mode]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        line = self.proc.stdout.readline()
        if "listening" not in line:
            self.proc.kill()
            raise RuntimeError(f"the service double did not start: {line}{self.proc.stdout.read()}")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait(timeout=30)
        shutil.rmtree(self.dir, ignore_errors=True)

    def requests(self, path=None):
        if not self.record.exists():
            return []
        rows = [json.loads(line) for line in self.record.read_text(encoding="utf-8").splitlines() if line]
        return [r for r in rows if path is None or r["path"] == path]

    def events(self):
        """The statistics events in the order they arrived: [(action, query pairs, host)]."""
        out = []
        for r in self.requests("/dot"):
            query = [tuple(pair) for pair in r["query"]]
            out.append((dict(query).get("action"), query, r.get("host", "")))
        return out
