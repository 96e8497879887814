#!/usr/bin/env bash
# Sets everything up, builds, starts a local collection server (orvant-collect
# on 127.0.0.1, its store in build/collected/, its operator's page with the
# password in build/collected-password) and starts the program on its program
# folder, posting to that server. The server stops when the program ends.
# With ORVANT_UPLOAD_HOST set, the program posts there and no server starts.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ -n "${ORVANT_UPLOAD_HOST:-}" ]; then
  exec "$root/build/bin/orvant" "$@"
fi

store="$root/build/collected"
password="$root/build/collected-password"
mkdir -p "$store"
if [ ! -s "$password" ]; then
  (umask 077 && head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$password" && echo >>"$password")
fi
# The server will not run as root unless told; a newcomer's first session
# on a fresh machine often is root.
as_root=()
[ "$(id -u)" -ne 0 ] || as_root=(--allow-root)
started="$(mktemp)"
"$root/build/collect/orvant-collect" serve --store "$store" --listen 127.0.0.1:0 "${as_root[@]}" \
  --operator-password-file "$password" --catalogue "$root/build/bin/orvant.xml" \
  >"$started" 2>>"$root/build/collected.log" &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -f "$started"' EXIT
for _ in $(seq 300); do
  grep -q "listening on" "$started" && break
  kill -0 "$server" 2>/dev/null || { echo "run: orvant-collect did not start; see build/collected.log" >&2; exit 1; }
  sleep 0.1
done
address="$(sed -n 's|.*listening on http://||p' "$started" | head -1)"
[ -n "$address" ] || { echo "run: orvant-collect did not say where it listens; see build/collected.log" >&2; exit 1; }
echo "run: uploads go to orvant-collect at http://$address, stored in build/collected/ (log: build/collected.log)"
echo "run: the operator's page is http://$address/ (user operator, password in build/collected-password)"
ORVANT_UPLOAD_HOST="$address" "$root/build/bin/orvant" "$@"
