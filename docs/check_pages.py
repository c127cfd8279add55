"""Opens built pages in headless Chromium and fails on any console error, uncaught exception,
failed load or request for anything off this machine (a URL that is not file:, data: or
127.0.0.1, so that the site works offline); writes a screenshot of each page next to it (NAME.png in the docs root).

Usage: python docs/check_pages.py BUILD_DIR PAGE [PAGE ...]

Chromium is driven over its DevTools protocol on a pipe (file descriptors 3 and 4), so no
WebDriver or websocket client is needed.
"""

import base64
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from urllib.parse import urlsplit

TIMEOUT = 60.0


class Browser:
    def __init__(self, exe):
        self._to_r, self._to_w = os.pipe()      # our commands, read by Chromium on fd 3
        self._from_r, self._from_w = os.pipe()  # its replies and events, written on fd 4
        self._profile = tempfile.mkdtemp(prefix="qv-chromium-")
        args = [exe, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--disable-extensions", "--hide-scrollbars", "--remote-debugging-pipe",
                f"--user-data-dir={self._profile}", "--window-size=1280,900", "about:blank"]

        def fds():
            os.dup2(self._to_r, 3)
            os.dup2(self._from_w, 4)

        self._proc = subprocess.Popen(args, pass_fds=(3, 4), preexec_fn=fds, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
        os.close(self._to_r)
        os.close(self._from_w)
        self._buf = b""
        self._id = 0
        self.events = []

    def _read(self, deadline):
        while b"\0" not in self._buf:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._from_r], [], [], left)[0]:
                raise TimeoutError("Chromium did not answer")
            chunk = os.read(self._from_r, 1 << 20)
            if not chunk:
                raise RuntimeError("Chromium closed its pipe")
            self._buf += chunk
        msg, self._buf = self._buf.split(b"\0", 1)
        return json.loads(msg)

    def send(self, method, session=None, **params):
        self._id += 1
        msg = {"id": self._id, "method": method, "params": params}
        if session:
            msg["sessionId"] = session
        os.write(self._to_w, json.dumps(msg).encode() + b"\0")
        deadline = time.monotonic() + TIMEOUT
        while True:
            reply = self._read(deadline)
            if reply.get("id") == self._id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]
            self.events.append(reply)

    def wait_for(self, method, seconds):
        deadline = time.monotonic() + seconds
        while True:
            if any(e.get("method") == method for e in self.events):
                return
            self.events.append(self._read(deadline))

    def settle(self, seconds):
        """Collects the events of the next few seconds (late script errors)."""
        deadline = time.monotonic() + seconds
        try:
            while True:
                self.events.append(self._read(deadline))
        except TimeoutError:
            pass

    def close(self):
        os.close(self._to_w)
        try:
            self._proc.wait(10)
        except subprocess.TimeoutExpired:
            self._proc.kill()
            self._proc.wait()
        os.close(self._from_r)
        shutil.rmtree(self._profile, ignore_errors=True)


def off_machine(url):
    parts = urlsplit(url)
    return parts.scheme not in ("file", "data", "blob", "about") and parts.hostname != "127.0.0.1"


def problems(events):
    for e in events:
        method, p = e.get("method"), e.get("params", {})
        if method == "Network.requestWillBeSent" and off_machine(p["request"]["url"]):
            yield f"request off this machine: {p['request']['url']}"
        elif method == "Runtime.consoleAPICalled" and p["type"] in ("error", "assert"):
            yield "console.error: " + " ".join(str(a.get("value", a.get("description", ""))) for a in p["args"])
        elif method == "Runtime.exceptionThrown":
            d = p["exceptionDetails"]
            yield f"uncaught: {d.get('exception', {}).get('description', d.get('text'))}"
        elif method == "Log.entryAdded" and p["entry"]["level"] == "error":
            yield f"{p['entry']['source']}: {p['entry']['text']} {p['entry'].get('url', '')}".rstrip()


def check(browser, page, shot):
    target = browser.send("Target.createTarget", url="about:blank")["targetId"]
    session = browser.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
    for domain in ("Runtime", "Log", "Page", "Network"):
        browser.send(f"{domain}.enable", session)
    browser.events.clear()
    browser.send("Page.navigate", session, url=page.as_uri())
    browser.wait_for("Page.loadEventFired", TIMEOUT)
    browser.settle(1.0)
    found = list(problems(browser.events))
    png = browser.send("Page.captureScreenshot", session, format="png")["data"]
    shot.write_bytes(base64.b64decode(png))
    browser.send("Target.closeTarget", targetId=target)
    return found


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    root = Path(argv[1]).resolve()
    exe = shutil.which("chromium") or shutil.which("chromium-browser")
    if exe is None:
        sys.exit("chromium not found (Debian: apt-get install chromium)")
    browser = Browser(exe)
    failed = False
    try:
        for name in argv[2:]:
            page = root / name
            if not page.is_file():
                print(f"{name}: no such page", file=sys.stderr)
                failed = True
                continue
            shot = root / (name.replace("/", "_").removesuffix(".html") + ".png")
            found = check(browser, page, shot)
            print(f"{name}: {'ok' if not found else f'{len(found)} error(s)'}, screenshot {shot}")
            for f in found:
                print(f"  {f}", file=sys.stderr)
            failed |= bool(found)
    finally:
        browser.close()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
