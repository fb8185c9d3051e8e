#!/usr/bin/env python3
"""Hostile names and a late join, end to end: pitwall-host replays a recorded
weekend into the real plug-in, and every pitwall view reads it.

The recording holds a track and drivers whose names carry terminal escapes,
C1 controls written as UTF-8, bidirectional overrides, tabs and line feeds,
quotes and backslashes, the noncharacters U+FFFE/U+FFFF, bytes that are not
UTF-8, and wide characters. Its first session is a race already at lap 21 of
50 when the clients connect; the second a race they see from its grid, on a
track whose name holds XML's markup (the plug-in finds an outline only for
a name a ".gdb" line can hold: printable ASCII). Checked:
- `pitwall dump --json`, from the first race into the second: every line
  valid UTF-8, valid against the schema, names as sent (non-UTF-8 bytes read
  as Latin-1); pit stops and places gained null throughout the first race,
  a stop made after the join included, and exact from the second's grid.
- `pitwall dump` during the first race: one line per answer (no name splits
  a line, not even for a reader that also breaks at U+2028 or NEL), names
  quoted with escapes.
- `pitwall watch` on a terminal during the first race: no control character
  beyond the tower's own sequences, name columns lined up by terminal width,
  the counts not known shown as dashes.
- `pitwall track --svg` during the second race: a file an XML parser reads,
  names as escaped text.

Usage: names_and_late_join_e2e.py PITWALL_HOST PITWALL EXAMPLES_DIR SCHEMA
"""
import fcntl
import json
import os
import pty
import re
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unicodedata
import xml.etree.ElementTree as ElementTree

import jsonschema

from e2e_helpers import free_port, wait_for_port

TRACK = b"Ring\x1b[31m\xe2\x80\xae\x08\x7f\xef\xbf\xbe<&>\"'"
# The second race's track: only printable ASCII (the plug-in finds a track by
# a ".gdb" line, which holds nothing else), but all of XML's markup.
SECOND_TRACK = b"Hostile <&> \"Ring\" 'x'"
DRIVERS = [
    b"\x1b]0;pwned\x07\x1b[2J",                          # OSC title, clear screen
    b"\xe2\x80\xaeEvil\xc2\x9b31m\xc2\x9d",               # RLO, C1 CSI and OSC as UTF-8
    b"Tab\tLF\nCR\r\"Q\"\\\xef\xbf\xbe\xef\xbf\xbf",      # controls, quotes, noncharacters
    "佐藤一郎 🏁".encode(),                                # wide characters, unchanged
    b"Jos\xe9 \xff\xfe",                                  # Latin-1, not UTF-8
]
# What the JSON carries: UTF-8 as it came, other bytes read as Latin-1.
JSON_NAMES = [
    "\x1b]0;pwned\x07\x1b[2J",
    "\u202eEvil\u009b31m\u009d",
    "Tab\tLF\nCR\r\"Q\"\\\ufffe\uffff",
    "佐藤一郎 🏁",
    "José ÿþ",
]
# What `pitwall dump` writes for each name.
QUOTED_NAMES = [
    r'"\x1b]0;pwned\x07\x1b[2J"',
    r'"\u202eEvil\x9b31m\x9d"',
    r'"Tab\x09LF\x0aCR\x0d\"Q\"\\\ufffe\uffff"',
    '"佐藤一郎 🏁"',
    '"José ÿþ"',
]
TRACK_SHOWN = "Ring\\x1b[31m\\u202e\\x08\\x7f\\ufffe<&>\"'"
LAP_M = 3730.0
FIRST_END = 12.0    # the first race's last update; the second starts 0.1 s later
SECOND_END = 45.0   # long enough for every command below


def encode(text):
    """A text field of the recording: %XX for bytes below 0x21, '%' and 0x7F up."""
    return "".join(f"%{b:02X}" if b < 0x21 or b == 0x25 or b >= 0x7F else chr(b) for b in text)


def vehicle(name, laps, distance, best, last, pits, place, behind, index):
    fields = [encode(name), laps, 1, 0, distance, best, -1, -1, last, -1, -1,
              0 if index == 0 else 1, 1 if pits else 0, place, behind, 40.0 * index, 10.0, 0, 1]
    return "vehicle\t" + "\t".join(str(f) for f in fields)


def first_race(t):
    """Lap 21 of 50: car 2 stops at 3 s, car 4 passes car 3 at 4 s."""
    order = [0, 1, 2, 4, 3] if t >= 4 else [0, 1, 2, 3, 4]
    cars = []
    for i in range(5):
        place = order.index(i) + 1
        cars.append(vehicle(DRIVERS[i], 20, 1000.0 - 50 * place, 80 + i, 91 + i,
                            3 <= t < 5 and i == 2, place, 2.0 * (place - 1), i))
    return 2400.0 + t, cars


def second_race(t):
    """From the grid: car 3 gains two places at 1.5 s; on lap 1 car 0 stops
    (4 s to 5 s) and drops to third, car 3 leads."""
    if t < 1.5:
        order, laps = [0, 1, 2, 3, 4], 0
    elif t < 4:
        order, laps = [0, 3, 1, 2, 4], 0
    else:
        order, laps = [3, 1, 0, 2, 4], 1
    cars = []
    for i in range(5):
        place = order.index(i) + 1
        timed = 90.0 + i if laps else -1
        distance = LAP_M - 8 * place if t < 1.5 else 400.0 - 20 * place
        cars.append(vehicle(DRIVERS[i], laps, distance, timed, timed, 4 <= t < 5 and i == 0,
                            place, 0.5 * (place - 1), i))
    return t, cars


def recording():
    lines = ["PITWALL-HOST-RECORDING\t1", "start\t0"]

    def scoring(at, track, clock, cars):
        lines.append("\t".join(["scoring", f"{at:.2f}", encode(track), "3", f"{clock:.2f}", "0",
                                "50", str(LAP_M), str(len(cars))]))
        lines.extend(cars)

    at = 0.0
    while at <= FIRST_END + 1e-9:
        scoring(at, TRACK, *first_race(at))
        at += 0.1
    lines += [f"end\t{FIRST_END}", f"start\t{FIRST_END + 0.1}"]
    at = FIRST_END + 0.1
    while at <= SECOND_END:
        scoring(at, SECOND_TRACK, *second_race(at - FIRST_END - 0.1))
        at += 0.1
    return "\n".join(lines) + "\n"


def columns(text):
    """Terminal columns: East Asian wide two, combining and format none."""
    width = 0
    for c in text:
        if unicodedata.combining(c) or unicodedata.category(c) in ("Mn", "Me", "Cf"):
            continue
        width += 2 if unicodedata.east_asian_width(c) in ("W", "F") else 1
    return width


def acting_characters(text):
    """Characters of `text` that act on a terminal or the text's direction."""
    return [c for c in text
            if ord(c) < 0x20 and c != "\n" or 0x7F <= ord(c) < 0xA0
            or 0x202A <= ord(c) <= 0x202E or 0x2066 <= ord(c) <= 0x2069
            or c in "\u061c\u200e\u200f\u2028\u2029\ufffe\uffff"]


def run_on_terminal(command, seconds):
    """Runs `command` with its standard output on a 30x80 pseudo-terminal;
    returns what it wrote there."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 80, 0, 0))
    process = subprocess.Popen(command, stdout=slave, stderr=subprocess.DEVNULL,
                               stdin=subprocess.DEVNULL)
    os.close(slave)
    out = b""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.2)
        if ready:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the program ended and closed the terminal
                break
            if not chunk:
                break
            out += chunk
        elif process.poll() is not None:
            break
    process.wait(timeout=10)
    os.close(master)
    return process.returncode, out


def check_json_lines(raw, validator, failures):
    """The timing-state lines of `pitwall dump --json`; returns the last
    state of each race."""
    first, second = None, None
    tracks = {True: "Ring\x1b[31m\u202e\x08\x7f\ufffe<&>\"'", False: SECOND_TRACK.decode()}
    for number, line in enumerate(raw.split(b"\n")[:-1], 1):
        try:
            state = json.loads(line.decode("utf-8"))
        except (UnicodeDecodeError, ValueError) as error:
            failures.append(f"json line {number}: {error}")
            continue
        for error in list(validator.iter_errors(state))[:3]:
            failures.append(f"json line {number}: {list(error.path)}: {error.message}")
        if state["session"] is None or len(state["cars"]) != 5:
            continue
        names = {car["index"]: car["driver"] for car in state["cars"]}
        if names != dict(enumerate(JSON_NAMES)):
            failures.append(f"json line {number}: names {names}")
        clock = state["session"]["time_s"]
        in_first = clock >= 2400
        if state["session"]["track"] != tracks[in_first] and state["cars"][0]["laps"] in (1, 20):
            failures.append(f"json line {number}: track {state['session']['track']!r}")
        if in_first:
            first = state
            counted = [(car["index"], car["pit_stops"], car["places_gained"])
                       for car in state["cars"]
                       if car["pit_stops"] is not None or car["places_gained"] is not None]
            if counted:
                failures.append(f"json line {number}: joined at lap 21, yet counts "
                                f"(car, stops, places) {counted}")
        elif state["cars"][0]["laps"] == 1 and clock >= 5.5:
            second = state
    return first, second


def main():
    host, cli, examples, schema_path = sys.argv[1:5]
    with open(schema_path, encoding="utf-8") as f:
        validator = jsonschema.Draft202012Validator(json.load(f))

    work = tempfile.mkdtemp(prefix="pitwall-names.")
    host_process = None
    failures = []
    try:
        game = f"{work}/game"
        shutil.copytree(f"{examples}/game", game)
        # The second race's outline: the sample's, under that track's name.
        track_dir = f"{game}/GameData/Locations/Hostile"
        os.makedirs(track_dir)
        shutil.copy(f"{examples}/game/GameData/Locations/PitwallRing/Pitwall_Ring.aiw",
                    f"{track_dir}/Hostile.aiw")
        with open(f"{track_dir}/Hostile.gdb", "wb") as f:
            f.write(b"TrackName = " + SECOND_TRACK + b"\n")
        port = free_port()
        with open(f"{game}/PitwallFeedPlugin.ini", "w", encoding="ascii") as f:
            f.write(f"[GENERAL]\nPort={port}\nMaxConnections=4\n")
        with open(f"{work}/weekend.rec", "w", encoding="ascii") as f:
            f.write(recording())
        host_process = subprocess.Popen(
            [host, "--game-dir", game, "--replay", f"{work}/weekend.rec", "--speed", "1"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for_port(port)
        endpoint = f"127.0.0.1:{port}"

        # During the first race: the timing state (on into the second race),
        # the text lines and the tower, side by side.
        dump = subprocess.Popen([cli, "dump", "--json", endpoint], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)
        json_lines = []

        def read_json():
            for line in dump.stdout:
                json_lines.append(line)
                state = json.loads(line)
                clock = state["session"]["time_s"] if state["session"] else 2400
                if 6.5 <= clock < 2400:
                    return

        reader = threading.Thread(target=read_json)
        reader.start()
        text_dump = subprocess.Popen([cli, "dump", "--count", "12", endpoint],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        status, out = run_on_terminal([cli, "watch", endpoint, "--seconds", "3"], 20)
        text, _ = text_dump.communicate(timeout=60)
        reader.join(timeout=60)
        dump.terminate()
        dump.wait(timeout=10)

        first, second = check_json_lines(b"".join(json_lines), validator, failures)
        if first is None or first["session"]["time_s"] < 2406:
            failures.append("the first race was not followed past car 2's stop")
        if second is None:
            failures.append("the second race was not followed past its pit stop")
        else:
            # From the grid: car 3 P4 -> P1, car 1 P2, car 0 P1 -> P3 after a
            # stop, car 2 P3 -> P4, car 4 P5.
            counts = {car["index"]: (car["place"], car["pit_stops"], car["places_gained"])
                      for car in second["cars"]}
            expected = {3: (1, 0, 3), 1: (2, 0, 0), 0: (3, 1, -2), 2: (4, 0, -1), 4: (5, 0, 0)}
            if counts != expected:
                failures.append(f"second race counts {counts}, expected {expected}")

        # Text lines: one per answer.
        lines = text.split(b"\n")[:-1]
        decoded = text.decode("utf-8")
        if len(lines) != 12 or len(decoded.splitlines()) != 12:
            failures.append(f"dump wrote {len(lines)} lines ({len(decoded.splitlines())} for "
                            "a reader that breaks at every line separator), expected 12")
        if acting_characters(decoded):
            failures.append(f"dump wrote {acting_characters(decoded)[:5]}")
        drivers = [l for l in decoded.split("\n") if l.startswith("drivers ")]
        want = "count=5 " + " ".join(f"[{i} {q}]" for i, q in enumerate(QUOTED_NAMES))
        if not drivers or not all(l.endswith(want) for l in drivers):
            failures.append(f"drivers line {drivers[:1]}, expected it to end {want}")
        sessions = [l for l in decoded.split("\n") if l.startswith("session ")]
        track_quoted = r'track="Ring\x1b[31m\u202e\x08\x7f\ufffe<&>\"' + "'\""
        if not sessions or not all(track_quoted + " session=3 " in l for l in sessions):
            failures.append(f"session line {sessions[:1]}, expected {track_quoted}")

        # The tower on a terminal, joined at lap 21: dashes for the counts.
        if status != 0:
            failures.append(f"watch ended with {status}")
        screen = out.decode("utf-8")
        for own in ("\x1b[H", "\x1b[K", "\x1b[J", "\x1b[1;35m", "\x1b[32m", "\x1b[33m", "\x1b[0m"):
            screen = screen.replace(own, "")
        screen = screen.replace("\r\n", "\n")  # the terminal's own line ends
        if acting_characters(screen):
            failures.append(f"watch wrote {acting_characters(screen)[:5]}")
        frame = screen.split("\n")
        title = [i for i, l in enumerate(frame)
                 if l.startswith(TRACK_SHOWN + " | race | ") and "| lap 21/50" in l]
        if not title:
            failures.append(f"no session line in {frame[:3]}")
        else:
            rows = frame[title[-1] + 2:title[-1] + 7]
            for row in rows:
                index = next((i for i in range(5) if f"1:{31 + i}.000" in row), None)
                if index is None or columns(row[:row.index(f"1:{31 + index}.000")]) != 31 or \
                        not re.search(r"(   -|PIT)   -$", row):
                    failures.append(f"tower row out of line or with counts: {row!r}")
            if len(rows) != 5:
                failures.append(f"tower rows {rows}")

        # The picture during the second race: well-formed XML, names as text.
        svg = f"{work}/track.svg"
        subprocess.run([cli, "track", "--svg", svg, endpoint], capture_output=True, timeout=60,
                       check=True)
        try:
            root = ElementTree.parse(svg).getroot()
            texts = {}
            for element in root.iter("{http://www.w3.org/2000/svg}text"):
                texts.setdefault(element.get("class"), []).append(element.text)
            if texts.get("title") != [SECOND_TRACK.decode()]:
                failures.append(f"svg title {texts.get('title')}, expected {SECOND_TRACK}")
            legend = ["1 佐藤一郎 🏁", "2 \\u202eEvil\\x9b31m", "3 \\x1b]0;pwned\\x07\\x1b",
                      "4 Tab\\x09LF\\x0aCR\\x0d\"", "5 José ÿþ"]
            if texts.get("legend") != legend:
                failures.append(f"svg legend {texts.get('legend')}, expected {legend}")
        except ElementTree.ParseError as error:
            failures.append(f"the SVG is not well-formed XML: {error}")

        if failures:
            # One line of each kind: the same fault repeats on every update.
            kinds = {}
            for failure in failures:
                kinds.setdefault(re.sub(r"^json line \d+: ", "", failure)[:40], failure)
            print("\n".join(list(kinds.values())[:40]))
            sys.exit(f"{len(failures)} failure(s)")
        print("names safe in every view; counts null after a late join, exact from the grid")
    finally:
        if host_process is not None:
            host_process.terminate()
            host_process.wait(timeout=30)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
