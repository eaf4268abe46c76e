"""A headless Chromium driven over the DevTools protocol, for the browser tests.

The browser talks over two pipes (`--remote-debugging-pipe`: it reads commands from file
descriptor 3 and writes answers and events to 4, each a JSON text ended by a NUL byte), so no port
is opened and no library beyond the standard one is needed. One page is opened and attached; the
page's console errors and uncaught exceptions are collected in `errors`.
"""

from __future__ import annotations

import base64
import fcntl
import json
import os
import queue
import subprocess
import threading
import time
from typing import Any


class DevToolsError(Exception):
    pass


class Browser:
    def __init__(self, path: str, home: str, width: int = 1280, height: int = 800) -> None:
        to_browser_read, self._to_browser = os.pipe()
        self._from_browser, from_browser_write = os.pipe()
        # The browser's ends move above 9 first, so that putting them at 3 and 4 cannot
        # close one of them.
        high = []
        for fd in (to_browser_read, from_browser_write):
            high.append(fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10))
            os.close(fd)
        to_browser_read, from_browser_write = high
        # The browser gets neither a sanitizer runtime preloaded into this interpreter nor its options.
        env = {key: value for key, value in os.environ.items()
               if key not in ("LD_PRELOAD", "PYTHONMALLOC") and not key.endswith("SAN_OPTIONS")}
        env["HOME"] = home
        command = [path, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                   "--remote-debugging-pipe", "--no-first-run", "--no-default-browser-check",
                   f"--user-data-dir={home}/profile", "--force-device-scale-factor=1",
                   "--disable-extensions", "--disable-background-networking",
                   f"--window-size={width},{height}", "about:blank"]
        # The shell puts the two pipe ends at descriptors 3 and 4, where the browser looks.
        shell = ('exec "$@" 3<&%d 4>&%d %d<&- %d>&-'
                 % (to_browser_read, from_browser_write, to_browser_read, from_browser_write))
        self.process = subprocess.Popen(
            ["bash", "-c", shell, "bash", *command], pass_fds=(to_browser_read, from_browser_write),
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
        os.close(to_browser_read)
        os.close(from_browser_write)
        self._next = 0
        self._answers: dict[int, queue.Queue[dict[str, Any]]] = {}
        self._lock = threading.Lock()
        self.events: list[dict[str, Any]] = []
        self.errors: list[str] = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self.session = ""
        target = self.call("Target.createTarget", url="about:blank", session=None)["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True,
                                 session=None)["sessionId"]
        for domain in ("Page", "Runtime", "Log"):
            self.call(f"{domain}.enable")
        self.size(width, height)

    def _read(self) -> None:
        pending = b""
        while True:
            try:
                chunk = os.read(self._from_browser, 1 << 16)
            except OSError:
                chunk = b""
            if not chunk:
                with self._lock:
                    for waiting in self._answers.values():
                        waiting.put({"error": {"message": "the browser closed its pipe"}})
                return
            pending += chunk
            while b"\0" in pending:
                text, pending = pending.split(b"\0", 1)
                message = json.loads(text)
                if "id" in message:
                    with self._lock:
                        waiting = self._answers.get(message["id"])
                    if waiting is not None:
                        waiting.put(message)
                else:
                    self._event(message)

    def _event(self, message: dict[str, Any]) -> None:
        self.events.append(message)
        method, params = message.get("method"), message.get("params", {})
        if method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            self.errors.append(" ".join(str(a.get("value", a.get("description", "")))
                                        for a in params.get("args", [])))
        elif method == "Runtime.exceptionThrown":
            details = params.get("exceptionDetails", {})
            self.errors.append(details.get("exception", {}).get("description")
                               or details.get("text", "exception"))
        elif method == "Log.entryAdded" and params.get("entry", {}).get("level") == "error":
            self.errors.append(params["entry"].get("text", ""))

    def call(self, method: str, session: str | None | bool = True, timeout: float = 60,
             **params: Any) -> dict[str, Any]:
        with self._lock:
            self._next += 1
            ident = self._next
            self._answers[ident] = answer = queue.Queue()
        message: dict[str, Any] = {"id": ident, "method": method, "params": params}
        if session is True and self.session:
            message["sessionId"] = self.session
        elif isinstance(session, str):
            message["sessionId"] = session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        try:
            reply = answer.get(timeout=timeout)
        except queue.Empty:
            raise DevToolsError(f"{method}: no answer in {timeout} s") from None
        finally:
            with self._lock:
                del self._answers[ident]
        if "error" in reply:
            raise DevToolsError(f"{method}: {reply['error'].get('message')}")
        return reply.get("result", {})  # type: ignore[no-any-return]

    # What the tests do ------------------------------------------------------------------
    def size(self, width: int, height: int, mobile: bool = False) -> None:
        self.call("Emulation.setDeviceMetricsOverride", width=width, height=height,
                  deviceScaleFactor=1, mobile=mobile)

    def open(self, url: str, timeout: float = 30) -> None:
        self.call("Page.navigate", url=url)
        self.wait("document.readyState === 'complete'", timeout)

    def tab(self, url: str) -> str:
        """Open `url` in another tab; its session, for `js(..., session=...)`."""
        target = self.call("Target.createTarget", url=url, session=None)["targetId"]
        return self.call("Target.attachToTarget", targetId=target, flatten=True,  # type: ignore[no-any-return]
                         session=None)["sessionId"]

    def js(self, expression: str, session: str | bool = True) -> Any:
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                           awaitPromise=True, session=session)
        if "exceptionDetails" in result:
            raise DevToolsError(f"{expression}: {result['exceptionDetails'].get('text')}")
        return result["result"].get("value")

    def wait(self, expression: str, timeout: float = 30) -> Any:
        end = time.monotonic() + timeout
        while True:
            value = self.js(expression)
            if value:
                return value
            if time.monotonic() > end:
                raise DevToolsError(f"still false after {timeout} s: {expression}")
            time.sleep(0.05)

    def click(self, x: float, y: float) -> None:
        self.call("Input.dispatchMouseEvent", type="mouseMoved", x=x, y=y)
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left",
                      clickCount=1)

    def move(self, x: float, y: float) -> None:
        self.call("Input.dispatchMouseEvent", type="mouseMoved", x=x, y=y)

    _KEYS = {"Enter": ("Enter", 13, "\r"), "Tab": ("Tab", 9, ""), "Escape": ("Escape", 27, ""),
             "ArrowUp": ("ArrowUp", 38, ""), "ArrowDown": ("ArrowDown", 40, ""),
             "ArrowLeft": ("ArrowLeft", 37, ""), "ArrowRight": ("ArrowRight", 39, ""),
             " ": ("Space", 32, " "), "[": ("BracketLeft", 219, "["),
             "]": ("BracketRight", 221, "]"), "r": ("KeyR", 82, "r"), "R": ("KeyR", 82, "R"),
             "f": ("KeyF", 70, "f"), "n": ("KeyN", 78, "n")}

    def key(self, name: str, shift: bool = False) -> None:
        code, number, text = self._KEYS[name]
        common = {"key": name, "code": code, "windowsVirtualKeyCode": number,
                  "modifiers": 8 if shift else 0}
        self.call("Input.dispatchKeyEvent", type="keyDown" if text else "rawKeyDown",
                  text=text, **common)
        self.call("Input.dispatchKeyEvent", type="keyUp", **common)

    def screenshot(self) -> bytes:
        return base64.b64decode(self.call("Page.captureScreenshot", format="png")["data"])

    def close(self) -> None:
        try:
            self.call("Browser.close", session=None, timeout=10)
        except DevToolsError:
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self._to_browser)
        os.close(self._from_browser)
