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
  until SECONDS TEXT
                   the last command again every SECONDS until the console
                   shows TEXT (after the previous wait's match). QEMU 7.2's
                   SCSI disks drop a medium change when a request that was
                   under way at the change ends after it (fixed in QEMU
                   8.1): the guest is never told, where a real reader would
                   tell it with the next command. A card pulled and put
                   back again is told, so the boot goes on; a guest that
                   misses every change still fails.
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


def wait_for_text(log, text, start, seconds=STEP_SECONDS):
    end = time.time() + seconds
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


def wait_or_repeat(sock, log, command, seconds, text, start):
    """Sends command again every seconds until the console shows text."""
    end = time.time() + STEP_SECONDS
    sent = 1
    while True:
        try:
            found = wait_for_text(log, text, start, min(seconds, end - time.time()))
            print("monitor: %s seen after %d time(s) %s" % (text.strip(), sent, command),
                  file=sys.stderr)
            return found
        except TimeoutError:
            if time.time() >= end:
                raise
        sent += 1
        answer = send(sock, command)
        print("monitor: %s -> %s (again, nothing seen)" % (command, answer or "ok"),
              file=sys.stderr)


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
    command = ""
    for step in steps:
        verb, _, arg = step.partition(" ")
        if verb == "wait":
            position = wait_for_text(log, arg, position)
        elif verb == "sleep":
            time.sleep(float(arg))
        elif verb == "hmp":
            command = arg
            answer = send(sock, arg)
            print("monitor: %s -> %s" % (arg, answer or "ok"), file=sys.stderr)
        elif verb == "press":
            command = arg
            answer = press(sock, arg)
        elif verb == "until":
            seconds, _, text = arg.partition(" ")
            position = wait_or_repeat(sock, log, command, float(seconds), text, position)
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
