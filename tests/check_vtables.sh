#!/usr/bin/env bash
# Reads the two interface vtables out of a 32-bit Windows module and fails
# unless every entry is the function of its slot, in slot order, slot 0 being
# the one-entry scalar deleting destructor, and unless every slot function
# pops its own arguments on return (thiscall: `ret $4*arguments`).
# Usage: check_vtables.sh NM OBJDUMP PitwallFeedPlugin.dll
set -euo pipefail
nm=$1
objdump=$2
dll=$3
symbols=$("$nm" "$dll")
demangled=$("$nm" -C "$dll")
failed=0

# check CLASS SLOT:ARGUMENTS...
check() {
  local class=$1; shift
  local start
  start=$(awk -v want="vtable for $class" '{ name=$0; sub(/^[^ ]+ [^ ]+ /, "", name); if (name == want) print $1 }' <<<"$demangled")
  if [ -z "$start" ]; then echo "no vtable for $class"; failed=1; return; fi
  # The object's vtable pointer skips the offset-to-top and type-info words.
  local first=$(( 0x$start + 8 )) count=$#
  local words
  words=$("$objdump" -s --start-address=$first --stop-address=$(( first + 4 * count )) "$dll" |
          awk '/^ [0-9a-f]+ /{for (i = 2; i <= 5 && i <= NF; ++i) if (length($i) == 8 && $i ~ /^[0-9a-f]+$/) print $i}')
  local index=0 slot arguments word address name mangled rets
  for entry in "$@"; do
    slot=${entry%%:*}
    arguments=${entry##*:}
    word=$(sed -n "$(( index + 1 ))p" <<<"$words")
    # Little-endian bytes to an address.
    address=$(printf '%08x' $(( 0x${word:6:2}${word:4:2}${word:2:2}${word:0:2} )))
    name=$(awk -v a="$address" '$1 == a && ($2 == "T" || $2 == "t") && $3 !~ /^\./ { $1 = ""; $2 = ""; sub(/^  /, ""); print; exit }' <<<"$demangled")
    if [ "${name%%(*}" != "$class::$slot" ]; then
      echo "$class slot $index: expected $class::$slot, found '${name:-<nothing at $address>}'"
      failed=1
    else
      mangled=$(awk -v a="$address" '$1 == a && ($2 == "T" || $2 == "t") && $3 !~ /^\./ { print $3; exit }' <<<"$symbols")
      rets=$("$objdump" -d --no-show-raw-insn --disassemble="$mangled" "$dll" |
             awk '$2 == "ret" { print ($3 == "" ? "$0x0" : $3) }' | sort -u |
             while read -r pop; do echo $(( ${pop#\$} )); done | sort -u)
      if [ -n "$rets" ] && [ "$rets" != "$(( 4 * arguments ))" ]; then
        echo "$class::$slot returns popping $(echo $rets) bytes, not $(( 4 * arguments )) (thiscall)"
        failed=1
      fi
    fi
    index=$(( index + 1 ))
  done
  [ "$failed" = 0 ] && echo "$class: $count slots in order"
  return 0
}

check ResultsServerPluginInfo ScalarDeletingDestructor:1 GetName:0 GetFullName:0 GetDescription:0 \
  GetType:0 GetSubType:0 GetVersion:0 Create:0
check ResultsServerPlugin ScalarDeletingDestructor:1 Detach:0 GetInfo:0 QueryOptionCount:0 \
  QueryOption:1 SetOption:1 Startup:0 Shutdown:0 ResumeSimulation:0 PauseSimulation:0 \
  WantsTelemetry:0 UpdateTelemetry:1 WantsGraphics:0 UpdateGraphics:1 WantsHardwareInput:0 \
  UpdateHardwareInput:1 EnterCockpit:0 ExitCockpit:0 CheckHardwareControl:2 ForceFeedback:1 \
  WantsScoring:0 SetScoringRate:1 SessionStart:0 SessionEnd:0 EnterGarage:1 LeaveGarage:1 \
  UpdateScoring:1 WantsCommentary:1
exit "$failed"
