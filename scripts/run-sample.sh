#!/usr/bin/env bash
# The first thing to run: builds BrelmotCp.exe and runs it once under Wine
# in a sample folder with two driver packages (inf3b18 and inf3b1a), against
# a stand-in pnputil.exe that installs nothing and only records how it was
# started. Prints the tool's exit status, its output (none) and the command
# lines the stand-in received.
#
# Everything stays in build/: the Wine prefix in build/sample-wine (made
# once, about ten seconds) and the sample in build/sample. A second run
# reuses the prefix and the build and takes a second or two.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw
echo "built build/mingw/BrelmotCp.exe: $(stat -c %s build/mingw/BrelmotCp.exe) bytes"

export BRELMOT_E2E_ROOT="$PWD/build/sample-wine"
export BRELMOT_IMAGE="$PWD/build/mingw/BrelmotCp.exe"
export BRELMOT_WINDOWS_DIR="$PWD/build/mingw"
export PYTHONDONTWRITEBYTECODE=1
exec /usr/bin/python3 tests/e2e/winelab.py sample "$PWD/build/sample"
