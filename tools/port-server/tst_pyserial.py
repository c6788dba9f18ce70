#!/usr/bin/python3
"""pyserial's rfc2217:// client against vantor-port-server serving a pseudo-terminal.

usage: tst_pyserial.py SERVER
A pseudo-terminal has no modem lines: the levels read are the server's (all off), and DTR is
checked by the server's answer; speed and data are checked on the terminal itself.
"""
import os
import select
import subprocess
import sys
import termios
import time

import serial

LIMIT = 20.0  # seconds for anything to happen


def wait_for(predicate, what):
    deadline = time.monotonic() + LIMIT
    while not predicate():
        if time.monotonic() > deadline:
            sys.exit(f"FAIL: {what}")
        time.sleep(0.01)


def read_until(fd, done):
    data = b""
    deadline = time.monotonic() + LIMIT
    while not done(data) and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.5)[0]:
            data += os.read(fd, 4096)
    return data


def main():
    master, slave = os.openpty()
    server = subprocess.Popen([sys.argv[1], "--port", "0", os.ttyname(slave)],
                              stderr=subprocess.PIPE)
    try:
        log = read_until(server.stderr.fileno(), lambda d: b"serving" in d and d.endswith(b"\n"))
        if b"serving" not in log:
            sys.exit("FAIL: the server did not start")
        port = int(log.split(b"serving")[1].split(b"\n")[0].split()[-1])

        port_ = serial.serial_for_url(f"rfc2217://127.0.0.1:{port}", baudrate=19200, timeout=LIMIT)
        wait_for(lambda: termios.tcgetattr(slave)[5] == termios.B19200, "speed 19200 not set")
        port_.baudrate = 57600
        wait_for(lambda: termios.tcgetattr(slave)[5] == termios.B57600, "speed 57600 not set")
        if port_.cts or port_.dsr:
            sys.exit("FAIL: a pseudo-terminal's CTS and DSR read on")
        port_.dtr = False  # pyserial fails here if the server's answer differs
        port_.dtr = True

        payload = bytes(range(256))
        port_.write(payload)
        if read_until(master, lambda d: len(d) >= len(payload)) != payload:
            sys.exit("FAIL: data to the device")
        os.write(master, payload)
        if port_.read(len(payload)) != payload:
            sys.exit("FAIL: data from the device")
        port_.close()
        print("ok")
    finally:
        server.terminate()
        server.wait(LIMIT)


main()
