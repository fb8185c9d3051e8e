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
  --league LEAGUE (before FILE)    also per class of that league file: the
                                   class places and gaps at the end, the
                                   fastest lap, the class lead changes
  --at SECONDS (with --league)     also the class places and gaps of the
                                   first update at or after that session
                                   time (may be given more than once)

It reads only the recording (format version 1, see tools/test_host/
recording.h): one line an event, tab-separated, text percent-encoded; and,
with --league, the class and driver rows of a league file (only the kind,
name, also and class columns; tools/league/league.h has the format).
"""
import csv
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
                             "place": int(v[14]), "behind": float(v[15])})
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
    exact = {n: [] for n in names}  # (the host's last lap unrounded, lap)
    session["exact_laps"] = exact
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
                exact[n].append((b["last"], b["laps"]))
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
        # By the host's times as they are: two laps the same to 3 decimals
        # are told apart by what the host gave.
        timed = [l for l in exact[n] if l[0] > 0]
        return min(timed)[1] if timed else 0
    order = (sorted((c for c in final if c["status"] in (0, 1)), key=lambda c: c["place"]) +
             sorted((c for c in final if c["status"] == 2), key=lambda c: (-c["laps"], c["place"])) +
             sorted((c for c in final if c["status"] == 3), key=lambda c: c["place"]))
    results = [{"position": p + 1, "driver": c["driver"], "laps": c["laps"],
                "status": STATUS[c["status"]], "pit_stops": stop_count[c["driver"]],
                "best_lap": best(c["driver"])} for p, c in enumerate(order)]
    return ({"kind": KINDS.get(head0["session"], str(head0["session"])), "results": results,
             "laps": laps, "pit_stops": stops, "events": events},
            listing, start)



def read_league(path):
    """(classes in their order as (name, colour), {folded driver name: class})."""
    classes, drivers = [], {}
    with open(path, encoding="utf-8-sig", newline="") as f:
        rows = list(csv.reader(f))
    head = [h.strip().lower() for h in rows[0]]
    col = {h: k for k, h in enumerate(head)}
    for row in rows[1:]:
        if not row or all(not x.strip() for x in row) or row[0].startswith("#"):
            continue
        get = lambda name: row[col[name]].strip() if name in col else ""
        kind = get("kind").lower() or "driver"
        if kind == "class":
            classes.append((get("name"), get("colour") or get("color")))
        elif get("class"):
            for name in (get("name"), get("also")):
                if name:
                    drivers[name.strip().lower()] = get("class")
    return classes, drivers


def laps_behind(car, ahead):
    """Whole laps `car` is behind `ahead`: each counted with the laps it
    takes the flag with once either has taken it (one more than completed
    while still on its last lap), else one fewer when `car` is further
    round its lap than `ahead`."""
    laps = ahead["laps"] - car["laps"]
    if ahead["status"] == 1 or car["status"] == 1:
        laps += (0 if ahead["status"] == 1 else 1) - (0 if car["status"] == 1 else 1)
    elif car["distance"] > ahead["distance"]:
        laps -= 1
    return max(laps, 0)


def gap(car, ahead):
    """{"laps": n} or {"seconds": x} from the host's time behind the leader."""
    laps = laps_behind(car, ahead)
    if laps:
        return {"laps": laps}
    return {"seconds": round(max(0.0, car["behind"] - ahead["behind"]), 3)}


def class_story(session, s, league, at_times):
    """Per class: the places, gaps and intervals of the last update (by the
    host's places and times behind the leader), the classification's class
    positions and gaps (on the same lap: the difference of the host's times
    behind the leader in the updates showing the two crossings that completed
    it, or, where either was a lap or more behind the leader then, of the
    times of those updates), the fastest lap and
    the lead changes (the class's best-placed car changed, from the start on;
    lap as for the lead changes); and the places, gaps and intervals of the
    first update at or after each of `at_times`."""
    classes, of_driver = league
    updates = session["updates"]
    names = [c["driver"] for c in updates[0][1]]
    klass = {n: of_driver.get(n.strip().lower()) for n in names}
    # When each car was seen completing each lap, and how far it was behind
    # the leader then (None: a lap or more).
    crossed = {}
    behind_at = {}
    for u in range(1, len(updates)):
        leader = next((c for c in updates[u][1] if c["place"] == 1), None)
        for a, b in zip(updates[u - 1][1], updates[u][1]):
            if b["laps"] > a["laps"]:
                crossed[(b["driver"], b["laps"])] = updates[u][0]["now"]
                if b["place"] == 1:
                    behind_at[(b["driver"], b["laps"])] = 0.0
                elif leader is not None:
                    g = gap(b, leader)
                    behind_at[(b["driver"], b["laps"])] = g.get("seconds")
    start = next((u for u in range(1, len(updates))
                  if any(moved(a, b) for a, b in zip(updates[u - 1][1], updates[u][1]))), None)
    _, final = updates[-1]

    def behind(name, lap):
        """The host's time behind the leader as the car completed `lap`;
        None when it was a lap or more behind then."""
        return behind_at.get((name, lap))

    def standing(cars, name):
        placed = sorted((c for c in cars if klass[c["driver"]] == name and c["place"] > 0),
                        key=lambda c: c["place"])
        return [{"class_place": k + 1, "driver": c["driver"], "place": c["place"],
                 "laps": c["laps"], "status": STATUS[c["status"]],
                 "class_gap": gap(c, placed[0]) if k else None,
                 "class_interval": gap(c, placed[k - 1]) if k else None}
                for k, c in enumerate(placed)]

    # The update at or after each chosen time.
    chosen = [next((u for u in updates if u[0]["now"] >= t), updates[-1]) for t in at_times]
    out = []
    for order, (name, colour) in enumerate(classes, 1):
        members = [n for n in names if klass[n] == name]
        rows = [r for r in s["results"] if klass[r["driver"]] == name]
        results = []
        for k, r in enumerate(rows):
            g = None
            first = rows[0]
            if k and r["status"] != "disqualified":
                if r["laps"] < first["laps"]:
                    g = {"laps": first["laps"] - r["laps"]}
                elif r["laps"] == first["laps"] and r["laps"] > 0:
                    a, b = behind(first["driver"], r["laps"]), behind(r["driver"], r["laps"])
                    if a is None or b is None:
                        a = crossed.get((first["driver"], r["laps"]))
                        b = crossed.get((r["driver"], r["laps"]))
                    if a is not None and b is not None:
                        g = {"seconds": round(max(0.0, b - a), 3)}
            results.append({"class_position": k + 1, "driver": r["driver"],
                            "position": r["position"], "laps": r["laps"], "status": r["status"],
                            "class_gap": g})
        timed = [(t, lap, n) for n in members for t, lap in session["exact_laps"][n] if t > 0]
        fastest = None
        if timed:
            lap_s, lap, n = min(timed)
            fastest = {"driver": n, "car": names.index(n), "lap": lap, "lap_s": round(lap_s, 3)}
        changes = []
        if start is not None and updates[0][0]["session"] == 3:
            for u in range(start, len(updates)):
                head, cars = updates[u]
                before = updates[u - 1][1]
                def best(cs):
                    p = [c for c in cs if klass[c["driver"]] == name and c["place"] > 0]
                    return min(p, key=lambda c: c["place"])["driver"] if p else None
                old, new = best(before), best(cars)
                if old is not None and new is not None and old != new:
                    leader = min(cars, key=lambda c: c["place"])
                    lap = leader["laps"] + 1
                    if head["max_laps"] > 0:
                        lap = min(lap, head["max_laps"])
                    changes.append({"at_s": head["now"], "driver": new, "other_driver": old,
                                    "lap": lap})
        out.append({"name": name, "colour": colour, "order": order, "cars": len(members),
                    "winner": rows[0]["driver"] if rows else None,
                    "standing": standing(final, name),
                    "standing_at": [{"at_s": head["now"], "cars": standing(cars, name)}
                                    for head, cars in chosen],
                    "results": results, "fastest_lap": fastest, "lead_changes": changes})
    return out


def print_classes(classes):
    print("  classes:")
    for c in classes:
        print("    %s (%s, order %d): %d cars, winner %s" % (
            c["name"], c["colour"], c["order"], c["cars"], c["winner"]))
        text = lambda g: "-" if g is None else (
            "+%d L" % g["laps"] if "laps" in g else "+%.3f" % g["seconds"])
        def show(title, cars):
            print("      %s (host's places and times behind):" % title)
            for r in cars:
                print("        %d  %-16s P%d  %d laps  %-9s gap %-8s interval %s" % (
                    r["class_place"], r["driver"], r["place"], r["laps"], r["status"],
                    text(r["class_gap"]), text(r["class_interval"])))
        for moment in c["standing_at"]:
            show("at %.1f s" % moment["at_s"], moment["cars"])
        show("last update", c["standing"])
        print("      classification (gaps from the host's times behind at the crossings):")
        for r in c["results"]:
            print("        %d  %-16s P%d  %d laps  %-9s gap %s" % (
                r["class_position"], r["driver"], r["position"], r["laps"], r["status"],
                text(r["class_gap"])))
        f = c["fastest_lap"]
        print("      fastest lap: %s" % ("none" if f is None else "%.3f %s (car %d) lap %d" % (
            f["lap_s"], f["driver"], f["car"], f["lap"])))
        print("      lead changes:")
        for e in c["lead_changes"]:
            print("        %8.1f  lap %d  %s takes it from %s" % (
                e["at_s"], e["lap"], e["driver"], e["other_driver"]))


def main(argv):
    args = argv[1:]
    expected = "--expected" in args
    league = None
    if "--league" in args:
        league = read_league(args[args.index("--league") + 1])
    at_times = [float(args[k + 1]) for k, a in enumerate(args) if a == "--at"]
    path = args[-1]
    stories = []
    for number, session in enumerate(read(path), 1):
        s, listing, start = story(session)
        if league is not None:
            s["classes"] = class_story(session, s, league, at_times)
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
        if league is not None:
            print_classes(s["classes"])
    if expected:
        print(json.dumps({"sessions": stories}, indent=1))


if __name__ == "__main__":
    main(sys.argv)
