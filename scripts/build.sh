#!/usr/bin/env bash
# build.sh DIR [cmake options...] [-- targets...]: configures and builds
# into DIR (every target, or the ones after --).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$1"; shift
opts=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do opts+=("$1"); shift; done
if [ $# -gt 0 ]; then shift; fi
cmake -S "$root" -B "$dir" -G Ninja "${opts[@]}" >/dev/null
if [ $# -gt 0 ]; then cmake --build "$dir" --target "$@"; else cmake --build "$dir"; fi
