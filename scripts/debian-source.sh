#!/usr/bin/env bash
# Unpacks Debian source packages for cross builds:
#   scripts/debian-source.sh DEST PACKAGE[=VERSION]...
# prints the unpacked folder of each package, one a line. The source archive
# is reached through a private apt configuration kept in DEST/apt: a deb-src
# entry for the same mirror and suite as this machine's first deb entry, so
# the machine's own apt configuration is left alone.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 DEST PACKAGE[=VERSION]..." >&2; exit 2; }
dest=$1; shift
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)

debian_mirror() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'BEGIN{RS=""} /Types:[^\n]*deb([ \n]|$)/ && !/-security/ {
           match($0, /URIs: *[^ \n]+/); u=substr($0, RSTART+6, RLENGTH-6); gsub(/ /, "", u)
           match($0, /Suites: *[^ \n]+/); s=substr($0, RSTART+8, RLENGTH-8); gsub(/ /, "", s)
           print u, s; exit }' "$f"
  done
  if [ -f /etc/apt/sources.list ]; then
    awk '$1=="deb" && $0 !~ /-security/ { i=2; if ($2 ~ /^\[/) { while ($i !~ /\]$/) i++; i++ } print $i, $(i+1); exit }' \
        /etc/apt/sources.list
  fi
}

read -r mirror suite < <(debian_mirror | head -n 1)
[ -n "${mirror:-}" ] && [ -n "${suite:-}" ] || { echo "no deb entry found in the apt sources" >&2; exit 1; }
apt_dir=$dest/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts"
: > "$apt_dir/sources.list"
printf 'deb-src %s %s main\n' "$mirror" "$suite" > "$apt_dir/parts/src.list"
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
          -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o "APT::Sandbox::User=root")
apt-get "${apt_opts[@]}" update -qq >&2

for package in "$@"; do
  name=${package%%=*}
  work=$dest/$name
  rm -rf "$work"
  mkdir -p "$work"
  (cd "$work" && apt-get "${apt_opts[@]}" source --download-only "$package" >&2 &&
     dpkg-source -x --no-check "$name"_*.dsc >&2)
  find "$work" -mindepth 1 -maxdepth 1 -type d -name "$name-*" | head -n 1
done
