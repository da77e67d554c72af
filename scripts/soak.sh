#!/usr/bin/env bash
# A chaos soak: the demo camera against the local cloud while a seeded
# scheduler drives cloud actions and injects faults.
#
#   scripts/soak.sh [--minutes N] [--seed S] [-- soak options]
#
# N defaults to 10, S to 1. The camera runs as in scripts/demo.sh; every 5 s its
# memory, descriptors, threads, CPU and log size are sampled from /proc. At the
# end: a table of checks, a JSON report and a PNG plot (named on the last
# lines). Exit status non-zero when a check fails. KESTREL_BUILD_DIR picks the
# build tree (default build/); KESTREL_DEMO_BIN skips the build and uses that
# binary. Options after -- go to devcloud_lib/soak.py (e.g. --max-growth-mib).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
minutes=10
seed=1
extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --minutes) minutes="${2:?--minutes needs a value}"; shift 2 ;;
    --minutes=*) minutes="${1#*=}"; shift ;;
    --seed) seed="${2:?--seed needs a value}"; shift 2 ;;
    --seed=*) seed="${1#*=}"; shift ;;
    --) shift; extra=("$@"); break ;;
    -h|--help) sed -n '2,13p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "soak.sh: unknown argument '$1' (try --help)" >&2; exit 2 ;;
  esac
done
[[ "$minutes" =~ ^[0-9]+([.][0-9]+)?$ ]] || { echo "soak.sh: --minutes takes a number" >&2; exit 2; }
[[ "$seed" =~ ^[0-9]+$ ]] || { echo "soak.sh: --seed takes a whole number" >&2; exit 2; }

if [ -z "${KESTREL_DEMO_BIN:-}" ]; then
  bash "$ROOT/scripts/deps.sh"
  BUILD="${KESTREL_BUILD_DIR:-$ROOT/build}"
  [ -f "$BUILD/CMakeCache.txt" ] || cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD" -j"$(nproc)" --target kestrel_demo
  KESTREL_DEMO_BIN="$BUILD/demo/app/kestrel_demo"
fi
[ -x "$KESTREL_DEMO_BIN" ] || { echo "soak.sh: no camera binary at $KESTREL_DEMO_BIN" >&2; exit 1; }
KESTREL_DEMO_BIN="$(realpath "$KESTREL_DEMO_BIN")"  # the soak runs from devcloud/
# The plot needs matplotlib from Debian.
if ! /usr/bin/python3 -c 'import matplotlib' 2>/dev/null; then
  SUDO=""; [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get install -y -qq --no-install-recommends python3-matplotlib >/dev/null || \
    echo "soak.sh: python3-matplotlib could not be installed; no plot" >&2
fi

cd "$ROOT/devcloud"
exec env PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m devcloud_lib.soak \
  --demo "$KESTREL_DEMO_BIN" --media "$ROOT/demo/media" --minutes "$minutes" --seed "$seed" "${extra[@]}"
