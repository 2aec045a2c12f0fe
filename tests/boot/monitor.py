#!/usr/bin/env python3
"""Plays a script against a running QEMU: waits for lines on its console
log and types commands into its human monitor (a Unix socket), as a person
at the board would pull a stick, plug one in or change a card.

Usage: monitor.py SOCKET LOG SCRIPT-LINE...
Each script line is one step:
  wait TEXT        until the console log holds TEXT (after the previous
                   wait's match)
  sleep SECONDS
  hmp COMMAND      a monitor command (device_del, device_add, change, ...)
  press COMMAND    the command again and again, 0.2 s apart, while the
                   monitor answers that the device is locked, as a person
                   presses a drive's eject button until the tray opens
  answer TEXT      the last command's answer must hold TEXT
Every step has 60 seconds; a step that times out ends the script with
status 1, and the boot's own checks then show what was missing. The
commands and what the monitor answered go to standard error.
"""
import re
import socket
import sys
import time

STEP_SECONDS = 60


def wait_for_socket(path):
    end = time.time() + STEP_SECONDS
    while time.time() < end:
        try:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            sock.connect(path)
            return sock
        except OSError:
            sock.close()
            time.sleep(0.1)
    raise TimeoutError("no monitor at %s" % path)


def read_prompt(sock):
    """What the monitor says up to its next prompt."""
    sock.settimeout(STEP_SECONDS)
    data = b""
    while not data.endswith(b"(qemu) "):
        chunk = sock.recv(4096)
        if not chunk:
            break
        data += chunk
    return data.decode(errors="replace")


def wait_for_text(log, text, start):
    end = time.time() + STEP_SECONDS
    while time.time() < end:
        try:
            with open(log, "rb") as f:
                content = f.read().decode(errors="replace")
        except OSError:
            content = ""
        found = content.find(text, start)
        if found >= 0:
            return found + len(text)
        time.sleep(0.1)
    raise TimeoutError("console never showed %r" % text)


def send(sock, command):
    """The monitor's answer to one command."""
    sock.sendall(command.encode() + b"\n")
    # The monitor echoes the command as typed, with cursor movements; its
    # answer follows the last full echo.
    answer = re.sub(r"\x1b\[[0-9;]*[A-Za-z]", "", read_prompt(sock))
    return answer.rpartition(command)[2].replace("(qemu) ", "").strip()


def press(sock, command):
    """Sends command until its answer no longer says "locked"."""
    end = time.time() + STEP_SECONDS
    tries = 0
    while True:
        tries += 1
        answer = send(sock, command)
        if "is locked" not in answer:
            print("monitor: %s -> %s (after %d tries)" % (command, answer or "ok", tries),
                  file=sys.stderr)
            return answer
        if time.time() > end:
            raise TimeoutError("%s: still locked after %d tries" % (command, tries))
        time.sleep(0.2)


def main():
    sock_path, log, steps = sys.argv[1], sys.argv[2], sys.argv[3:]
    sock = wait_for_socket(sock_path)
    read_prompt(sock)
    position = 0
    answer = ""
    for step in steps:
        verb, _, arg = step.partition(" ")
        if verb == "wait":
            position = wait_for_text(log, arg, position)
        elif verb == "sleep":
            time.sleep(float(arg))
        elif verb == "hmp":
            answer = send(sock, arg)
            print("monitor: %s -> %s" % (arg, answer or "ok"), file=sys.stderr)
        elif verb == "press":
            answer = press(sock, arg)
        elif verb == "answer":
            if arg not in answer:
                raise ValueError("the answer %r does not hold %r" % (answer, arg))
            print("monitor: answered as expected: %s" % arg, file=sys.stderr)
        else:
            raise ValueError("unknown step: %s" % step)
    sock.close()


if __name__ == "__main__":
    try:
        main()
    except (TimeoutError, OSError, ValueError) as error:
        print("monitor: %s" % error, file=sys.stderr)
        sys.exit(1)
