#!/bin/sh
# Writes the test races of tests/data/races/ with a built pitwall-host:
#   scripts/make-test-races.sh PATH/TO/pitwall-host
# Each is a simulated race on the Harbour Loop run flat out (--speed 0), so
# the files are stamped with simulated times and come out the same on every
# run. mid_session.rec is grid_and_start.rec cut to begin mid-race.
set -eu
if [ $# -ne 1 ] || [ ! -x "$1" ]; then
  echo "usage: $0 PATH/TO/pitwall-host" >&2
  exit 2
fi
host=$1
out=$(cd "$(dirname "$0")/../tests/data/races" && pwd)

# race NAME OVERRUN_SECONDS FIELD OPTIONS...: FIELD is a number of cars, or
# A:B for a field of two classes
race() {
  name=$1
  overrun=$2
  case $3 in
    *:*) field="--classes $3" ;;
    *) field="--cars $3" ;;
  esac
  shift 3
  # $field unquoted: the option and its value.
  "$host" --track "Harbour Loop" --record "$out/$name.rec" --speed 0 --rate 5 $field \
    --grid 3 --overrun "$overrun" --hold 5 "$@" > /dev/null
  echo "wrote $out/$name.rec"
}

# Grid, start, lead changes, overtakes, two cars over the line in one update.
race grid_and_start 15 6 --seed 1 --race-laps 3 --sessions r
# Car 5 crosses the line one update before the leader takes the flag: it
# must run another lap and finishes a lap down.
race lapped_at_flag 100 6 --seed 1 --race-laps 3 --sessions r --slow 5:3.38 --pit 5@3
# Car 5 retires on lap 2, car 2 is disqualified completing lap 2, car 3
# stops on track on lap 3 and is never retired.
race retire_dq_stop 15 6 --seed 2 --race-laps 3 --sessions r --retire 5@2 --disqualify 2@2 --stop-on-track 3@3
# Car 2's box is at the line: its pit exit and its line crossing share an
# update; the others stop as usual.
race pit_exit_at_line 15 6 --seed 3 --race-laps 3 --sessions r --pit 2@2:8 --pit-exit-at-line 2
# The same race twice: a restart as a new session.
race restart 15 6 --seed 4 --sessions r,r --race-laps 2
# Two classes, four GT3 cars (0 to 3) and three GT4 cars 7 % slower: the
# GT3 leader laps GT4's slowest car, whose class is led by a car behind all
# of GT3; the repair stop is a GT4 car's. Its classes: two_class.league.csv.
race two_class 40 4:3 --seed 8 --race-laps 7 --sessions r

# A recorder started mid-race: the header line, then everything from the
# first update 20 seconds into the race.
awk -F '\t' 'NR == 1 { print; next }
             !keep && $1 == "scoring" && $2 + 0 >= 20 { keep = 1 }
             keep' "$out/grid_and_start.rec" > "$out/mid_session.rec"
echo "wrote $out/mid_session.rec"
