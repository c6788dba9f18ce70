#!/usr/bin/env python3
"""The far end of a COM port for a Windows test under Wine.

    comport-peer.py N WINE-RUN.SH [WINE-RUN OPTIONS...] PROGRAM.exe [ARGUMENTS...]

Makes a pseudo-terminal, runs the program through wine-run.sh with COM port N mapped to it
(--com N=/dev/pts/M) and answers what the program sends on the port, one line at a time:

    SETTINGS          -> "SETTINGS speed=S stopbits=B" (the line settings as the terminal has them)
    ECHO text         -> "ECHOED text"
    HANGUP            -> the terminal is hung up (its master closed), as a pulled adapter goes;
                         a new one takes its place under the same COM port, as the adapter returns

Ends with the program's exit status, or 1 after TIME_LIMIT seconds (the program, which it
started, is ended then, by its process group).
"""
import os
import pty
import select
import subprocess
import sys
import termios
import time
import tty

TIME_LIMIT = 240
SPEEDS = {getattr(termios, name): int(name[1:]) for name in dir(termios)
          if name.startswith("B") and name[1:].isdigit()}
MAX_LINE = 64 * 1024


def open_terminal():
    master, slave = pty.openpty()
    tty.setraw(slave)
    path = os.ttyname(slave)
    os.close(slave)
    return master, path


def settings(master):
    # On Linux the master's termios calls reach the slave's settings.
    attributes = termios.tcgetattr(master)
    stop = 2 if attributes[2] & termios.CSTOPB else 1
    return "SETTINGS speed=%d stopbits=%d\n" % (SPEEDS.get(attributes[5], 0), stop)


def main():
    number, emulator, rest = sys.argv[1], sys.argv[2], sys.argv[3:]
    prefix = rest[rest.index("--prefix") + 1]
    link = os.path.join(prefix, "dosdevices", "com" + number)
    master, path = open_terminal()
    child = subprocess.Popen([emulator, "--com", "%s=%s" % (number, path)] + rest, start_new_session=True)
    deadline = time.monotonic() + TIME_LIMIT
    pending = b""
    while child.poll() is None:
        if time.monotonic() > deadline:
            print("comport-peer: no end after %d s; ending the program" % TIME_LIMIT, file=sys.stderr)
            os.killpg(child.pid, 9)
            child.wait()
            return 1
        ready, _, _ = select.select([master], [], [], 0.2)
        if not ready:
            continue
        try:
            data = os.read(master, 4096)
        except OSError:  # nobody has the terminal open (yet, or any more)
            data = b""
        if not data:
            time.sleep(0.05)
            continue
        pending = (pending + data)[-MAX_LINE:]
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            if line == b"SETTINGS":
                os.write(master, settings(master).encode())
            elif line.startswith(b"ECHO "):
                os.write(master, b"ECHOED " + line[5:] + b"\n")
            elif line == b"HANGUP":
                os.close(master)
                master, path = open_terminal()
                tmp = link + ".new"
                os.symlink(path, tmp)
                os.replace(tmp, link)
                pending = b""
    os.close(master)
    return child.returncode


if __name__ == "__main__":
    sys.exit(main())
