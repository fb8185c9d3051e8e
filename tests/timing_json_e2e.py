#!/usr/bin/env python3
"""`pitwall dump --json` against a running pitwall-host: every line is a
timing-state object valid against docs/timing-state.schema.json, with driver
names and intervals in every car object, null where a value is absent, and
gaps that never decrease down the order.

Usage: timing_json_e2e.py PITWALL_HOST PITWALL EXAMPLES_DIR SCHEMA
"""
import copy
import json
import shutil
import subprocess
import sys
import tempfile
import time

import jsonschema

from e2e_helpers import free_port, wait_for_port


def gap_key(gap):
    # Whole laps weigh more than any seconds under a lap.
    return (gap["laps"], 0.0 if gap["seconds"] is None else gap["seconds"])


def check_state(state, failures):
    cars = state["cars"]
    placed = [c for c in cars if c["place"] is not None]
    if [c["place"] for c in placed] != list(range(1, len(placed) + 1)):
        failures.append(f"places not 1..{len(placed)} in order: {[c['place'] for c in placed]}")
    for car in cars:
        if car["driver"] == f"car {car['index']}":
            failures.append(f"car {car['index']} has no driver name")
    if placed:
        leader = placed[0]
        if leader["gap_to_leader"] is not None or leader["interval"] is not None:
            failures.append("the leader has a gap")
        previous = None
        for car in placed[1:]:
            if car["gap_to_leader"] is None or car["interval"] is None:
                failures.append(f"P{car['place']} lacks a gap or an interval")
                continue
            key = gap_key(car["gap_to_leader"])
            if previous is not None and key < previous:
                failures.append(f"t={state['session']['time_s']}: P{car['place']} gap "
                                f"{car['gap_to_leader']['text']} is smaller than the car ahead's")
            previous = key


def main():
    host, cli, examples, schema_path = sys.argv[1:5]
    with open(schema_path, encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)

    work = tempfile.mkdtemp(prefix="pitwall-json.")
    host_process = None
    try:
        game = f"{work}/game"
        shutil.copytree(f"{examples}/game", game)
        port = free_port()
        with open(f"{game}/PitwallFeedPlugin.ini", "w", encoding="ascii") as f:
            f.write(f"[GENERAL]\nPort={port}\nMaxConnections=2\n")
        host_process = subprocess.Popen(
            [host, "--game-dir", game, "--speed", "60", "--rate", "20", "--sessions", "race",
             "--race-laps", "3", "--seed", "5"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for_port(port)
        time.sleep(0.2)  # let the server see the probe go

        endpoint = f"127.0.0.1:{port}"
        out = subprocess.run([cli, "dump", "--json", "--count", "150", endpoint],
                             capture_output=True, text=True, timeout=120, check=True).stdout
        lines = out.splitlines()
        if len(lines) != 150:
            sys.exit(f"expected 150 lines, got {len(lines)}")
        failures = []
        saw_null_lap, saw_timed_lap, saw_lapped = False, False, False
        for number, line in enumerate(lines, 1):
            state = json.loads(line)
            errors = sorted(validator.iter_errors(state), key=lambda e: list(e.path))
            for error in errors[:3]:
                failures.append(f"line {number}: {list(error.path)}: {error.message}")
            if errors:
                continue
            check_state(state, failures)
            for car in state["cars"]:
                saw_null_lap |= car["last_lap_s"] is None
                saw_timed_lap |= car["last_lap_s"] is not None
                saw_lapped |= car["gap_to_leader"] is not None and car["gap_to_leader"]["laps"] > 0
        if not (saw_null_lap and saw_timed_lap):
            failures.append("expected both untimed (null) and timed laps over the race")

        # The schema bites: a car without a driver name, or a bare number for
        # a gap, is refused.
        state = json.loads(lines[-1])
        broken = copy.deepcopy(state)
        del broken["cars"][0]["driver"]
        if validator.is_valid(broken):
            failures.append("the schema accepts a car without a driver")
        broken = copy.deepcopy(state)
        broken["cars"][1]["interval"] = 1.5
        if validator.is_valid(broken):
            failures.append("the schema accepts a bare number as an interval")

        raw = subprocess.run([cli, "dump", "--json", "--raw", "--count", "20", endpoint],
                             capture_output=True, text=True, timeout=60, check=True).stdout
        types = {json.loads(line)["type"] for line in raw.splitlines()}
        if not {"handshake", "session", "drivers", "live"} <= types:
            failures.append(f"raw answers lack a type: {sorted(types)}")

        if failures:
            print("\n".join(failures[:40]))
            sys.exit(f"{len(failures)} failure(s)")
        print(f"{len(lines)} timing-state lines valid against the schema")
    finally:
        if host_process is not None:
            host_process.terminate()
            host_process.wait(timeout=30)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
