#!/usr/bin/env bash
# Builds and starts the client.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
exec "$BUILD/bin/zarkelo" "$@"
