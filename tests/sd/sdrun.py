"""speech-dispatcher with the sd_qzusbd module, speaking on qzsim, all in one
private directory: the runtime and config directories, the daemon's socket,
configuration and logs. Used by the end-to-end test and the latency bench."""
import contextlib
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time


class Failure(Exception):
    pass


def wait_for(predicate, what, timeout=30.0, cond=None):
    """The first true value of predicate(), tested again each time cond (a
    threading.Condition) is notified, or without cond every few milliseconds
    (for what only files show); the time-out only bounds a failure."""
    deadline = time.monotonic() + timeout
    with cond or contextlib.nullcontext():
        while True:
            value = predicate()
            left = deadline - time.monotonic()
            if value or left <= 0:
                break
            cond.wait(left) if cond else time.sleep(min(left, 0.005))
    if not value:
        raise Failure("timed out waiting for " + what)
    return value


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except FileNotFoundError:
        return ""


# The simulator and the daemon end with the test process, even when a time-out
# kills it (util-linux's setpriv sets the parent-death signal, then runs them).
DIE_WITH_PARENT = ["setpriv", "--pdeathsig", "TERM"] if shutil.which("setpriv") else []


class Run:
    def __init__(self, qzsim, module, library, rate=100):
        qzsim, module, library = (os.path.abspath(p) for p in (qzsim, module, library))
        self.qzsim, self.rate = qzsim, rate
        self.dir = tempfile.mkdtemp(prefix="qz-sd-")  # private to this user
        self.socket = os.path.join(self.dir, "speechd.sock")
        self.conf = os.path.join(self.dir, "conf")
        self.logs = os.path.join(self.dir, "log")
        xdg = os.path.join(self.dir, "xdg")
        for d in (os.path.join(self.conf, "modules"), self.logs, xdg):
            os.makedirs(d, mode=0o700)
        with open(os.path.join(self.conf, "speechd.conf"), "w") as f:
            f.write('CommunicationMethod "unix_socket"\nSocketPath "%s"\nLogLevel 4\nLogDir "%s"\n'
                    'AddModule "qzusbd" "%s" "qzusbd.conf"\nDefaultModule qzusbd\n'
                    % (self.socket, self.logs, module))
        with open(os.path.join(self.conf, "modules", "qzusbd.conf"), "w") as f:
            f.write('# The library of this build.\nQzusbdLibrary "%s"\n' % library)
        self.env = dict(os.environ, QZUSBD_RUNTIME_DIR=self.dir, QZUSBD_CONFIG_DIR=self.dir,
                        XDG_RUNTIME_DIR=xdg, XDG_CONFIG_HOME=xdg, HOME=self.dir,
                        SPEECHD_ADDRESS="unix_socket:" + self.socket)
        self.env.pop("QZUSBD_LIBRARY", None)
        self.sim = self.daemon = self.log_path = None
        self.sims, self.log_read = 0, (None, 0, [])

    # The simulator: each start has its own transcript and log.
    def start_sim(self):
        self.sims += 1
        self.transcript_path = os.path.join(self.dir, "transcript%d" % self.sims)
        self.log_path = os.path.join(self.dir, "qzsim%d.log" % self.sims)
        self.sim = subprocess.Popen(
            DIE_WITH_PARENT + [self.qzsim, "--runtime-dir", self.dir, "--rate", str(self.rate),
             "--transcript", self.transcript_path, "--log", self.log_path],
            stdin=subprocess.DEVNULL, env=self.env)
        wait_for(lambda: any(e.get("event") == "plugged" for e in self.sim_log()), "qzsim to listen")

    def kill_sim(self):
        self.sim.send_signal(signal.SIGKILL)
        self.sim.wait()

    def transcript(self):
        return read(self.transcript_path)

    def sim_log(self):
        """The simulator's log so far (read on from where the last call stopped)."""
        if self.log_read[0] != self.log_path:
            self.log_read = (self.log_path, 0, [])
        path, offset, entries = self.log_read
        try:
            with open(path, "rb") as f:
                f.seek(offset)
                data = f.read()
        except FileNotFoundError:
            return entries
        complete = data[:data.rfind(b"\n") + 1]
        entries += [json.loads(line) for line in complete.splitlines()]
        self.log_read = (path, offset + len(complete), entries)
        return entries

    def cancels(self):
        return sum(1 for e in self.sim_log() if e.get("event") == "cancel")

    def module_log(self):
        return read(os.path.join(self.logs, "qzusbd.log"))

    def start_daemon(self):
        self.daemon_out = open(os.path.join(self.logs, "daemon.out"), "w")
        self.daemon = subprocess.Popen(
            DIE_WITH_PARENT + ["speech-dispatcher", "-s", "-t", "0", "-C", self.conf, "-S", self.socket,
             "-c", "unix_socket", "-L", self.logs, "-P", os.path.join(self.dir, "speechd.pid")],
            stdin=subprocess.DEVNULL, stdout=self.daemon_out, stderr=subprocess.STDOUT, env=self.env)

        def answers():
            if self.daemon.poll() is not None:
                raise Failure("speech-dispatcher ended at start (see %s)" % self.logs)
            try:
                Client(self.socket).close()
                return True
            except OSError:
                return False
        wait_for(answers, "speech-dispatcher to listen")

    def daemon_running(self):
        return self.daemon is not None and self.daemon.poll() is None

    def spd_say(self, *args, timeout=60):
        return subprocess.run(["spd-say", *args], env=self.env, stdin=subprocess.DEVNULL,
                              timeout=timeout).returncode

    def close(self, keep=False):
        for p in (self.daemon, self.sim):
            if p is not None and p.poll() is None:
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        if keep:
            print("kept for inspection: " + self.dir)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)


class Client:
    """A speech-dispatcher client speaking SSIP on the socket, with every
    event notification on; events are kept with their arrival time."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.replies, self.events, self.closed = [], [], False
        self.lock = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def setup(self, name="e2e"):
        self.request("SET SELF CLIENT_NAME user:%s:main" % name, "2")
        self.request("SET SELF NOTIFICATION ALL on", "2")
        self.request("SET SELF SSML_MODE on", "2")
        return self

    def _read(self):
        lines = []
        try:
            with self.sock.makefile("rb") as stream:
                for raw in stream:
                    line = raw.rstrip(b"\r\n").decode("utf-8", "replace")
                    lines.append(line)
                    if line[3:4] == "-":  # more lines of the reply follow
                        continue
                    code, body, lines = line[:3], [l[4:] for l in lines], []
                    with self.lock:
                        if code.startswith("7"):
                            self.events.append((time.monotonic(), int(code), body))
                        else:
                            self.replies.append((code, body))
                        self.lock.notify_all()
        except (OSError, ValueError):  # the socket closed under the reader
            pass
        with self.lock:
            self.closed = True
            self.lock.notify_all()

    def request(self, line, expect=None, name=None):
        """Sends line and returns the reply; name (by default line) names it in failures."""
        name = name or line
        self.sock.sendall(line.encode() + b"\r\n")
        wait_for(lambda: self.replies or self.closed, "the reply to " + name, cond=self.lock)
        with self.lock:
            if not self.replies:
                raise Failure("speech-dispatcher closed the connection after " + name)
            code, body = self.replies.pop(0)
        if expect is not None and not code.startswith(expect):
            raise Failure("%s: expected %s, got %s %s" % (name, expect, code, body))
        return code, body

    def speak(self, text):
        self.request("SPEAK", "230")
        data = "\r\n".join("." + l if l.startswith(".") else l for l in text.split("\n"))
        return self.request(data + "\r\n.", "225", "SPEAK")[1][0]  # the message id

    def wait_event(self, message, codes, timeout=60):
        """The first event of the message with one of the codes."""
        return wait_for(lambda: next((e for e in self.events if e[1] in codes and e[2] and e[2][0] == message),
                                     None),
                        "event %s of message %s" % (codes, message), timeout, self.lock)

    def marks(self, message):
        with self.lock:
            return [(t, body[2]) for t, code, body in self.events
                    if code == 700 and body[0] == message and len(body) > 2]

    def close(self):
        try:
            self.sock.sendall(b"QUIT\r\n")
        except OSError:
            pass
        self.sock.close()
