#!/usr/bin/env python3
"""The browser game's figures, in Debian's headless Chromium on SwiftShader against orlith-server
--web-root (a benchmark: it measures and prints, it asserts nothing):
  - the first load: bytes transferred (gzip) for the page, its script, the wasm and the icon;
  - the first frame: ms from the start of the page's navigation to its first frame presented,
    offline with --start (no dialog), in three fresh profiles;
  - the shared start-up as the page measures it, without a save and restoring a saved game at
    level 10,000 (one generation from the level table: the difference is the restore);
  - the in-game meter (the FPS line of the report: the last group of 60 frames) at 1024 x 576 in
    level 1's start room (600 frames) and in level 20's busy view with textured walls (300
    frames of bench/busy_save's demo), three runs each;
  - the machine's load average while it ran.
usage: bench/web/run.py [--site build/release/web/site] [--build build/release]
"""
import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "app", "web"))
import web_test  # noqa: E402  (the tests' server and page drivers)


def run_page(page, server, options, files=(), demo=None):
    """The page's storage emptied and the files put there (flushed), then one run: its signals,
    times and report."""
    if files:
        page.open(server.port, {"offline": None, "start": None, "frames": 0})
        page.wait("ended")
        page.driver.execute_script("FS.readdir('/orlith').filter(n => n[0] !== '.').forEach(n => FS.unlink('/orlith/' + n));")
        before = page.driver.execute_script("return window.orlith.signals.flushed || 0")
        for name, data in files:
            page.driver.execute_script("window.orlith.writeFile(arguments[0], arguments[1]);", name, list(data))
        page.wait("flushed", before + 1)
    page.open(server.port, {"offline": None, "start": None, "screen": "1920x1080", "report": "/tmp/report.txt", **options},
              demo)
    signals = page.wait("ended")
    times = page.driver.execute_script("return window.orlith.times")
    text = page.file("/tmp/report.txt").decode()
    fps = next(float(line.split()[1]) for line in text.splitlines() if line.startswith("fps"))
    return signals, times, fps


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--site", default=None)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    site = os.path.abspath(args.site or os.path.join(build, "web", "site"))
    work = tempfile.mkdtemp(prefix="orlith-web-bench-")
    loads = [os.getloadavg()[0]]
    server = web_test.Server(os.path.join(build, "server", "orlith-server"), site, work)
    try:
        # Each first load in a fresh profile (nothing cached, nothing stored), after one to warm
        # the machine's own caches (Chromium's files, SwiftShader's start).
        firsts = []
        for attempt in range(4):
            page = web_test.Page(work, f"first{attempt}")
            try:
                page.open(server.port, {"offline": None, "start": None, "frames": 60, "screen": "1920x1080"})
                page.wait("ended")
                sizes = page.driver.execute_script("""
                    return performance.getEntriesByType('navigation').concat(performance.getEntriesByType('resource'))
                        .map(e => [e.name.split('/').pop().split('?')[0] || 'index.html', e.transferSize, e.decodedBodySize]);""")
                if attempt > 0:
                    firsts.append(page.driver.execute_script(
                        "return [window.orlith.times.started, performance.getEntriesByType('navigation')[0].loadEventEnd]"))
            finally:
                page.quit()
        print("first load (bytes on the wire, headers included / as decoded):")
        for name, wire, decoded in sizes:
            print(f"  {name:12} {wire:9,d} / {decoded:9,d}")
        print(f"  {'all':12} {sum(s[1] for s in sizes):9,d} / {sum(s[2] for s in sizes):9,d}")
        print("first frame, ms after the navigation began (after the load event): " +
              ", ".join(f"{started:.0f} ({started - load:.0f})" for started, load in firsts))
        page = web_test.Page(work, "bench")
        try:
            deep = os.path.join(work, "deep")
            os.makedirs(deep)
            subprocess.run([os.path.join(build, "bench", "busy_save"), "10000", "3", "3", "3"], cwd=deep, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            with open(os.path.join(deep, "save.dat"), "rb") as f:
                deep_save = f.read()
            fresh, deep_starts = [], []
            for _ in range(3):
                fresh.append(run_page(page, server, {"frames": 1}, [("setting.ini", b"[Setting]\r\n")])[0]["startup"])
                deep_starts.append(run_page(page, server, {"frames": 1}, [("save.dat", deep_save)])[0]["startup"])
            print("start-up (settings, level 1, the saved game), ms: " + ", ".join(map(str, fresh)) + " without a save; " +
                  ", ".join(map(str, deep_starts)) + " restoring level 10,000 (the level table's last entry)")

            busy = os.path.join(work, "busy")
            os.makedirs(busy)
            demo = subprocess.run([os.path.join(build, "bench", "busy_save"), "20"], cwd=busy, check=True,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
            with open(os.path.join(busy, "save.dat"), "rb") as f:
                busy_save = f.read()
            for label, setting, options, files, demo_text in (
                    ("level 1, start room", "FPS=1", {"frames": 600}, [], None),
                    ("level 20, busy view, textured", "Wall=1\r\nFPS=1", {"frames": 300}, [("save.dat", busy_save)], demo)):
                fps = []
                for _ in range(3):
                    # A fresh start each run (run_page empties the storage): level 1 needs no
                    # save, level 20 its own.
                    stored = [("setting.ini", f"[Setting]\r\n{setting}\r\n".encode())] + files
                    fps.append(run_page(page, server, options, stored, demo_text)[2])
                    loads.append(os.getloadavg()[0])
                print(f"in-game meter, {label}: " + ", ".join(f"{v:.1f}" for v in fps) + " FPS")
        finally:
            page.quit()
    finally:
        server.stop()
    print(f"load average (1 min) during the runs: {min(loads):.1f} to {max(loads):.1f}")


if __name__ == "__main__":
    main()
