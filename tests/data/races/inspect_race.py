#!/usr/bin/env python3
"""Lists what a PitwallFeed host recording holds, car by car, and derives
the story a timing tool should tell of it.

  inspect_race.py FILE             the listing: per session and car, each
                                   increment of the host's laps counter with
                                   its session time, last lap and place, the
                                   pit lane entries and exits, the finish
                                   status changes; then the events
  inspect_race.py --expected FILE  the story as JSON (the format of the
                                   *.expected.json files beside this script)

It reads only the recording (format version 1, see tools/test_host/
recording.h): one line an event, tab-separated, text percent-encoded.
"""
import json
import sys
import urllib.parse

STATUS = {0: "running", 1: "finished", 2: "retired", 3: "disqualified"}
KINDS = {1: "practice", 2: "qualifying", 3: "race"}


def read(path):
    """Sessions as lists of updates; an update is (t, header dict, cars)."""
    sessions, current = [], None
    with open(path, encoding="utf-8", newline="\n") as f:
        lines = f.read().split("\n")
    assert lines[0].split("\t") == ["PITWALL-HOST-RECORDING", "1"], "not a recording"
    i = 1
    while i < len(lines):
        f = lines[i].split("\t")
        i += 1
        if f == [""] or f[0].startswith("#"):
            continue
        if f[0] == "start":
            current = {"updates": [], "start_seen": True}
            sessions.append(current)
        elif f[0] == "end":
            current = None
        elif f[0] == "scoring":
            if current is None:  # a recording that begins mid-session
                current = {"updates": [], "start_seen": False}
                sessions.append(current)
            head = {"t": float(f[1]), "track": urllib.parse.unquote(f[2]),
                    "session": int(f[3]), "now": float(f[4]), "max_laps": int(f[6])}
            cars = []
            for k in range(int(f[8])):
                v = lines[i + k].split("\t")
                assert v[0] == "vehicle"
                cars.append({"index": k, "driver": urllib.parse.unquote(v[1]),
                             "laps": int(v[2]), "status": int(v[4]),
                             "distance": float(v[5]), "best": float(v[6]),
                             "last": float(v[9]), "pits": int(v[13]) != 0,
                             "place": int(v[14])})
            i += int(f[8])
            current["updates"].append((head, cars))
    return sessions


def moved(a, b):
    return (a["laps"], a["distance"]) != (b["laps"], b["distance"])


def story(session):
    updates = session["updates"]
    head0, cars0 = updates[0]
    names = [c["driver"] for c in cars0]
    laps = {n: [] for n in names}
    listing = {n: [] for n in names}
    stops, events, stop_count = [], [], {n: 0 for n in names}
    start = None  # index of the first update in which a car moves
    for u in range(1, len(updates)):
        head, cars = updates[u]
        _, before = updates[u - 1]
        now = head["now"]
        if start is None and any(moved(a, b) for a, b in zip(before, cars)):
            start = u
        leader = min(cars, key=lambda c: c["place"])
        lap = min(leader["laps"] + 1, head["max_laps"]) if head["max_laps"] > 0 else leader["laps"] + 1
        for a, b in zip(before, cars):
            n = b["driver"]
            if b["laps"] > a["laps"]:
                laps[n].append({"lap": b["laps"], "lap_s": round(b["last"], 3)})
                listing[n].append("%8.1f  lap %d done: last %.3f  P%d%s" % (
                    now, b["laps"], b["last"], b["place"], "  (pit lane)" if b["pits"] else ""))
            if b["pits"] and not a["pits"] and b["status"] in (0, 1):
                # A car sent off the track (disqualified) makes no stop.
                stop_count[n] += 1
                # The lap under way as the update began: a car that turns into
                # the lane as it crosses the line stops on the lap it completes.
                stops.append({"driver": n, "lap": a["laps"] + 1, "number": stop_count[n]})
                listing[n].append("%8.1f  pit lane in (laps %d, %.0f m)" % (now, b["laps"], b["distance"]))
            if a["pits"] and not b["pits"]:
                listing[n].append("%8.1f  pit lane out (laps %d, %.0f m)" % (now, b["laps"], b["distance"]))
            if b["status"] != a["status"]:
                listing[n].append("%8.1f  status %d -> %d, P%d" % (now, a["status"], b["status"], b["place"]))
                kind = STATUS[b["status"]]
                if kind == "finished":
                    events.append({"kind": "finished", "driver": n, "place": b["place"]})
                elif kind in ("retired", "disqualified"):
                    events.append({"kind": kind, "driver": n})
        if start is None or head["session"] != 3:
            continue
        old_leader = min(before, key=lambda c: c["place"])
        if old_leader["index"] != leader["index"]:
            events.append({"kind": "lead_change", "driver": leader["driver"], "lap": lap})
        racing = [k for k in range(len(cars))
                  if not before[k]["pits"] and not cars[k]["pits"]
                  and before[k]["status"] == 0 and cars[k]["status"] == 0
                  and moved(before[k], cars[k])]
        for x in racing:
            for y in racing:
                if (before[x]["place"] > before[y]["place"] and cars[x]["place"] < cars[y]["place"]):
                    # Passing a car wins at best its old place, and never a
                    # better place than the passer holds after the update.
                    events.append({"kind": "overtake", "driver": names[x], "other_driver": names[y],
                                   "place": max(cars[x]["place"], before[y]["place"]), "lap": lap})
    _, final = updates[-1]
    def best(n):
        timed = [l for l in laps[n] if l["lap_s"] > 0]
        return min(timed, key=lambda l: (l["lap_s"], l["lap"]))["lap"] if timed else 0
    order = (sorted((c for c in final if c["status"] in (0, 1)), key=lambda c: c["place"]) +
             sorted((c for c in final if c["status"] == 2), key=lambda c: (-c["laps"], c["place"])) +
             sorted((c for c in final if c["status"] == 3), key=lambda c: c["place"]))
    results = [{"position": p + 1, "driver": c["driver"], "laps": c["laps"],
                "status": STATUS[c["status"]], "pit_stops": stop_count[c["driver"]],
                "best_lap": best(c["driver"])} for p, c in enumerate(order)]
    return ({"kind": KINDS.get(head0["session"], str(head0["session"])), "results": results,
             "laps": laps, "pit_stops": stops, "events": events},
            listing, start)


def main(argv):
    expected = argv[1:2] == ["--expected"]
    path = argv[-1]
    stories = []
    for number, session in enumerate(read(path), 1):
        s, listing, start = story(session)
        stories.append(s)
        if expected:
            continue
        updates = session["updates"]
        head = updates[0][0]
        print("session %d: %s on %s, %d updates from %.1f to %.1f s, start %s%s" % (
            number, s["kind"], head["track"], len(updates), updates[0][0]["now"],
            updates[-1][0]["now"],
            "at %.1f s" % updates[start][0]["now"] if start is not None else "not seen",
            "" if session["start_seen"] else " (recording begins mid-session)"))
        for name, lines in listing.items():
            print("  %s" % name)
            for line in lines:
                print("  " + line)
        same = {}
        for u in range(1, len(updates)):
            crossed = [b["driver"] for a, b in zip(updates[u - 1][1], updates[u][1])
                       if b["laps"] > a["laps"]]
            if len(crossed) > 1:
                same[updates[u][0]["now"]] = crossed
        for t, who in same.items():
            print("  %8.1f  crossing the line in one update: %s" % (t, ", ".join(who)))
        print("  events:")
        for e in s["events"]:
            print("    " + json.dumps(e))
        print("  classification:")
        for r in s["results"]:
            print("    " + json.dumps(r))
    if expected:
        print(json.dumps({"sessions": stories}, indent=1))


if __name__ == "__main__":
    main(sys.argv)
