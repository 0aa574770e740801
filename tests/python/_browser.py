"""Headless chromium driven over the DevTools protocol on a pipe (no network port)."""

import base64
import json
import os
import shutil
import subprocess
import tempfile
import time


class BrowserUnavailable(RuntimeError):
    pass


def find_chromium():
    for name in ("chromium", "chromium-browser", "chromium-headless-shell"):
        path = shutil.which(name)
        if path:
            return path
    return None


class Browser:
    """One headless chromium with one page. Collects console messages,
    uncaught exceptions and failed loads of every page it opens."""

    def __init__(self, timeout=20.0):
        exe = find_chromium()
        if exe is None:
            raise BrowserUnavailable("no chromium executable on PATH")
        self.timeout = timeout
        self.profile = tempfile.mkdtemp(prefix="review-browser-")
        to_chrome_r, self._w = os.pipe()
        self._r, from_chrome_w = os.pipe()

        def child_fds():
            os.dup2(to_chrome_r, 3)
            os.dup2(from_chrome_w, 4)

        args = [exe, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--disable-extensions", "--disable-background-networking", "--mute-audio",
                "--remote-debugging-pipe", f"--user-data-dir={self.profile}", "about:blank"]
        try:
            self.proc = subprocess.Popen(args, pass_fds=(3, 4), preexec_fn=child_fds,
                                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)
        except OSError as e:
            raise BrowserUnavailable(f"chromium did not start: {e}") from None
        finally:
            os.close(to_chrome_r)
            os.close(from_chrome_w)
        self._buf = b""
        self._id = 0
        self.events = []
        try:
            target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
            self.session = self.call("Target.attachToTarget",
                                     {"targetId": target, "flatten": True})["sessionId"]
        except (EOFError, OSError, TimeoutError, KeyError) as e:
            self.close()
            raise BrowserUnavailable(f"chromium did not answer: {e}") from None
        for domain in ("Page", "Runtime", "Log"):
            self.call(domain + ".enable", session=True)

    # -- protocol -----------------------------------------------------------
    def _recv(self, deadline):
        import select

        while b"\0" not in self._buf:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._r], [], [], left)[0]:
                raise TimeoutError("chromium did not answer in time")
            chunk = os.read(self._r, 1 << 16)
            if not chunk:
                raise EOFError("chromium closed the pipe")
            self._buf += chunk
        msg, self._buf = self._buf.split(b"\0", 1)
        return json.loads(msg)

    def call(self, method, params=None, session=False):
        self._id += 1
        msg = {"id": self._id, "method": method, "params": params or {}}
        if session:
            msg["sessionId"] = self.session
        os.write(self._w, json.dumps(msg).encode() + b"\0")
        deadline = time.monotonic() + self.timeout
        while True:
            m = self._recv(deadline)
            if m.get("id") == self._id:
                if "error" in m:
                    raise RuntimeError(f"{method}: {m['error']}")
                return m.get("result", {})
            self.events.append(m)

    # -- pages --------------------------------------------------------------
    def open(self, path, width=1280, height=800, mobile=False):
        """Loads a file and waits for its load event (images included)."""
        self.call("Emulation.setDeviceMetricsOverride",
                  {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile},
                  session=True)
        self.events.clear()
        self.call("Page.navigate", {"url": "file://" + os.path.abspath(path)}, session=True)
        deadline = time.monotonic() + self.timeout
        while not any(e.get("method") == "Page.loadEventFired" for e in self.events):
            self.events.append(self._recv(deadline))

    def evaluate(self, expression):
        r = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                           "awaitPromise": True}, session=True)
        if "exceptionDetails" in r:
            raise RuntimeError(f"script failed: {r['exceptionDetails']}")
        return r["result"].get("value")

    def problems(self):
        """Console errors and warnings, uncaught exceptions and failed loads."""
        out = []
        for e in self.events:
            m, p = e.get("method"), e.get("params", {})
            if m == "Runtime.exceptionThrown":
                out.append(("exception", json.dumps(p.get("exceptionDetails"))[:300]))
            elif m == "Runtime.consoleAPICalled" and p.get("type") in ("error", "warning",
                                                                           "assert"):
                out.append(("console", json.dumps(p.get("args"))[:300]))
            elif m == "Log.entryAdded" and p["entry"].get("level") in ("error", "warning"):
                out.append(("log", p["entry"].get("text", "") + " " + p["entry"].get("url", "")))
        return out

    def screenshot(self, path):
        """The whole page (not just the viewport) as a PNG."""
        metrics = self.call("Page.getLayoutMetrics", session=True)
        size = metrics.get("cssContentSize") or metrics["contentSize"]
        shot = self.call("Page.captureScreenshot", {
            "format": "png", "captureBeyondViewport": True,
            "clip": {"x": 0, "y": 0, "width": size["width"], "height": size["height"],
                     "scale": 1}}, session=True)
        with open(path, "wb") as f:
            f.write(base64.b64decode(shot["data"]))

    def close(self):
        try:
            self.call("Browser.close")
        except (EOFError, OSError, TimeoutError, RuntimeError):
            pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        for fd in (self._w, self._r):
            try:
                os.close(fd)
            except OSError:
                pass
        shutil.rmtree(self.profile, ignore_errors=True)
