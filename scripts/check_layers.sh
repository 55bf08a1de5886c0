#!/usr/bin/env bash
# Fails when a source folder includes a header from a folder it may not use:
# each folder below names the folders it may include from, all of them lower
# layers (docs/architecture.md). Includes without a folder ("wire.h") are the
# folder's own. Usage: check_layers.sh [source root]
set -euo pipefail
ROOT="${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"

# folder -> the folders it may include from (besides itself), lowest first.
declare -A MAY_USE=(
  [core]=""
  [protocol]="core"
  [common/tls]=""
  [common/net]=""
  [app/media]="core"
  [app/bridge]="core protocol"
  [app/local_sharing]="core protocol app/bridge"
  [app/shell]="core protocol app/media app/bridge app/local_sharing"
  [app/thumbnailer]="core app/media"
  [app/host_side]="core protocol app/media app/bridge app/local_sharing app/shell"
  [app/remote_sharing]="core protocol app/media app/bridge app/local_sharing app/shell app/host_side"
  [app/contacts]="core protocol app/media app/bridge app/local_sharing app/shell app/remote_sharing"
  [app/local_sharing/ui]="core protocol app/media app/bridge app/local_sharing app/shell"
  [vantrel]="core protocol common/tls common/net vantrel/transfer vantrel/lan vantrel/net"
  [vantrel/net]="core protocol common/tls common/net"
  [vantrel/transfer]="core protocol common/tls common/net vantrel/net vantrel/lan"
  [vantrel/lan]="core protocol common/tls common/net vantrel/net vantrel/transfer"
  [account_service]="core protocol common/tls common/net account_service/front"
  [account_service/front]="core protocol common/tls common/net"
)

# The folder a quoted include names: "core/x.h" is core/, "protocol/x.h" is protocol/,
# "common/tls/x.h" is common/tls/; inside the bridge "transfer/x.h", "lan/x.h"
# and "net/x.h" are its own subfolders; any other "a/b/x.h" is app/a/b/.
target_folder() {
  local dir="${1%/*}" from="$2"
  case "$dir" in
    core | protocol | protocol/* | common/*) echo "$dir" ;;
    transfer | lan | net) [[ "$from" == vantrel* ]] && echo "vantrel/$dir" || echo "app/$dir" ;;
    front) [[ "$from" == account_service* ]] && echo "account_service/$dir" || echo "app/$dir" ;;
    *) echo "app/$dir" ;;
  esac
}

failures=0
for folder in "${!MAY_USE[@]}"; do
  [ -d "$ROOT/$folder" ] || continue
  allowed=" $folder ${MAY_USE[$folder]} "
  while IFS= read -r file; do
    while IFS=: read -r line include; do
      [[ "$include" == */* ]] || continue
      target="$(target_folder "$include" "$folder")"
      if [[ "$allowed" != *" $target "* ]]; then
        echo "${file#"$ROOT"/}:$line: includes \"$include\" ($target), which $folder may not use"
        failures=$((failures + 1))
      fi
    done < <(grep -n -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" |
             sed -E 's/^([0-9]+):[^"]*"([^"]*)".*/\1:\2/')
  done < <(find "$ROOT/$folder" -maxdepth 1 -type f \( -name '*.h' -o -name '*.cpp' \))
done

if ((failures)); then
  echo "$failures include(s) against the layers"
  exit 1
fi
echo "Layers hold: every folder includes only from the folders below it"
