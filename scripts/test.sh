#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: unit
# tests (plain and under AddressSanitizer with UBSan), the image checks and
# the end-to-end runs under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset host
cmake --build --preset host
ctest --preset host
