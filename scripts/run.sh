#!/usr/bin/env bash
# Builds the programs it starts, then starts the account service (making a demo account on the first
# run) and the client, which starts its bridge. The service stops when the
# client that started it exits. Extra arguments go to the client.
#   --second  a second client beside the first, with its own home, bridge port
#             and program folder, signed in as a second demo account
set -euo pipefail
SECOND=0
if [ "${1:-}" = "--second" ]; then
  SECOND=1
  shift
fi
# Only the programs started here: the client, its bridge and thumbnail helper,
# and the account service (the tests are built by scripts/test.sh).
BUILD_TARGETS=(zarkelo Vantrel_amd zarkelo-thumbnailer kelvor-service)
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

DATA="${ZARKELO_SERVICE_DATA:-$HOME/.local/share/kelvor-service}"
LISTEN="${ZARKELO_SERVICE_HOST:-127.0.0.1:19443}"
SERVICE="$BUILD/bin/kelvor-service"
HOST="${LISTEN%:*}"
PORT="${LISTEN##*:}"

# The client this script starts: a second one runs from its own program folder.
SECOND_ROOT="${ZARKELO_SECOND_ROOT:-$HOME/.local/share/zarkelo-second}"
if ((SECOND)); then
  CLIENT="$SECOND_ROOT/bin/zarkelo" CLIENT_HOME="$SECOND_ROOT/home"
else
  CLIENT="$BUILD/bin/zarkelo" CLIENT_HOME="$HOME"
fi

# Whether a process runs from that program file (also one rebuilt since it
# started) with that home: the tests' clients run from the same file, each
# with a home of its own, and are not this script's.
client_running() {
  local proc
  for proc in /proc/[0-9]*; do
    case "$(readlink "$proc/exe" 2>/dev/null)" in
      "$CLIENT" | "$CLIENT (deleted)") ;;
      *) continue ;;
    esac
    tr '\0' '\n' <"$proc/environ" 2>/dev/null | grep -qxF "HOME=$CLIENT_HOME" && return 0
  done
  return 1
}
if client_running; then
  echo "The client this script starts ($CLIENT) is already running: nothing started." >&2
  ((SECOND)) || echo "A second client beside it: $0 --second" >&2
  exit 1
fi

mkdir -p "$DATA"
chmod 700 "$DATA"

port_open() { (exec 3<>"/dev/tcp/$HOST/$PORT") 2>/dev/null; }

# The service this script started from this data folder (its process id is
# kept in service.pid), still running with the same command line.
own_service() {
  local pid
  pid="$(cat "$DATA/service.pid" 2>/dev/null)" || return 1
  [[ "$pid" =~ ^[0-9]+$ ]] && [ -r "/proc/$pid/cmdline" ] || return 1
  [ "$(tr '\0' '\n' <"/proc/$pid/cmdline")" = "$(printf '%s\n' "$SERVICE" serve --data "$DATA" --listen "$LISTEN")" ]
}

# Nothing is created or started next to a service this script did not start.
if port_open && ! own_service; then
  echo "Something else already listens on $LISTEN: not the account service that this script" >&2
  echo "started from $DATA. Stop it, or give another address with ZARKELO_SERVICE_HOST=127.0.0.1:PORT" >&2
  echo "(and ZARKELO_SERVICE_DATA for another data folder)." >&2
  exit 1
fi

# The demo account, or with --second a second one to share with.
if ((SECOND)); then
  DEMO="$DATA/demo-account-2.txt" DEMO_EMAIL=demo2@zarkelo.local DEMO_NAME="Demo Two" DEMO_HOST=demo2
else
  DEMO="$DATA/demo-account.txt" DEMO_EMAIL=demo@zarkelo.local DEMO_NAME=Demo DEMO_HOST=demo
fi
if [ ! -s "$DEMO" ]; then
  password="$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')"
  "$SERVICE" add-account --data "$DATA" --email "$DEMO_EMAIL" --password "$password" \
    --name "$DEMO_NAME" --hostname "$DEMO_HOST" >/dev/null
  (umask 077 && printf 'e-mail:   %s\npassword: %s\n' "$DEMO_EMAIL" "$password" >"$DEMO")
fi
echo "Demo account (kept in $DEMO):"
sed 's/^/  /' "$DEMO"

SERVICE_PID=""
stop_service() {
  if [ -n "$SERVICE_PID" ]; then
    kill "$SERVICE_PID" 2>/dev/null || true
    wait "$SERVICE_PID" 2>/dev/null || true
    rm -f "$DATA/service.pid"
  fi
}
trap stop_service EXIT

if port_open; then
  echo "Using the account service already running from $DATA on $LISTEN."
else
  "$SERVICE" serve --data "$DATA" --listen "$LISTEN" >>"$DATA/service.log" 2>&1 &
  SERVICE_PID=$!
  echo "$SERVICE_PID" >"$DATA/service.pid"
  for _ in $(seq 100); do
    port_open && break
    kill -0 "$SERVICE_PID" 2>/dev/null || { echo "The account service did not start; see $DATA/service.log" >&2; exit 1; }
    sleep 0.1
  done
  port_open || { echo "The account service does not answer on $LISTEN" >&2; exit 1; }
  echo "Account service on https://$LISTEN (log: $DATA/service.log)"
fi

export ZARKELO_SERVICE_HOST="$LISTEN"
export ZARKELO_CA_FILE="$DATA/ca.pem"
# The bridge's local-network route on loopback unless set otherwise: on a
# development machine no transfer port opens on the network.
export VANTREL_LAN_ADDRESS="${VANTREL_LAN_ADDRESS:-127.0.0.1}"
if ((SECOND)); then
  # Its own program folder (a client stops the bridges started from its own
  # folder), home (documents, database, settings) and bridge port.
  mkdir -p "$SECOND_ROOT/bin" "$SECOND_ROOT/home"
  cp -f "$BUILD/bin/zarkelo" "$BUILD/bin/Vantrel_amd" "$BUILD/bin/zarkelo-thumbnailer" "$SECOND_ROOT/bin/"
  ln -sf Vantrel_amd "$SECOND_ROOT/bin/Vantrel"
  [ -n "${XAUTHORITY:-}" ] || [ ! -f "$HOME/.Xauthority" ] || export XAUTHORITY="$HOME/.Xauthority"
  export HOME="$SECOND_ROOT/home" XDG_CONFIG_HOME="$SECOND_ROOT/home/.config" XDG_DATA_HOME="$SECOND_ROOT/home/.local/share"
  unset XDG_DOCUMENTS_DIR
  export ZARKELO_BRIDGE_PORT="${ZARKELO_SECOND_BRIDGE_PORT:-19962}"
  # What the client names when that port is taken: the variable that moves it here.
  export ZARKELO_BRIDGE_PORT_VARIABLE=ZARKELO_SECOND_BRIDGE_PORT
  # Signs in as the second demo account as soon as the login sheet shows.
  export ZARKELO_TEST_LOGIN_EMAIL="$DEMO_EMAIL"
  ZARKELO_TEST_LOGIN_PASSWORD="$(sed -n 's/^password: //p' "$DEMO")"
  export ZARKELO_TEST_LOGIN_PASSWORD
  echo "Second client: home $HOME, program folder $SECOND_ROOT/bin, bridge port $ZARKELO_BRIDGE_PORT"
fi
"$CLIENT" "$@"
