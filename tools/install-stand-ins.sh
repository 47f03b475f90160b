#!/usr/bin/env bash
# Installs, onto the PATH, what indexing calls by name and this machine lacks:
#  - the SCIP indexers unpacked from npm (scip-typescript, scip-python);
#  - the stand-ins of tools/ for `scip` and `zoekt-git-index`, each only where the
#    real program is missing (a stand-in never replaces a real tool).
# Environment: PREFIX (install prefix), BUILD_DIR (the Release build directory).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PREFIX=${PREFIX:-/usr/local}
BUILD_DIR=${BUILD_DIR:-build}
BIN="$PREFIX/bin"
mkdir -p "$BIN"
MARK="kolvex stand-in"

# True when `name` on PATH is a real program (not absent, not one of our stand-ins).
has_real() {
  local found
  found=$(command -v "$1" 2>/dev/null) || return 1
  ! grep -q "$MARK" "$found" 2>/dev/null
}

for indexer in scip-typescript scip-python; do
  target="$PWD/third_party/node_modules/.bin/$indexer"
  if [ -e "$target" ] && ! has_real "$indexer"; then
    ln -sf "$target" "$BIN/$indexer"
    echo "setup: $indexer from the pinned npm package"
  fi
done

if has_real scip; then
  echo "setup: scip found on PATH; the stand-in is not installed"
else
  install -m 0755 "$BUILD_DIR/tools/scip" "$BIN/scip"
  echo "setup: scip stand-in installed (version report and expt-convert)"
fi

if has_real zoekt-git-index; then
  echo "setup: zoekt-git-index found on PATH; the stand-in is not installed"
else
  install -m 0755 tools/zoekt-git-index/zoekt-git-index "$BIN/zoekt-git-index"
  echo "setup: zoekt-git-index stand-in installed (builds no search shards; code search needs the real zoekt)"
fi
