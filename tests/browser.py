"""A headless chromium driven over the DevTools protocol, for the tests and
the bench of the HTML report: no port, no download, no library but
Python's own."""
import fcntl
import json
import os
import select
import subprocess
import time


class Browser:
    """A headless chromium and one page of it, over --remote-debugging-pipe:
    JSON messages ended by a NUL byte, ours on its fd 3, its own on fd 4."""

    def __init__(self, chromium, profile):
        to_chrome_r, self.to_chrome = os.pipe()
        self.from_chrome, from_chrome_w = os.pipe()

        def wire():
            # Above the low numbers first, so that neither end overwrites the other.
            high_r = fcntl.fcntl(to_chrome_r, fcntl.F_DUPFD, 10)
            high_w = fcntl.fcntl(from_chrome_w, fcntl.F_DUPFD, 10)
            os.dup2(high_r, 3)
            os.dup2(high_w, 4)

        self.process = subprocess.Popen(
            [chromium, "--headless", "--remote-debugging-pipe", "--no-sandbox", "--disable-gpu",
             "--no-first-run", "--user-data-dir=" + profile, "about:blank"],
            preexec_fn=wire, pass_fds=(3, 4), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(to_chrome_r)
        os.close(from_chrome_w)
        self.buffer, self.next_id, self.events = b"", 0, []
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = self.call("Target.attachToTarget",
                                 {"targetId": target, "flatten": True})["sessionId"]
        for domain in ("Page", "Runtime", "Network", "Log"):
            self.call(domain + ".enable", session=True)

    def close(self):
        self.process.kill()
        self.process.wait()
        os.close(self.to_chrome)
        os.close(self.from_chrome)

    def _message(self, deadline):
        while b"\0" not in self.buffer:
            left = deadline - time.time()
            if left <= 0 or not select.select([self.from_chrome], [], [], left)[0]:
                raise TimeoutError("chromium did not answer")
            chunk = os.read(self.from_chrome, 1 << 20)
            if not chunk:
                raise EOFError("chromium closed its pipe")
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        message = json.loads(message)
        if message.get("method") == "Page.javascriptDialogOpening":
            self.events.append(message)  # answered, or the page would hang
            self.call("Page.handleJavaScriptDialog", {"accept": True}, session=True, wait=False)
        return message

    def call(self, method, params=None, session=False, wait=True, timeout=30):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = self.session
        os.write(self.to_chrome, json.dumps(message).encode() + b"\0")
        if not wait:
            return None
        mine, deadline = self.next_id, time.time() + timeout
        while True:
            answer = self._message(deadline)
            if answer.get("id") == mine:
                if "error" in answer:
                    raise RuntimeError("%s: %s" % (method, answer["error"]))
                return answer["result"]
            if "method" in answer:
                self.events.append(answer)

    def open(self, path, scripts=True, timeout=30):
        """Loads `path`, forgetting earlier events; returns the seconds the
        load took, to the load event."""
        self.call("Emulation.setScriptExecutionDisabled", {"value": not scripts}, session=True)
        self.events = []
        started = time.time()
        self.call("Page.navigate", {"url": "file://" + path}, session=True)
        deadline = started + timeout
        while not any(e.get("method") == "Page.loadEventFired" for e in self.events):
            self.events.append(self._message(deadline))
        return time.time() - started

    def evaluate(self, expression):
        answer = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True}, session=True)
        if "exceptionDetails" in answer:
            raise RuntimeError("%s: %s" % (expression[:60], answer["exceptionDetails"]))
        return answer["result"].get("value")

    def count(self, selector):
        """Elements matching `selector`, found without running any script."""
        root = self.call("DOM.getDocument", session=True)["root"]["nodeId"]
        return len(self.call("DOM.querySelectorAll", {"nodeId": root, "selector": selector},
                             session=True)["nodeIds"])

    def happened(self, method):
        return [e["params"] for e in self.events if e.get("method") == method]
