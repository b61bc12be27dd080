"""Runs the demo uninstall in the sandbox prefix made by scripts/demo.sh and reports it."""
import os
import subprocess
import sys
from pathlib import Path

here = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(here / "tests" / "e2e"))
sys.path.insert(0, str(here / "tests"))

import harness  # noqa: E402

sandbox = Path(sys.argv[1])


class SandboxPrefix(harness.WinePrefix):
    """The demo works in the prefix itself, not in a copy."""

    def __init__(self, path):
        self.path = path
        self.env = dict(os.environ, WINEPREFIX=str(path), **harness.WINE_ENV)
        self.user = subprocess.run(["id", "-un"], capture_output=True, text=True).stdout.strip()


wp = SandboxPrefix(sandbox)
double = None
try:
    double_script = here / "tests" / "double" / "service_double.py"
    if double_script.exists():
        record = sandbox / "service-requests.jsonl"
        double = subprocess.Popen([sys.executable, str(double_script), "--record", str(record)],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        print(f"== service double on 127.0.0.1:18480, requests recorded in {record}")

    try:
        from fixture.install_product import install_product  # the full fake product
        print("== installing the fake product (files, registry, services, task, shortcuts, processes)")
        install_product(wp)
    except ImportError:
        print("== installing the basic product layout")
        wp.install_basic_product(channel="rovozazo")

    install_dir = harness.DEFAULT_INSTALL_DIR
    print(f"== the product's helper starts {install_dir}\\Uninstall.exe /S")
    wp.run_silent_uninstall(install_dir, timeout=300)

    print(f"\n== log: {wp.log_path}")
    print(wp.log_text())
    folder = wp.unix(install_dir)
    left = sorted(str(p.relative_to(folder)) for p in folder.rglob("*")) if folder.exists() else []
    print(f"== left in the install folder: {left if left else 'nothing'}")
    print(f"== temporary copies left: {[p.name for p in wp.temp_copies()] or 'none'}")
finally:
    if double:
        double.terminate()
