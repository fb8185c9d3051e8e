#!/usr/bin/env python3
"""The race history end to end: a seeded 5-lap race of 20 cars, recorded by
`pitwall web`, whose recorder is killed with SIGKILL in mid-race and started
again. Then:
- `pitwall sessions` lists the race once (the second recorder carried it on);
- `pitwall results --format json` (valid against docs/results.schema.json)
  lists all 20 cars in the order the host classified them, read from the
  host's own recording of the race;
- `pitwall laps --format json` (valid against docs/laps.schema.json) has
  every lap of every car exactly once, with the host's lap time, and each
  finished car's total time is the sum of its laps;
- `pitwall events --format json` is valid against docs/events.schema.json,
  with one start and a flag for every finisher;
- the results page in headless Chromium shows 20 rows and a lap chart and a
  gap chart of 20 lines each.

Usage: history_e2e.py PITWALL_HOST PITWALL EXAMPLES_DIR DOCS_DIR RACES_DIR SHOTS_DIR
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

import jsonschema

from e2e_helpers import free_port, wait_for_port

HERE = os.path.dirname(os.path.abspath(__file__))


def fetch(url):
    try:
        with urllib.request.urlopen(url, timeout=5) as answer:
            return json.load(answer)
    except Exception:  # not there yet, or the web view is between runs
        return None


def run(*args):
    return subprocess.run(args, capture_output=True, text=True, timeout=60, check=True).stdout


def main():
    host, cli, examples, docs, races, shots = sys.argv[1:7]
    sys.path.insert(0, races)
    import inspect_race  # reads the host's recording on its own

    schemas = {}
    for name in ("results", "laps", "events"):
        with open(f"{docs}/{name}.schema.json", encoding="utf-8") as f:
            schemas[name] = jsonschema.Draft202012Validator(json.load(f))

    work = tempfile.mkdtemp(prefix="pitwall-history.")
    processes = []
    try:
        game = f"{work}/game"
        shutil.copytree(f"{examples}/game", game)
        port, web_port = free_port(), free_port()
        with open(f"{game}/PitwallFeedPlugin.ini", "w", encoding="ascii") as f:
            f.write(f"[GENERAL]\nPort={port}\n")
        db = f"{work}/pitwall.db"
        recording = f"{work}/race.rec"
        web_args = [cli, "web", f"127.0.0.1:{port}", "--listen", f"127.0.0.1:{web_port}",
                    "--db", db]
        base = f"http://127.0.0.1:{web_port}"

        def start_web():
            web = subprocess.Popen(web_args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            processes.append(web)
            wait_for_port(web_port)
            return web

        web = start_web()
        host_process = subprocess.Popen(
            [host, "--game-dir", game, "--sessions", "race", "--cars", "20", "--race-laps", "5",
             "--seed", "11", "--speed", "12", "--rate", "60", "--grid", "10", "--hold", "30",
             "--record", recording],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(host_process)

        # Killed once the leader is on lap 3, started again at once.
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            laps = fetch(f"{base}/api/sessions/latest/laps")
            if laps and max((l["lap"] for l in laps["laps"]), default=0) >= 2:
                break
            time.sleep(0.2)
        else:
            sys.exit("the recorder saw no second lap")
        web.send_signal(signal.SIGKILL)
        web.wait()
        time.sleep(1)
        web = start_web()

        # The race to its end.
        deadline = time.monotonic() + 180
        while time.monotonic() < deadline:
            results = fetch(f"{base}/api/sessions/latest/results")
            if results and not results["provisional"]:
                break
            time.sleep(0.5)
        else:
            sys.exit("the race was not recorded to its end")
        host_process.send_signal(signal.SIGTERM)
        host_process.wait(timeout=30)

        failures = []
        sessions = run(cli, "sessions", "--db", db).splitlines()
        if len(sessions) != 2:
            failures.append("expected one recorded session, got:\n" + "\n".join(sessions))

        results = json.loads(run(cli, "results", "--format", "json", "--db", db))
        laps = json.loads(run(cli, "laps", "--format", "json", "--db", db))
        events = json.loads(run(cli, "events", "--format", "json", "--db", db))
        for name, document in (("results", results), ("laps", laps), ("events", events)):
            for error in schemas[name].iter_errors(document):
                failures.append(f"{name}: {error.message} at {list(error.path)}")

        # What the host's recording says, read by the test races' own reader.
        race = [s for s in inspect_race.read(recording) if s["updates"][0][0]["session"] == 3][0]
        expected = inspect_race.story(race)[0]
        want_order = [r["driver"] for r in expected["results"]]
        got_order = [r["driver"] for r in results["rows"]]
        if got_order != want_order:
            failures.append(f"classification {got_order}, the host's {want_order}")
        if len(results["rows"]) != 20:
            failures.append(f"{len(results['rows'])} cars classified, not 20")

        by_driver = {}
        for lap in laps["laps"]:
            by_driver.setdefault(lap["driver"], []).append(lap)
        for row in results["rows"]:
            driver = row["driver"]
            mine = by_driver.get(driver, [])
            numbers = [l["lap"] for l in mine]
            if numbers != list(range(1, row["laps"] + 1)):
                failures.append(f"{driver}: laps {numbers} for {row['laps']} laps classified")
            want_times = [round(l["lap_s"], 3) for l in expected["laps"].get(driver, [])]
            got_times = [round(l["lap_s"], 3) if l["lap_s"] is not None else None for l in mine]
            if got_times != want_times:
                failures.append(f"{driver}: lap times {got_times}, the host's {want_times}")
            if row["status"] == "finished":
                total = sum(l["lap_s"] for l in mine)
                if row["total_s"] is None or abs(row["total_s"] - total) > 0.002:
                    failures.append(f"{driver}: total {row['total_s']}, its laps add up to {total:.3f}")
        kinds = [e["kind"] for e in events["events"]]
        finishers = sum(1 for r in results["rows"] if r["status"] == "finished")
        if kinds.count("start") != 1 or kinds.count("finished") != finishers:
            failures.append(f"{kinds.count('start')} starts and {kinds.count('finished')} flags "
                            f"for {finishers} finishers")

        shot = f"{shots}/results-history-e2e.png"
        os.makedirs(shots, exist_ok=True)
        page = subprocess.run(["node", f"{HERE}/web/results_page_check.mjs",
                               f"{base}/results?session={results['session']['id']}", shot],
                              capture_output=True, text=True, timeout=90)
        if page.returncode != 0:
            failures.append("results page: " + page.stderr.strip()[-500:])
        elif "rows=20 lap_lines=20 gap_lines=20" not in page.stdout:
            failures.append("results page: " + page.stdout.strip())

        if failures:
            sys.exit("\n".join(failures))
        print(f"20 cars classified as the host did, {len(laps['laps'])} laps each once, "
              f"{len(events['events'])} events; the results page: {page.stdout.strip()}")
    finally:
        for p in processes:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
