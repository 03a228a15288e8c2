#!/usr/bin/env python3
"""Quorvel against quote servers that keep the line open but stop being a
server, over real sockets, with the program's own timings.

A proxy stands between the terminal and the local quote server. It passes
everything through until the board is up, then, on that first connection,
turns into one of three half-dead servers:
  slowframe  a frame that announces 100,000 bytes, then one byte a second
  noanswer   sends nothing more (heartbeats go unanswered)
  noread     stops reading the terminal (its heartbeats fill the socket)
Later connections pass through again. For each, the terminal's log must show
the loss and the first reconnection attempt within 20 s of the change, then a
successful reconnection after which quotes flow again. A last run against a
server that refuses the login must end with -1 and the refusal in the log.

Usage: bench/link/halfdead.py BUILD_DIR   (prints one line per case; exit 1 on a miss)
"""

import datetime
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

LOSS = "行情连接断开"
RETRY = "行情重连……"
BACK = "行情重连成功"
REFUSED = "行情服务器拒绝登录"
LIMIT_S = 20.0


def start_quote_server(build, *options):
    proc = subprocess.Popen([os.path.join(build, "bin", "quote-server"), "--port", "0", *options],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    port = int(proc.stdout.readline().split()[0].split(":")[-1])
    return proc, port


class Proxy:
    def __init__(self, upstream, mode):
        self.upstream, self.mode = upstream, mode
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.connections = 0
        self.turned_at = None  # when the first connection turned half-dead
        self.bytes_after = 0  # server bytes passed on later connections
        self.turn = threading.Event()
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            client, _ = self.listener.accept()
            self.connections += 1
            server = socket.create_connection(("127.0.0.1", self.upstream))
            first = self.connections == 1
            threading.Thread(target=self.up, args=(client, server, first), daemon=True).start()
            threading.Thread(target=self.down, args=(client, server, first), daemon=True).start()

    def up(self, client, server, first):
        while True:
            if first and self.turn.is_set() and self.mode == "noread":
                time.sleep(1)
                continue
            try:
                data = client.recv(65536)
            except OSError:
                data = b""
            if not data:
                server.close()
                return
            if not (first and self.turn.is_set()):
                server.sendall(data)

    def down(self, client, server, first):
        while True:
            try:
                data = server.recv(65536)
            except OSError:
                data = b""
            if not data:
                return
            if first and self.turn.is_set():
                break
            client.sendall(data)
            if not first:
                self.bytes_after += len(data)
        # Half-dead from here on: the line stays open.
        server.close()
        if self.mode == "slowframe":
            try:
                client.sendall(b"\xa0\x86\x01\x00")
                while True:
                    time.sleep(1)
                    client.sendall(b"\x00")
            except OSError:
                return


def log_lines(log_path, offset):
    try:
        with open(log_path, "rb") as f:
            f.seek(offset)
            return f.read().decode("utf-8", "replace").splitlines()
    except FileNotFoundError:
        return []


def stamp(line):
    # "YYYY-MM-DD hh:mm:ss mmm [LEVEL] ..."
    t = datetime.datetime.strptime(line[:19], "%Y-%m-%d %H:%M:%S")
    return t.timestamp() + int(line[20:23]) / 1000.0


def first_after(lines, text, since):
    for line in lines:
        if text in line and stamp(line) >= since - 0.002:
            return stamp(line)
    return None


def run_terminal(build, port, workdir):
    with open(os.path.join(workdir, "TradeConfig.xml"), "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<root>\n'
                f'  <Quote ip="127.0.0.1" port="{port}" username="demo" password="demo"/>\n'
                '  <LeanCloud id="a" key="k" productID="quorvel-demo" channelName="official"'
                ' trigger_time="600" reg_class="demo"/>\n</root>\n')
    resources = os.path.join(workdir, "Resources")
    if not os.path.exists(resources):
        os.symlink(os.path.join(build, "bin", "Resources"), resources)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    return subprocess.Popen([os.path.join(build, "bin", "Quorvel")], cwd=workdir, env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    log_path = os.path.join(build, "bin", "Logs", "Quorvel_%s.log" % time.strftime("%Y%m%d"))
    workdir = tempfile.mkdtemp(prefix="halfdead-")
    missed = 0
    server, upstream = start_quote_server(build)
    try:
        for mode in ("slowframe", "noanswer", "noread"):
            proxy = Proxy(upstream, mode)
            offset = os.path.getsize(log_path) if os.path.exists(log_path) else 0
            term = run_terminal(build, proxy.port, workdir)
            time.sleep(8)  # start-up, the board filling
            proxy.turn.set()
            turned = time.time()
            deadline = turned + 60
            loss = retry = back = None
            while time.time() < deadline and not (back and proxy.bytes_after > 10000):
                time.sleep(0.5)
                lines = log_lines(log_path, offset)
                loss = loss or first_after(lines, LOSS, turned)
                retry = retry or first_after(lines, RETRY, turned)
                back = back or first_after(lines, BACK, turned)
            term.send_signal(signal.SIGTERM)
            term.wait(timeout=20)
            ok = loss is not None and retry is not None and retry - turned <= LIMIT_S \
                and back is not None and proxy.bytes_after > 10000
            missed += not ok
            fmt = lambda t: "-" if t is None else "%.1f s" % (t - turned)
            print("%-9s loss logged %s, first reconnection %s, back %s, %d bytes after: %s"
                  % (mode, fmt(loss), fmt(retry), fmt(back), proxy.bytes_after, "ok" if ok else "MISSED"))
    finally:
        server.kill()

    refusing, port = start_quote_server(build, "--refuse-login")
    try:
        offset = os.path.getsize(log_path) if os.path.exists(log_path) else 0
        started = time.time()
        code = run_terminal(build, port, workdir).wait(timeout=60)
        line = next((l for l in log_lines(log_path, offset) if REFUSED in l), None)
        ok = code == 255 and line is not None
        missed += not ok
        print("refused   exit %d after %.1f s, log: %s: %s"
              % (code, time.time() - started, line[24:] if line else "-", "ok" if ok else "MISSED"))
    finally:
        refusing.kill()
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
