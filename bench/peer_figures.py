#!/usr/bin/env python3
"""What a hostile peer costs a `talvencat -l --echo` server, over loopback only.

  bench/peer_figures.py [BUILD_DIR] [--seconds S] [--servers N] [--rss-cap-mb M]

BUILD_DIR is a build directory that holds examples/talvencat (default: build/default), so the
same script measures any checkout's build. It prints two figures:

  (a) the server's resident memory while one client sends frames as fast as it can for S
      seconds (default 60) and never reads its echoes; the run stops early, and says so, once
      the server's RSS passes M megabytes (default 1024), so that a server without flow
      control cannot exhaust the machine;
  (b) the server's CPU time for the first 1,048,570-byte frame on a new connection, from the
      connect until the whole echo is back: on the first connection of each of N freshly
      started servers (default 5), with a second new connection to the same server and a
      second frame on the same connection beside it.

CPU time is the sum over the server's threads of the scheduler's run time (/proc, Linux only).
Every wait is bounded; the whole run takes S seconds plus a few.
"""

import argparse
import os
import select
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

FRAME_PAYLOAD = 1048570
FLOOD_PAYLOAD = 65536
STEP_TIMEOUT = 30.0


def fail(text):
    sys.stderr.write("peer_figures: " + text + "\n")
    sys.exit(1)


class Server:
    """A `talvencat -l --echo` on 127.0.0.1 and a port the system chooses."""

    def __init__(self, talvencat):
        self.proc = subprocess.Popen([talvencat, "-l", "--echo", "127.0.0.1", "0"],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE)
        self.port = self._read_port()
        # Keep reading its event lines so that a full pipe never blocks it.
        threading.Thread(target=self._drain_events, daemon=True).start()

    def _read_port(self):
        marker = b"listening on 127.0.0.1:"
        seen = b""
        deadline = time.monotonic() + STEP_TIMEOUT
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.proc.stderr], [], [], 0.5)
            if not ready:
                continue
            chunk = os.read(self.proc.stderr.fileno(), 4096)
            if not chunk:
                break
            seen += chunk
            at = seen.find(marker)
            if at >= 0 and b"\n" in seen[at:]:
                return int(seen[at + len(marker):].split(b"\n")[0])
        self.stop()
        fail("the server did not report its port: " + seen.decode(errors="replace"))

    def _drain_events(self):
        while os.read(self.proc.stderr.fileno(), 4096):
            pass

    def rss_bytes(self):
        with open("/proc/%d/status" % self.proc.pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
        return 0

    def cpu_ns(self):
        total = 0
        task_dir = "/proc/%d/task" % self.proc.pid
        for task in os.listdir(task_dir):
            try:
                with open(os.path.join(task_dir, task, "schedstat")) as stat:
                    total += int(stat.read().split()[0])
            except OSError:
                pass  # a thread that ended meanwhile
        return total

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def frame(payload_len, fill):
    return struct.pack(">I", payload_len) + bytes([fill]) * payload_len


def megabytes(n):
    return "%.1f MB" % (n / 1e6)


def flood(server, seconds, cap_bytes):
    """(a): send without reading; returns (start, peak, end RSS, bytes written, seconds run)."""
    chunk = frame(FLOOD_PAYLOAD, 0x5A) * 16
    start_rss = server.rss_bytes()
    peak = start_rss
    sock = socket.create_connection(("127.0.0.1", server.port), timeout=STEP_TIMEOUT)
    sock.setblocking(False)
    view = memoryview(chunk)
    offset = 0
    written = 0
    began = time.monotonic()
    next_sample = began
    now = began
    try:
        while now - began < seconds:
            try:
                n = sock.send(view[offset:])
                written += n
                offset = (offset + n) % len(chunk)
            except BlockingIOError:
                select.select([], [sock], [], 0.05)
            except OSError as error:
                fail("the flooding client's connection failed: %s" % error)
            now = time.monotonic()
            if now >= next_sample:
                peak = max(peak, server.rss_bytes())
                next_sample = now + 0.25
                if peak > cap_bytes:
                    break
    finally:
        end_rss = server.rss_bytes()
        sock.close()
    return start_rss, max(peak, end_rss), end_rss, written, time.monotonic() - began


def receive_exactly(sock, n):
    parts = []
    got = 0
    while got < n:
        part = sock.recv(min(1 << 20, n - got))
        if not part:
            fail("the server closed before the whole echo came back")
        parts.append(part)
        got += len(part)
    return b"".join(parts)


def one_connection(server, fill):
    """CPU (ms) of a first and a second big frame on one new connection, each echoed."""
    packet = frame(FRAME_PAYLOAD, fill)
    times = []
    before = server.cpu_ns()
    sock = socket.create_connection(("127.0.0.1", server.port), timeout=STEP_TIMEOUT)
    try:
        for _ in range(2):
            sock.sendall(packet)
            if receive_exactly(sock, len(packet)) != packet:
                fail("the echo of a big frame differs from what was sent")
            now = server.cpu_ns()
            times.append((now - before) / 1e6)
            before = now
    finally:
        sock.close()
    time.sleep(0.2)  # let the server finish with the close before anything else is measured
    return times


def big_frames(talvencat, trials):
    """(b): on each of `trials` fresh servers, two new connections of two big frames each."""
    fresh = []
    later = []
    second = []
    for i in range(trials):
        server = Server(talvencat)
        try:
            first_connection = one_connection(server, 0x30 + i)
            next_connection = one_connection(server, 0x60 + i)
        finally:
            server.stop()
        fresh.append(first_connection[0])
        later.append(next_connection[0])
        second += [first_connection[1], next_connection[1]]
    return fresh, later, second


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", nargs="?", default=os.path.join(root, "build", "default"),
                        help="build directory holding examples/talvencat (default build/default)")
    parser.add_argument("--seconds", type=float, default=60.0, help="length of the flood (60)")
    parser.add_argument("--servers", type=int, default=5, help="fresh servers for the big frame (5)")
    parser.add_argument("--rss-cap-mb", type=float, default=1024.0,
                        help="stop the flood once the server's RSS passes this (1024)")
    args = parser.parse_args()

    talvencat = os.path.join(args.build, "examples", "talvencat")
    if not os.access(talvencat, os.X_OK):
        fail("no talvencat in %s (build it: cmake --build %s --target talvencat)"
             % (os.path.join(args.build, "examples"), args.build))
    print("talvencat: %s" % talvencat)

    server = Server(talvencat)
    try:
        start, peak, end, written, ran = flood(server, args.seconds, args.rss_cap_mb * 1e6)
    finally:
        server.stop()
    stopped = " (stopped early: RSS passed %s)" % megabytes(args.rss_cap_mb * 1e6) \
        if ran < args.seconds else ""
    print("(a) one client sends %d-byte frames for %.0f s and never reads its echoes%s"
          % (FLOOD_PAYLOAD + 4, ran, stopped))
    print("    server RSS: %s before, peak %s, %s at the end; the client wrote %s  [target: under 32 MB]"
          % (megabytes(start), megabytes(peak), megabytes(end), megabytes(written)))
    sys.stdout.flush()

    fresh, later, second = big_frames(talvencat, args.servers)
    print("(b) one %s-byte frame on a new connection, echoed; %d fresh servers, two connections each"
          % (format(FRAME_PAYLOAD, ","), args.servers))
    print("    server CPU for the first frame: median %.1f ms, max %.1f ms on a fresh server's first"
          " connection  [target: under 20 ms]" % (statistics.median(fresh), max(fresh)))
    print("    median %.1f ms on its second connection; a second frame on the same connection:"
          " median %.1f ms" % (statistics.median(later), statistics.median(second)))

if __name__ == "__main__":
    main()
