#!/usr/bin/env python3
"""Start-up and handshake check of a karst_server program run by a launcher
(Wine for the Windows build). Loopback only.

Starts the server with its files in a scratch directory, waits for the first
line of its start-up report, connects over TCP to 127.0.0.1, sends one Hello and
expects a Welcome, closes, then interrupts the server and expects the stop to
save both stores. Exit code 0 on success, 1 on a failed check, 3 when the server
printed nothing within the start-up timeout (the launcher could not start it).
"""
import argparse
import os
import shlex
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HEADER = struct.Struct("<4sHHII")  # magic, version, type, payload length, sequence
MAGIC = b"KRST"
VERSION = 7
TYPE_HELLO = 1
TYPE_WELCOME = 2
HELLO_SIZE = 48
WELCOME_SIZE = 24
LISTENING = "KARST dedicated server listening on "


class Output:
    """Collects one stream's lines on a thread so the server never blocks on a full pipe."""

    def __init__(self, stream):
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for raw in stream:
            with self.cond:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\r\n"))
                self.cond.notify_all()

    def wait_for(self, prefix, timeout, process):
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for line in self.lines:
                    if line.startswith(prefix):
                        return line
                left = deadline - time.monotonic()
                if left <= 0 or process.poll() is not None:
                    return None
                self.cond.wait(min(left, 0.5))


def hello_frame():
    name = b"WineCheck".ljust(24, b"\0")
    payload = name + bytes([1]) + bytes([10, 20, 30]) + bytes(4) + bytes(range(1, 17))
    assert len(payload) == HELLO_SIZE
    return HEADER.pack(MAGIC, VERSION, TYPE_HELLO, HELLO_SIZE, 1) + payload


def read_exact(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise ConnectionError("server closed after %d of %d bytes" % (len(data), count))
        data += chunk
    return data


def handshake(port, timeout):
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
        sock.sendall(hello_frame())
        magic, version, kind, length, _ = HEADER.unpack(read_exact(sock, HEADER.size))
        if (magic, version, kind, length) != (MAGIC, VERSION, TYPE_WELCOME, WELCOME_SIZE):
            raise ValueError("expected Welcome, got magic=%r version=%d type=%d length=%d"
                             % (magic, version, kind, length))
        player_id = struct.unpack_from("<I", read_exact(sock, length))[0]
        return player_id


def launcher_broken(stderr_lines):
    return not stderr_lines or any(line.startswith(("wine:", "err:")) for line in stderr_lines)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def stop(server, launcher_kill):
    # Wine forwards SIGINT to the program as a console Ctrl+C event.
    server.send_signal(signal.SIGINT)
    try:
        return server.wait(timeout=20)
    except subprocess.TimeoutExpired:
        if launcher_kill:
            subprocess.run(shlex.split(launcher_kill), check=False)
        server.kill()
        server.wait()
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("server", help="path to karst_server(.exe)")
    parser.add_argument("--launcher", default="", help="command that runs the program, e.g. wine64")
    parser.add_argument("--launcher-kill", default="", help="command that ends what is left, e.g. 'wineserver -k'")
    parser.add_argument("--startup-timeout", type=float, default=120)
    parser.add_argument("--timeout", type=float, default=20)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="karst-wine-check-")
    # Windows line ends, as an operator's editor would save the file.
    with open(os.path.join(work, "server.ini"), "wb") as ini:
        ini.write(b"[server]\r\nname=Wine check\r\nproxies=2\r\n[master]\r\nlisted=false\r\n")
    port = free_port()
    command = shlex.split(args.launcher) + [os.path.abspath(args.server), "--config", "server.ini",
                                            "--bind", "127.0.0.1", "--port", str(port), "--private"]
    server = subprocess.Popen(command, cwd=work, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = Output(server.stdout), Output(server.stderr)
    failures = []
    listening = out.wait_for(LISTENING, args.startup_timeout, server)
    if listening is None:
        exited = server.poll() is not None
        code = stop(server, args.launcher_kill)
        print("server printed no start-up report in %.0f s (exit %s); stderr: %s"
              % (args.startup_timeout, code, " | ".join(err.lines[-5:])))
        # A program that ran and failed is a failure; one that never got going is the launcher's.
        return 1 if exited and not launcher_broken(err.lines) else 3
    print("start-up:", listening)
    try:
        player_id = handshake(port, args.timeout)
        print("handshake: Welcome for player", player_id)
        if out.wait_for("player %d connected as WineCheck" % player_id, args.timeout, server) is None:
            failures.append("no 'connected as' line on standard output")
        if out.wait_for("player %d disconnected" % player_id, args.timeout, server) is None:
            failures.append("no 'disconnected' line after the client closed")
    except (OSError, ValueError) as error:
        failures.append("handshake failed: %s" % error)

    code = stop(server, args.launcher_kill)
    print("stop: exit code", code)
    if code != 0:
        failures.append("server did not stop cleanly on the interrupt (exit %s)" % code)
    for store in ("karst-profile-store.bin", "karst-pibo-store.bin"):
        if not os.path.isfile(os.path.join(work, "SAVEDATA", store)):
            failures.append("SAVEDATA/%s was not written at stop" % store)
    if out.wait_for("Loaded server config server.ini", 0, server) is None:
        failures.append("server.ini with Windows line ends was not loaded")
    metrics = os.path.join(work, "SAVEDATA", "karst-metrics.json")
    if not os.path.isfile(metrics):
        failures.append("SAVEDATA/karst-metrics.json was not written")
    savedata = os.path.join(work, "SAVEDATA")
    leftovers = [n for n in os.listdir(savedata) if n.endswith(".tmp")] if os.path.isdir(savedata) else []
    if leftovers:
        failures.append("temporary files left behind: %s" % ", ".join(leftovers))
    for line in out.lines + err.lines:
        print("  server:", line)
    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
