#!/usr/bin/env python3
"""pty_run.py [--echo] WINE PROGRAM [ARGS...]: runs PROGRAM under Wine with
QV_PTY_PORT=COMn, a COM port on a new Linux pseudo-terminal (a link
$WINEPREFIX/dosdevices/comn, the first free n from 200), and sends back in
upper case what the program writes to it (with --echo: every byte as it
came, as an echo firmware does). Removes the link at the end, and stops
the program by its pid if it runs too long; exits with its code."""
import os
import pty
import select
import subprocess
import sys
import threading
import tty

TIME_LIMIT = 300  # seconds


def answer(master, stop, echo):
    # The master does not block: a program that leaves the answers unread
    # fills the line, and the answer then waits for room or for the end,
    # never past it.
    os.set_blocking(master, False)
    while not stop.is_set():
        ready, _, _ = select.select([master], [], [], 0.1)
        if not ready:
            continue
        try:
            data = os.read(master, 4096)
        except BlockingIOError:
            continue
        except OSError:
            return
        data = data if echo else data.upper()
        while data and not stop.is_set():
            _, room, _ = select.select([], [master], [], 0.1)
            if not room:
                continue
            try:
                data = data[os.write(master, data):]
            except BlockingIOError:
                pass
            except OSError:
                return


def main():
    argv = sys.argv[1:]
    echo = argv[:1] == ["--echo"]
    if echo:
        argv = argv[1:]
    wine, program, args = argv[0], argv[1], argv[2:]
    prefix = os.environ.get("WINEPREFIX")
    if not prefix:
        sys.exit("pty_run.py: WINEPREFIX is not set (run the tests through test.sh or scripts/common.sh)")
    dosdevices = os.path.join(prefix, "dosdevices")
    number = next((n for n in range(200, 256)
                   if not os.path.lexists(os.path.join(dosdevices, "com%d" % n))), None)
    if number is None:
        sys.exit("pty_run.py: no free COM number from 200 to 255 in " + dosdevices)
    link = os.path.join(dosdevices, "com%d" % number)
    master, slave = pty.openpty()
    tty.setraw(slave)
    stop = threading.Event()
    answering = threading.Thread(target=answer, args=(master, stop, echo))
    code = 1
    try:
        os.symlink(os.ttyname(slave), link)
        answering.start()
        env = dict(os.environ, QV_PTY_PORT="COM%d" % number)
        process = subprocess.Popen([wine, program] + args, env=env)
        try:
            code = process.wait(timeout=TIME_LIMIT)
        except subprocess.TimeoutExpired:
            print("pty_run.py: the program has not ended after %d s: stopping it" % TIME_LIMIT)
            process.kill()
            process.wait()
    finally:
        stop.set()
        if answering.is_alive():
            answering.join()
        if os.path.islink(link):
            os.remove(link)
        os.close(master)
        os.close(slave)
    sys.exit(code)


if __name__ == "__main__":
    main()
