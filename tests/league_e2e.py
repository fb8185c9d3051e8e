#!/usr/bin/env python3
"""The league file end to end, against the built tools and a two-class race
(`pitwall-host --classes 12:8`, the example league file):
- a league file that cannot be taken ends every command that reads one
  with the usage code (2) and one line naming the file, the line and what
  is wrong, before anything else happens;
- `pitwall dump --json --league` carries each car's number, class and place
  in class, valid against docs/timing-state.schema.json, with class places
  counting 1, 2, ... down each class and gaps only behind a class leader;
- the file edited while dump runs: a wrong edit is said once and the
  league read before stays; a good one takes effect without a restart;
- `pitwall watch --split` prints each class under its own title, and
  `--class` refuses a class the file does not define;
- `pitwall record --league` keeps the classes: `pitwall results --format
  json` classifies each class with its own winner, and `--league` given to
  `results` puts the same race in another file's classes.

Usage: league_e2e.py PITWALL_HOST PITWALL EXAMPLES_DIR TIMING_SCHEMA
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import jsonschema

from e2e_helpers import free_port, wait_for_port

FAILURES = []


def check(ok, what):
    if not ok:
        FAILURES.append(what)
        print(f"FAIL: {what}", file=sys.stderr)


def write(path, text, bump):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    # A new modification time even where stamps are coarse.
    stamp = time.time() + bump
    os.utime(path, (stamp, stamp))


def bad_files_end_every_command(cli, work, league_text):
    header = league_text.split("\n", 1)[0]
    bad = f"{work}/bad.csv"
    # Line 4 of the example names a driver; a copy of it later is a duplicate.
    lines = league_text.splitlines()
    duplicate = next(l for l in lines if l.startswith("driver,"))
    name = duplicate.split(",")[1]
    write(bad, league_text + duplicate + "\n", 0)
    first_line = lines.index(duplicate) + 1
    expected = f"pitwall: {bad}:{len(lines) + 1}: {name} is already on line {first_line}\n"
    commands = [["watch"], ["dump", "--json"], ["track", "--svg", f"{work}/x.svg"], ["web"],
                ["record", "--db", f"{work}/x.db"], ["results", "--db", f"{work}/x.db"],
                ["laps", "--db", f"{work}/x.db"], ["events", "--db", f"{work}/x.db"]]
    for command in commands:
        live = command[0] in ("watch", "dump", "track", "web", "record")
        args = [cli, *command] + (["127.0.0.1:1"] if live else []) + ["--league", bad]
        done = subprocess.run(args, capture_output=True, text=True, timeout=20)
        check(done.returncode == 2, f"{command[0]} with a bad league exits 2, not {done.returncode}")
        check(done.stderr == expected, f"{command[0]} says {done.stderr!r}, not {expected!r}")
        check(done.stdout == "", f"{command[0]} printed {done.stdout!r}")
        check(not os.path.exists(f"{work}/x.db"), f"{command[0]} made a database")
    missing = f"{work}/missing.csv"
    done = subprocess.run([cli, "dump", "--json", "127.0.0.1:1", "--league", missing],
                          capture_output=True, text=True, timeout=20)
    check(done.returncode == 2 and
          done.stderr == f"pitwall: cannot read {missing}: No such file or directory\n",
          f"a missing league file: {done.returncode} {done.stderr!r}")
    wrong_fields = f"{work}/fields.csv"
    write(wrong_fields, header + "\n" + "driver,Ada Brennan,,7\n", 0)
    done = subprocess.run([cli, "dump", "--json", "127.0.0.1:1", "--league", wrong_fields],
                          capture_output=True, text=True, timeout=20)
    columns = len(header.split(","))
    check(done.stderr == f"pitwall: {wrong_fields}:2: 4 field(s), but the header has {columns}\n",
          f"a row with too few fields: {done.stderr!r}")


def class_places_hold(state):
    """Class places count 1, 2, ... down each class in place order."""
    seen = {}
    for car in state["cars"]:
        if car["class"] is None or car["place"] is None:
            continue
        seen[car["class"]] = seen.get(car["class"], 0) + 1
        if car["class_place"] != seen[car["class"]]:
            return False
        if (car["class_gap"] is None) != (car["class_place"] == 1):
            return False
    return bool(seen)


def main():
    host, cli, examples, schema_path = sys.argv[1:5]
    with open(schema_path, encoding="utf-8") as f:
        schema = jsonschema.Draft202012Validator(json.load(f))
    with open(f"{examples}/league.csv", encoding="utf-8") as f:
        league_text = f.read()
    work = tempfile.mkdtemp(prefix="pitwall-league.")
    processes = []
    try:
        bad_files_end_every_command(cli, work, league_text)

        game = f"{work}/game"
        shutil.copytree(f"{examples}/game", game)
        port = free_port()
        with open(f"{game}/PitwallFeedPlugin.ini", "w", encoding="ascii") as f:
            f.write(f"[GENERAL]\nPort={port}\nMaxConnections=4\n")
        host_process = subprocess.Popen(
            [host, "--game-dir", game, "--sessions", "race", "--classes", "12:8",
             "--race-laps", "3", "--speed", "10"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(host_process)
        wait_for_port(port)
        league = f"{work}/league.csv"
        write(league, league_text, 0)
        db = f"{work}/race.db"
        recorder = subprocess.Popen([cli, "record", f"127.0.0.1:{port}", "--db", db,
                                     "--league", league],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        processes.append(recorder)

        # dump for about 9 s while the file is edited twice.
        renamed = league_text.replace("class,GT4,", "class,Am,").replace(",GT4,", ",Am,")
        duplicate = next(l for l in league_text.splitlines() if l.startswith("driver,"))

        def edit():
            time.sleep(2.5)
            write(league, league_text + duplicate + "\n", 1)
            time.sleep(3.0)
            write(league, renamed, 2)

        editor = threading.Thread(target=edit)
        editor.start()
        dump = subprocess.run([cli, "dump", "--json", "--count", "45", f"127.0.0.1:{port}",
                               "--league", league],
                              capture_output=True, text=True, timeout=60)
        editor.join()
        check(dump.returncode == 0, f"dump exits {dump.returncode}: {dump.stderr}")
        states = [json.loads(line) for line in dump.stdout.splitlines()]
        check(len(states) == 45, f"{len(states)} states")
        for state in states:
            errors = list(schema.iter_errors(state))
            check(not errors, f"schema: {errors[:1]}")
        check(all(class_places_hold(s) for s in states), "class places count down each class")
        first, last = states[0], states[-1]
        check([c["name"] for c in first["session"]["classes"]] == ["GT3", "GT4"],
              f"classes at first: {first['session']['classes']}")
        check([c["name"] for c in last["session"]["classes"]] == ["GT3", "Am"],
              f"classes at last: {last['session']['classes']}")
        check(sum(c["cars"] for c in first["session"]["classes"]) == 20, "20 cars in classes")
        numbered = [c for c in first["cars"] if c["number"] is not None]
        check(len(numbered) == 20 and all(c["short_name"] for c in numbered),
              "every car has a number and a short name")
        warnings = [l for l in dump.stderr.splitlines() if "keeping the league read before" in l]
        check(len(warnings) == 1, f"the wrong edit is said once: {dump.stderr!r}")
        check(dump.stderr.count(f"pitwall: read {league} again: 20 driver(s) in 2 class(es)") == 1,
              f"the good edit is said: {dump.stderr!r}")
        write(league, league_text, 3)

        # The tower split by class, and a class the file lacks.
        watch = subprocess.run([cli, "watch", f"127.0.0.1:{port}", "--seconds", "2", "--split",
                                "--league", league], capture_output=True, text=True, timeout=30)
        frames = watch.stdout.split("\n\n")
        check(len(frames) >= 2, f"watch printed {len(frames)} frame(s)")
        frame = frames[-2] if len(frames) >= 2 else ""
        check("\nGT3 | 12 cars |" in frame and "\nGT4 | 8 cars |" in frame,
              f"each class under its title:\n{frame}")
        check(all(len(line) <= 80 for line in frame.splitlines()), "within 80 columns")
        watch = subprocess.run([cli, "watch", f"127.0.0.1:{port}", "--class", "GT5", "--league",
                                league], capture_output=True, text=True, timeout=30)
        check(watch.returncode == 2 and watch.stderr ==
              f"pitwall: watch: --class: {league} defines no class GT5 (its classes: GT3, GT4)\n",
              f"--class GT5: {watch.returncode} {watch.stderr!r}")

        # The race runs to its end; the recorder keeps each class's order.
        deadline = time.monotonic() + 90
        results = None
        while time.monotonic() < deadline:
            done = subprocess.run([cli, "results", "--db", db, "--format", "json"],
                                  capture_output=True, text=True, timeout=30)
            if done.returncode == 0:
                results = json.loads(done.stdout)
                if results["session"]["ended"]:
                    break
            time.sleep(1)
        check(results is not None and results["session"]["ended"], "the race was recorded to its end")
        if results is not None:
            classes = {c["name"]: c for c in results.get("classes", [])}
            check(set(classes) == {"GT3", "GT4"}, f"classes in the results: {list(classes)}")
            for name, c in classes.items():
                rows = [r for r in results["rows"] if r["class"] == name]
                check([r["class_position"] for r in rows] == list(range(1, len(rows) + 1)),
                      f"{name}: class positions in order")
                check(c["winner"] is not None and c["winner"]["car"] == rows[0]["car"],
                      f"{name}: the winner is the class's first row")
                check(rows[0]["class_gap"] is None and all(r["class_gap"] for r in rows[1:]
                                                           if r["status"] != "disqualified"),
                      f"{name}: gaps behind the class winner")
            check(classes["GT4"]["winner"]["car"] >= 12, "a GT4 car wins GT4")
            # Another league given when reading: the same race in its classes.
            other = f"{work}/other.csv"
            write(other, renamed, 4)
            done = subprocess.run([cli, "results", "--db", db, "--format", "json", "--league",
                                   other], capture_output=True, text=True, timeout=30)
            again = json.loads(done.stdout) if done.returncode == 0 else {"classes": []}
            check([c["name"] for c in again["classes"]] == ["GT3", "Am"],
                  f"results --league: {again['classes']}")
            check([r["class"] for r in again["rows"]] ==
                  [("Am" if r["class"] == "GT4" else r["class"]) for r in results["rows"]],
                  "results --league: each row in the other file's class")
    finally:
        for p in processes:
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()
        shutil.rmtree(work, ignore_errors=True)
    if FAILURES:
        sys.exit(f"{len(FAILURES)} check(s) failed")
    print("league end to end: all checks passed")


if __name__ == "__main__":
    main()
