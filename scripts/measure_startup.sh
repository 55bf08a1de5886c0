#!/usr/bin/env bash
# Start-up measurement of the client: time from launch to the main window shown,
# time to the first sign-in, and resident memory after sign-in (client and its
# bridge). Runs a private account service and clients with temporary homes.
#   scripts/measure_startup.sh [runs]      (default 5; uses an existing build)
# Targets: window under 0.5 s, client memory under 120 MB.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${ZARKELO_BUILD_DIR:-$ROOT/build}"
RUNS="${1:-5}"
for exe in zarkelo Vantrel_amd kelvor-service; do
  [ -x "$BUILD/bin/$exe" ] || { echo "missing $BUILD/bin/$exe: build first" >&2; exit 1; }
done

WORK="$(mktemp -d "${TMPDIR:-/tmp}/zarkelo-measure-XXXXXX")"
SERVICE_PID=""
cleanup() {
  [ -n "$SERVICE_PID" ] && kill "$SERVICE_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 20000))
    port_open "$p" || { echo "$p"; return; }
  done
}

# The client kills leftover bridges of its own folder: give it a folder of its own.
mkdir -p "$WORK/bin"
for exe in zarkelo Vantrel_amd; do
  ln "$BUILD/bin/$exe" "$WORK/bin/$exe" 2>/dev/null || cp "$BUILD/bin/$exe" "$WORK/bin/$exe"
done

DATA="$WORK/service"
mkdir -p "$DATA"
EMAIL=measure@zarkelo.local
PASSWORD=measure-pass
"$BUILD/bin/kelvor-service" add-account --data "$DATA" --email "$EMAIL" --password "$PASSWORD" \
  --name Measure --hostname measure >/dev/null
SERVICE_PORT="$(free_port)"
"$BUILD/bin/kelvor-service" serve --data "$DATA" --listen "127.0.0.1:$SERVICE_PORT" >"$DATA/service.log" 2>&1 &
SERVICE_PID=$!
for _ in $(seq 100); do port_open "$SERVICE_PORT" && break; sleep 0.1; done
port_open "$SERVICE_PORT" || { echo "the account service did not start" >&2; exit 1; }

rss_mb() { awk '/^VmRSS:/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status" 2>/dev/null || echo "?"; }
ms_since() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }

# Each run starts a client twice: in a fresh home (the database is created),
# then again in that home.
printf '%-10s %12s %12s %14s %14s\n' run window_ms signin_ms client_rss_mb bridge_rss_mb
windows=()
warm_windows=()
rsss=()
for launch in $(seq $((2 * RUNS))); do
  run=$(((launch + 1) / 2))
  if ((launch % 2)); then kind=fresh; else kind=again; fi
  HOME_DIR="$WORK/home$run"
  mkdir -p "$HOME_DIR"
  start=$(date +%s%N)
  coproc CLIENT {
    exec env HOME="$HOME_DIR" XDG_CONFIG_HOME="$HOME_DIR/.config" XDG_DATA_HOME="$HOME_DIR/.local/share" \
      QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}" ZARKELO_SERVICE_HOST="127.0.0.1:$SERVICE_PORT" \
      ZARKELO_CA_FILE="$DATA/ca.pem" ZARKELO_BRIDGE_PORT="$(free_port)" VANTREL_LAN_ADDRESS=127.0.0.1 \
      ZARKELO_TEST_LOGIN_EMAIL="$EMAIL" ZARKELO_TEST_LOGIN_PASSWORD="$PASSWORD" \
      "$WORK/bin/zarkelo" 2>&1
  }
  pid=$CLIENT_PID
  window="?"
  signin="?"
  while IFS= read -r -t 30 line <&"${CLIENT[0]}"; do
    case "$line" in
      *"Main window shown"*) window=$(ms_since "$start") ;;
      *"Host Login Succeeded"*) signin=$(ms_since "$start"); break ;;
    esac
  done
  sleep 1
  bridge=$(pgrep -P "$pid" -x Vantrel_amd | head -1 || true)
  client_rss=$(rss_mb "$pid")
  bridge_rss="?"
  [ -n "$bridge" ] && bridge_rss=$(rss_mb "$bridge")
  printf '%-10s %12s %12s %14s %14s\n' "$run-$kind" "$window" "$signin" "$client_rss" "$bridge_rss"
  if [ "$kind" = fresh ]; then windows+=("$window"); else warm_windows+=("$window"); fi
  rsss+=("$client_rss")
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  [ -n "$bridge" ] && kill -9 "$bridge" 2>/dev/null || true
done

median() { printf '%s\n' "$@" | grep -v '?' | sort -n | awk '{ a[NR] = $1 } END { if (NR) print a[int((NR + 1) / 2)]; else print "?" }'; }
echo "median: window $(median "${windows[@]}") ms in a fresh home, $(median "${warm_windows[@]}") ms again" \
  "(target < 500); client memory after sign-in $(median "${rsss[@]}") MB (target < 120)"
