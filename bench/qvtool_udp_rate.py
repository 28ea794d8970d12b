#!/usr/bin/env python3
"""How many datagrams `qvtool udp --hex` shows of a paced loopback stream.

  qvtool_udp_rate.py WINE QVTOOL [RATE...]

For each rate (datagrams a second; default 4000 and 8000) a Python sender on
127.0.0.1 sends 20,000 datagrams of 1,400 bytes to `qvtool udp 0 --hex`,
paced evenly, and counts the lines qvtool writes. The socket's drop counter
(/proc/net/udp, where Wine's socket is a Linux one) tells losses in the
system's receive buffer from losses in the tool. Prints one ROW line per
rate for scripts/bench.sh.
"""
import re
import socket
import subprocess
import sys
import threading
import time

COUNT, SIZE = 20000, 1400
QUIET = 3  # s without a line that end a run


def drops_of(port):
    """The receive drops of the UDP socket on port, or None."""
    try:
        with open("/proc/net/udp") as table:
            for line in table:
                fields = line.split()
                if fields[1].endswith(":%04X" % port):
                    return int(fields[-1])
    except OSError:
        pass
    return None


def run(wine, tool, rate):
    proc = subprocess.Popen([wine, tool, "udp", "0", "--hex", "--count", str(COUNT),
                             "--timeout", str(QUIET)], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    port = int(re.search(rb"port (\d+)", proc.stderr.readline()).group(1))
    shown = [0]
    last = [time.time()]

    def read():
        for _ in proc.stdout:
            shown[0] += 1
            last[0] = time.time()

    threading.Thread(target=read, daemon=True).start()
    drops = [None]

    def watch():
        while proc.poll() is None:
            drops[0] = drops_of(port)
            time.sleep(0.1)

    threading.Thread(target=watch, daemon=True).start()
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    payload = bytes(range(256)) * (SIZE // 256 + 1)
    start = time.time()
    for i in range(COUNT):
        delay = start + i / rate - time.time()
        if delay > 0:
            time.sleep(delay)
        sender.sendto(i.to_bytes(4, "big") + payload[:SIZE - 4], ("127.0.0.1", port))
    took = time.time() - start
    while shown[0] < COUNT and time.time() - last[0] < QUIET:
        time.sleep(0.1)
    try:
        proc.wait(QUIET + 10)
    except subprocess.TimeoutExpired:
        proc.kill()  # our own child, by its handle
        proc.wait()
    with open("/proc/loadavg") as load:
        loadavg = load.read().split()[0]
    print("ROW qvtool udp --hex: 20,000 datagrams of 1,400 bytes at %d/s (sent at %.0f/s, "
          "load %s)|%d shown, %s lost in the socket buffer|20,000 shown"
          % (rate, COUNT / took, loadavg, shown[0], "?" if drops[0] is None else drops[0]))


def main():
    wine, tool = sys.argv[1], sys.argv[2]
    for rate in [int(r) for r in sys.argv[3:]] or [4000, 8000]:
        run(wine, tool, rate)


if __name__ == "__main__":
    main()
