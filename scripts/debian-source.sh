# Sourced by the scripts that take a library from Debian's own source
# packages for the Windows builds. debian_source PACKAGE WORK [--download-only]
# fetches PACKAGE's source through apt from the machine's own Debian mirrors
# (their deb lines read as deb-src, in a private list under WORK: apt's
# sources are left as they are) into WORK/src, unpacked with Debian's
# patches applied unless --download-only.
debian_source() {
  local package=$1 work=$2 mode=${3:-}
  rm -rf "$work"
  mkdir -p "$work/parts" "$work/lists/partial" "$work/src"
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && sed 's/^Types:.*/Types: deb-src/' "$f" >"$work/parts/$(basename "$f")"
  done
  if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list >"$work/parts/from-sources.list"
  fi
  local apt_options=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$work/parts"
                     -o Dir::State::Lists="$work/lists" -o APT::Sandbox::User=root)
  apt-get "${apt_options[@]}" -qq update
  local args=(source)
  [ "$mode" = --download-only ] && args+=(--download-only)
  (cd "$work/src" && apt-get "${apt_options[@]}" -qq "${args[@]}" "$package" >/dev/null 2>"$work/source.log") ||
    { cat "$work/source.log" >&2; return 1; }
}
