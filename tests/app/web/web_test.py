#!/usr/bin/env python3
"""The browser game end to end: Debian's Chromium (headless, SwiftShader) driven through
chromium-driver, the page served by the real orlith-server (--web-root), the Linux build beside it.

  web_test.py offline ...  levels.demo plays levels 1 and 2 in the page: the end state is the Linux
                           build's, the last picture as the page shows it matches the Linux build's
                           (mean difference per channel under 6, HUD panel included), and the
                           save.dat of its F4 is the Linux build's and survives a reload of the page,
                           whose game, its HUD switched off with D, shows the Linux build's picture
  web_test.py online ...   two pages and a Linux game online see each other in their rankings and as
                           arrows; alice's nickname with another PIN gets the refusal; the server
                           stopped under a running page gives the exchange's error box, and the game
                           ends when it is answered

Every wait is for something the page signals (window.orlith.signals, its 'orlith' events) or shows,
or for a process to end; the time-outs are safety nets only. Every path out stops the browsers, the
games and the server this test started.
usage: web_test.py offline|online --site DIR --server ORLITH_SERVER --game ORLITH --work DIR
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import urllib.parse
import zlib
from contextlib import ExitStack

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

SAFETY = 300  # seconds: the most any one wait may take before the test gives up
HERE = os.path.dirname(os.path.abspath(__file__))
OTHER_PIN = "ニックネームが登録済みで、\n暗証番号が違います。"
NEW_NICKNAME = "新しいニックネームでスタートしますか？"
SERVER_GONE = "line 3442 : error in HttpSendRequest\ncode = 12029"  # WinINet's "cannot connect"


class Server:
    """orlith-server on a free loopback port, serving the web game."""

    def __init__(self, binary, site, work):
        self.log = open(os.path.join(work, "server.log"), "w")
        self.process = subprocess.Popen(
            [binary, "--host", "127.0.0.1", "--port", "0", "--admin-port", "0", "--threads", "2",
             "--db", os.path.join(work, "ranking.db"), "--web-root", site],
            stdout=subprocess.PIPE, stderr=self.log, text=True)
        self.port = None
        for line in self.process.stdout:  # the listening line, or the end of the output
            if "listening on" in line:
                self.port = int(line.split("listening on ")[1].split()[0].rsplit(":", 1)[1])
                break
        if self.port is None:
            self.stop()
            raise RuntimeError("orlith-server did not start; see " + self.log.name)

    def stop(self):
        if self.log.closed:
            return
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(SAFETY)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        self.log.close()


class Page:
    """One Chromium with one page of the game, its viewport 1024 x 576."""

    def __init__(self, work, name):
        profile = os.path.join(work, "chromium-" + name)
        shutil.rmtree(profile, ignore_errors=True)
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("--headless=new", "--use-angle=swiftshader", "--enable-unsafe-swiftshader", "--no-sandbox",
                     "--user-data-dir=" + profile, "--disable-background-timer-throttling",
                     "--disable-renderer-backgrounding", "--disable-backgrounding-occluded-windows"):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        service = Service("/usr/bin/chromedriver", log_path=os.path.join(work, "chromedriver-" + name + ".log"))
        self.driver = webdriver.Chrome(service=service, options=options)
        self.driver.set_script_timeout(SAFETY)
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": 1024, "height": 576, "deviceScaleFactor": 1, "mobile": False})
        self.name = name

    def open(self, port, options, demo=None):
        query = "&".join(k if v is None else k + "=" + urllib.parse.quote(str(v)) for k, v in options.items())
        fragment = "#demo=" + urllib.parse.quote(demo, safe="") if demo else ""
        self.driver.get(f"http://127.0.0.1:{port}/?{query}{fragment}")

    def wait(self, name, least=None):
        """The page's signals once the named one is set (at least least)."""
        return self.driver.execute_async_script("""
            const [name, least, done] = arguments;
            const ready = () => { const s = window.orlith.signals;
                                  return name in s && (least === null || s[name] >= least) ? s : null; };
            if (ready()) return done(ready());
            window.addEventListener('orlith', function seen() {
                if (ready()) { window.removeEventListener('orlith', seen); done(ready()); } });""", name, least)

    def file(self, path):
        data = self.driver.execute_script("const b = window.orlith.readFile(arguments[0]); return b && Array.from(b);", path)
        return bytes(data) if data is not None else None

    def dialog(self, template):
        return WebDriverWait(self.driver, SAFETY).until(
            lambda d: d.find_elements(By.CSS_SELECTOR, f'.orlith-dialog[data-template="{template}"]'))[0]

    def message(self):
        return self.dialog("message").find_element(By.ID, "orlith-message-text").get_property("textContent")

    def click(self, element_id):
        self.driver.find_element(By.ID, element_id).click()

    def picture(self):
        """What the page shows of the canvas, as RGB rows."""
        self.driver.execute_script("for (const id of ['status', 'fullscreen']) document.getElementById(id).hidden = true;")
        return rgb_of_png(self.driver.find_element(By.ID, "canvas").screenshot_as_png)

    def console(self):
        return "\n".join(e["message"] for e in self.driver.get_log("browser"))

    def quit(self):
        self.driver.quit()


def rgb_of_png(data):
    """Width, height and RGB bytes of an 8-bit RGB or RGBA PNG without interlacing."""
    width, height, depth, kind = struct.unpack(">IIBB", data[16:26])
    assert depth == 8 and kind in (2, 6) and data[28] == 0, "an 8-bit RGB(A) PNG"
    at, packed = 8, b""
    while at < len(data):
        length, = struct.unpack(">I", data[at:at + 4])
        if data[at + 4:at + 8] == b"IDAT":
            packed += data[at + 8:at + 8 + length]
        at += 12 + length
    raw, step = zlib.decompress(packed), 3 if kind == 2 else 4
    stride, rows, previous = width * step, [], bytearray(width * step)
    for y in range(height):
        kind_of_filter, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            a = line[x - step] if x >= step else 0
            b, c = previous[x], previous[x - step] if x >= step else 0
            p = a + b - c
            line[x] = (line[x] + (0, a, b, (a + b) // 2,
                                  a if abs(p - a) <= abs(p - b) and abs(p - a) <= abs(p - c) else b if abs(p - b) <= abs(p - c) else c)
                       [kind_of_filter]) & 255
        rows.append(bytes(line) if step == 3 else bytes(v for i, v in enumerate(line) if i % 4 != 3))
        previous = line
    return width, height, b"".join(rows)


def mean_difference(a, b):
    assert a[:2] == b[:2], f"pictures of {a[:2]} and {b[:2]} pixels"
    return sum(abs(x - y) for x, y in zip(a[2], b[2])) / len(a[2])


def report(text):
    """The end state's lines, the frame rate aside (it is each run's own)."""
    return [line for line in text.splitlines() if not line.startswith("fps")]


def players_and_arrows(text):
    players = [line.split()[-1] for line in text.splitlines() if line.startswith("player ")]
    arrows = [tuple(float(v) for v in line.split()[1:4]) for line in text.splitlines() if line.startswith("arrow ")]
    position = next(tuple(float(v) for v in line.split()[1:4]) for line in text.splitlines() if line.startswith("position "))
    return players, arrows, position


def masked_save(data):
    """save.dat's line with its time stamp and checksum masked: the rest must be the same."""
    line = data.decode("utf-16-le")
    return line[:6] + "T" * 8 + line[14:line.index("&sum=")]


def linux_game(game, work, *arguments):
    """The Linux build in work, headless; its exit status."""
    os.makedirs(work, exist_ok=True)
    env = dict(os.environ, SDL_VIDEODRIVER="offscreen", LIBGL_ALWAYS_SOFTWARE="1")
    with open(os.path.join(work, "game.log"), "a") as log:
        return subprocess.run([game, "--screen", "1920x1080", *arguments], cwd=work, env=env, stdout=log,
                              stderr=log, timeout=SAFETY).returncode


def read(path):
    with open(path, "rb") as f:
        return f.read()


def offline(args, stack):
    demo_path = os.path.join(HERE, "levels.demo")
    linux = os.path.join(args.work, "linux")
    shutil.rmtree(linux, ignore_errors=True)
    assert linux_game(args.game, linux, "--offline", "--start", "--play", demo_path, "--no-pacing",
                      "--screenshot", "linux.png", "--report", "report.txt") == 0, "the Linux game failed"
    server = Server(args.server, args.site, args.work)
    stack.callback(server.stop)
    page = Page(args.work, "offline")
    stack.callback(page.quit)

    page.open(server.port, {"offline": None, "start": None, "screen": "1920x1080", "report": "/tmp/report.txt"},
              read(demo_path).decode())
    assert page.wait("ended")["ended"] == 0, page.console()
    assert report(page.file("/tmp/report.txt").decode()) == report(read(os.path.join(linux, "report.txt")).decode())
    difference = mean_difference(page.picture(), rgb_of_png(read(os.path.join(linux, "linux.png"))))
    print(f"last picture: mean difference {difference:.2f} per channel (at most 6)")
    assert difference < 6
    # The browser's gamepad as the game reads it (synthetic pads): one without the standard
    # mapping passed over; the sticks as they stand; Start, the right shoulder and the d-pad's
    # down in their places of the controller layout.
    pad = page.driver.execute_script("""
        const pressed = new Set([9, 5, 13]);
        const buttons = Array.from({length: 17}, (_, b) => ({pressed: pressed.has(b)}));
        navigator.getGamepads = () => [null, {connected: true, mapping: '', axes: [1, 1, 1, 1], buttons},
                                       {connected: true, mapping: 'standard', axes: [0.5, -1, 0.25, 0.75], buttons}];
        const at = Module._malloc(17 * 4);
        Module.orlithWeb.readPad(at);
        const values = Array.from(HEAPF32.subarray(at >> 2, (at >> 2) + 17));
        Module._free(at);
        return values;""")
    assert pad == [1, 0.5, -1, 0.25, 0.75, 0, 0, 0, 0, 0, 1, 0, 1, 0, 1, 0, 0], pad

    # F4's save.dat is in IndexedDB once flushed; a reload restores the game from it. There D
    # switches the HUD off: a picture without panels.
    page.wait("flushed", 1)
    assert masked_save(page.file("/orlith/save.dat")) == masked_save(read(os.path.join(linux, "save.dat")))
    no_hud = "orlith-demo 1\n1 68\n1 -\n1 -\n"
    with open(os.path.join(linux, "no_hud.demo"), "w") as f:
        f.write(no_hud)
    page.open(server.port, {"offline": None, "start": None, "screen": "1920x1080", "report": "/tmp/again.txt",
                            "screenshot": "/tmp/again.png"}, no_hud)
    assert page.wait("ended")["ended"] == 0, page.console()
    assert linux_game(args.game, linux, "--offline", "--start", "--play", "no_hud.demo", "--report", "again.txt",
                      "--screenshot", "again.png") == 0
    again = report(page.file("/tmp/again.txt").decode())
    assert again == report(read(os.path.join(linux, "again.txt")).decode()) and again[0] == "level 2", again
    difference = mean_difference(page.picture(), rgb_of_png(read(os.path.join(linux, "again.png"))))
    print(f"restored, without the HUD: mean difference {difference:.2f} per channel (at most 6)")
    assert difference < 6


def online(args, stack):
    server = Server(args.server, args.site, args.work)
    stack.callback(server.stop)
    target = {"server": "127.0.0.1", "port": server.port}
    quiet = "orlith-demo 1\n" + "1 -\n" * 6000  # 100 s: the test closes the page long before
    pages = {}
    for name, pin, walk in (("alice", 80613, 40), ("bob", 80624, 0)):
        pages[name] = Page(args.work, name)
        stack.callback(pages[name].quit)
        pages[name].open(server.port, {"nickname": name, "pin": pin, **target, "start": None, "screen": "1920x1080",
                                       "report": "/tmp/report.txt"}, quiet.replace("1 -\n", "1 81\n", walk))
    for page in pages.values():
        page.wait("ranking", 2)  # both registered, each seen by the other

    # The Linux game joins, walks a little and ends; the pages then see it in their lists.
    linus = os.path.join(args.work, "linus")
    shutil.rmtree(linus, ignore_errors=True)
    os.makedirs(linus)
    with open(os.path.join(linus, "walk.demo"), "w") as f:
        f.write("orlith-demo 1\n" + "1 39\n" * 20 + "1 81\n" * 25 + "1 -\n" * 120)
    assert linux_game(args.game, linus, "--nickname", "linus", "--pin", "80635", "--server", "127.0.0.1", "--port",
                      str(server.port), "--start", "--play", "walk.demo", "--report", "report.txt") == 0
    seen = {}
    for name, page in pages.items():
        page.wait("ranking", 3)
        page.driver.execute_script("window.orlith.close();")
        assert page.wait("ended")["ended"] == 0, page.console()
        seen[name] = players_and_arrows(page.file("/tmp/report.txt").decode())
    seen["linus"] = players_and_arrows(read(os.path.join(linus, "report.txt")).decode())
    for name, (players, arrows, _) in seen.items():
        others = [other for other in seen if other != name]
        assert all(o in players for o in others), f"{name} ranks {players}"
        assert all(any(max(abs(a - b) for a, b in zip(arrow, seen[o][2])) < 1e-3 for arrow in arrows) for o in others), \
            f"{name} draws arrows at {arrows}"
    print("alice, bob and linus see each other in their rankings and as arrows")

    # alice's nickname with another PIN: the registration dialog, filled from the address.
    thief = pages["alice"]
    thief.open(server.port, {"nickname": "alice", "pin": 80657, **target, "screen": "1920x1080"})
    thief.dialog("102")
    thief.click("c1")
    assert thief.message() == OTHER_PIN, thief.message()
    thief.click("orlith-ok")
    print("another PIN for alice is refused with its message")

    # A new player, then the server goes: the exchange's box over the running game; OK ends it.
    dave = pages["bob"]
    dave.open(server.port, {"nickname": "dave", "pin": 80646, **target, "screen": "1920x1080"})
    dave.dialog("102")
    dave.click("c1")
    assert dave.message() == NEW_NICKNAME, dave.message()
    dave.click("orlith-yes")
    dave.wait("ranking", 1)
    server.stop()
    assert dave.message() == SERVER_GONE, dave.message()
    dave.click("orlith-ok")
    dave.wait("ended")
    print("the server's end shows the exchange's error box, and the game ends")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("group", choices=("offline", "online"))
    for flag in ("--site", "--server", "--game", "--work"):
        parser.add_argument(flag, required=True)
    args = parser.parse_args()
    for name in ("site", "server", "game", "work"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    with ExitStack() as stack:
        {"offline": offline, "online": online}[args.group](args, stack)
    print(args.group + ": passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
