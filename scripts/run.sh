#!/usr/bin/env bash
# Builds, then starts the account service (making a demo account on the first
# run) and the client, which starts its bridge. The service stops when the
# client exits. Extra arguments go to the client.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

DATA="${ZARKELO_SERVICE_DATA:-$HOME/.local/share/kelvor-service}"
LISTEN="${ZARKELO_SERVICE_HOST:-127.0.0.1:19443}"
SERVICE="$BUILD/bin/kelvor-service"
HOST="${LISTEN%:*}"
PORT="${LISTEN##*:}"

mkdir -p "$DATA"
chmod 700 "$DATA"
DEMO="$DATA/demo-account.txt"
if [ ! -s "$DEMO" ]; then
  password="$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')"
  "$SERVICE" add-account --data "$DATA" --email demo@zarkelo.local --password "$password" \
    --name Demo --hostname demo >/dev/null
  (umask 077 && printf 'e-mail:   demo@zarkelo.local\npassword: %s\n' "$password" >"$DEMO")
fi
echo "Demo account (kept in $DEMO):"
sed 's/^/  /' "$DEMO"

port_open() { (exec 3<>"/dev/tcp/$HOST/$PORT") 2>/dev/null; }

SERVICE_PID=""
stop_service() {
  if [ -n "$SERVICE_PID" ]; then
    kill "$SERVICE_PID" 2>/dev/null || true
    wait "$SERVICE_PID" 2>/dev/null || true
  fi
}
trap stop_service EXIT

if port_open; then
  echo "Something already listens on $LISTEN; using it as the account service."
else
  "$SERVICE" serve --data "$DATA" --listen "$LISTEN" >>"$DATA/service.log" 2>&1 &
  SERVICE_PID=$!
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
"$BUILD/bin/zarkelo" "$@"
