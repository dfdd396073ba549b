"""Opens a page in headless Chromium over the DevTools protocol (on a pipe, so no port and
no extra package) and reports what a person would see: the rendered text, a screenshot,
every request the page made, and every console error or uncaught exception."""

import base64
import fcntl
import json
import os
import shutil
import subprocess
import tempfile
from dataclasses import dataclass, field

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


@dataclass
class PageVisit:
    text: str = ""
    screenshot: bytes = b""
    requests: list[str] = field(default_factory=list)
    errors: list[str] = field(default_factory=list)


class _Pipe:
    def __init__(self, write_fd, read_fd):
        self._out = os.fdopen(write_fd, "wb", buffering=0)
        self._in = os.fdopen(read_fd, "rb", buffering=0)
        self._buffer = b""
        self._next_id = 0
        self.events = []

    def _message(self):
        while b"\0" not in self._buffer:
            data = self._in.read(65536)
            if not data:
                raise RuntimeError("chromium closed the DevTools pipe")
            self._buffer += data
        raw, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(raw)

    def call(self, method, session=None, **params):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        self._out.write(json.dumps(message).encode() + b"\0")
        while True:
            reply = self._message()
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            self.events.append(reply)

    def wait_for(self, method):
        while True:
            event = self._message()
            self.events.append(event)
            if event.get("method") == method:
                return event


def _above_4(fd: int) -> int:
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD, 5)
    os.close(fd)
    return moved


def visit(path: str, width: int = 1400, height: int = 1000) -> PageVisit:
    # (read end, write end): Chromium reads commands on fd 3 and writes replies on fd 4.
    commands_read, commands_write = os.pipe()
    replies_read, replies_write = os.pipe()
    # Above 4, so moving them onto 3 and 4 in the child cannot overwrite one of them.
    commands_read, replies_write = _above_4(commands_read), _above_4(replies_write)

    def on_fds_3_and_4():
        os.dup2(commands_read, 3)
        os.dup2(replies_write, 4)

    with tempfile.TemporaryDirectory() as profile:
        browser = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--remote-debugging-pipe",
             f"--user-data-dir={profile}"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            pass_fds=(commands_read, replies_write, 3, 4), preexec_fn=on_fds_3_and_4)
        os.close(commands_read)
        os.close(replies_write)
        pipe = _Pipe(commands_write, replies_read)
        try:
            target = pipe.call("Target.createTarget", url="about:blank")["targetId"]
            session = pipe.call("Target.attachToTarget", targetId=target,
                                flatten=True)["sessionId"]
            for domain in ("Page", "Network", "Runtime", "Log"):
                pipe.call(f"{domain}.enable", session)
            pipe.call("Emulation.setDeviceMetricsOverride", session, width=width,
                      height=height, deviceScaleFactor=1, mobile=False)
            pipe.call("Page.navigate", session, url="file://" + os.path.abspath(path))
            pipe.wait_for("Page.loadEventFired")
            result = PageVisit()
            result.text = pipe.call("Runtime.evaluate", session, expression="document.body.innerText",
                                    returnByValue=True)["result"]["value"]
            shot = pipe.call("Page.captureScreenshot", session, format="png",
                             captureBeyondViewport=True)
            result.screenshot = base64.b64decode(shot["data"])
            for event in pipe.events:
                method, params = event.get("method"), event.get("params", {})
                if method == "Network.requestWillBeSent":
                    result.requests.append(params["request"]["url"])
                elif method == "Runtime.consoleAPICalled" and params["type"] in ("error", "assert"):
                    result.errors.append(json.dumps(params["args"]))
                elif method == "Runtime.exceptionThrown":
                    result.errors.append(json.dumps(params["exceptionDetails"]))
                elif method == "Log.entryAdded" and params["entry"]["level"] == "error":
                    result.errors.append(params["entry"]["text"])
            try:
                pipe.call("Browser.close")
            except RuntimeError:
                pass  # the browser may close the pipe before it answers
            return result
        finally:
            try:
                browser.wait(timeout=10)
            except subprocess.TimeoutExpired:
                browser.kill()
                browser.wait()
