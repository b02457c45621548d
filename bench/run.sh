#!/usr/bin/env bash
# The benchmark in one command: what the build needs, the mingw build (the
# tool, the stand-in pnputil.exe and the benchmark's own programs), then the
# runs under Wine in build/bench-wine. Arguments go to bench.py:
#   bench/run.sh                 the full run, a few minutes
#   bench/run.sh --rounds 400    more rounds
#   bench/run.sh --quick         one round of everything, as a smoke check
# The figures are printed and written to build/bench/results.json.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw
# The interpreter the tests use: Debian's own, not whichever python3 comes
# first on PATH.
exec /usr/bin/python3 bench/bench.py "$@"
