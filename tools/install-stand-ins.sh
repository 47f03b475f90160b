#!/usr/bin/env bash
# Installs, onto the PATH, what indexing calls by name and this machine lacks:
#  - the SCIP indexers unpacked from npm (scip-typescript, scip-python), copied
#    with the packages they need into $PREFIX/lib/kolvex/node_modules and linked
#    from $PREFIX/bin;
#  - the stand-ins of tools/ for `scip` and `zoekt-git-index`, installed from the
#    build tree like kolvex itself, each only where the real program is missing
#    (a stand-in never replaces a real tool).
# Everything installed runs from the prefix alone: nothing refers back to this
# checkout or its build tree, and a later run from another checkout replaces
# what an earlier one installed.
# Environment: PREFIX (install prefix), BUILD_DIR (the Release build directory).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PREFIX=${PREFIX:-/usr/local}
BUILD_DIR=${BUILD_DIR:-build}
BIN="$PREFIX/bin"
NODE_HOME="$PREFIX/lib/kolvex/node_modules"
MARK="kolvex stand-in"
INDEXERS=(scip-typescript scip-python)
mkdir -p "$BIN"

# True when the file is one this script installed, now or from another checkout:
# a stand-in, or a link to a pinned npm indexer (under a prefix, or in a
# checkout's third_party/ as older installs made them).
ours() {
  local file=$1 target
  if [ -L "$file" ]; then
    target=$(readlink "$file")
    case "$target" in */lib/kolvex/node_modules/*|*/third_party/node_modules/*) return 0 ;; esac
  fi
  [ -f "$file" ] && grep -q "$MARK" "$file" 2>/dev/null
}

# True when `name` on PATH is a real program (not absent, not one of ours).
has_real() {
  local found
  found=$(command -v "$1" 2>/dev/null) || return 1
  ! ours "$found"
}

# True when $BIN/<name> may be (re)written: absent, or installed by this script.
free_in_bin() {
  local file="$BIN/$1"
  if [ ! -e "$file" ] && [ ! -L "$file" ]; then return 0; fi
  if ours "$file"; then return 0; fi
  echo "setup: $file is not one of ours; it is left as it is"
  return 1
}

# The npm indexers: the package directories they need, found by walking the
# lock file's dependencies as Node resolves them (nested first, then hoisted),
# and the executables they declare as "<name> <path in the package>" lines.
indexer_packages() {
  node - "${INDEXERS[@]}" <<'EOF'
const lock = require(process.cwd() + "/third_party/package-lock.json").packages;
const roots = { "scip-typescript": "node_modules/@sourcegraph/scip-typescript",
                "scip-python": "node_modules/@sourcegraph/scip-python" };
const seen = new Set();
function resolve(from, name) {
  for (let dir = from; ; ) {
    const candidate = (dir ? dir + "/" : "") + "node_modules/" + name;
    if (lock[candidate]) return candidate;
    if (!dir) return null;
    const cut = dir.lastIndexOf("/node_modules/");
    dir = cut < 0 ? "" : dir.slice(0, cut);
  }
}
function walk(dir) {
  if (seen.has(dir)) return;
  seen.add(dir);
  const entry = lock[dir];
  const names = Object.keys(Object.assign({}, entry.dependencies, entry.optionalDependencies,
                                          entry.peerDependencies));
  for (const name of names) {
    const found = resolve(dir, name);
    if (found) walk(found);
  }
}
for (const indexer of process.argv.slice(2)) walk(roots[indexer]);
for (const dir of seen) console.log("package " + dir.slice("node_modules/".length));
for (const indexer of process.argv.slice(2)) {
  const bin = lock[roots[indexer]].bin || {};
  console.log("bin " + indexer + " " + roots[indexer].slice("node_modules/".length) + "/" + bin[indexer]);
}
EOF
}

if [ -d third_party/node_modules/@sourcegraph ] && command -v node >/dev/null 2>&1; then
  packages=()
  declare -A entry
  while read -r kind name path; do
    case "$kind" in
      package) packages+=("$name") ;;
      bin) entry[$name]=$path ;;
    esac
  done < <(indexer_packages)
  # A fresh copy beside the old one, then swapped in: no file of an earlier
  # install (of other versions, from another checkout) is left behind.
  fresh="$NODE_HOME.new"
  rm -rf "$fresh"
  mkdir -p "$fresh"
  (cd third_party/node_modules && tar -cf - "${packages[@]}") | tar -xf - -C "$fresh"
  rm -rf "$NODE_HOME"
  mv "$fresh" "$NODE_HOME"
  for indexer in "${INDEXERS[@]}"; do
    if has_real "$indexer"; then
      echo "setup: $indexer found on PATH; the pinned npm package is not linked"
    elif free_in_bin "$indexer"; then
      ln -sfn "../lib/kolvex/node_modules/${entry[$indexer]}" "$BIN/$indexer"
      echo "setup: $indexer from the pinned npm package"
    fi
  done
fi

# install_stand_in <name> <install component> <what it does>
install_stand_in() {
  if has_real "$1"; then
    echo "setup: $1 found on PATH; the stand-in is not installed"
  elif free_in_bin "$1"; then
    rm -f "$BIN/$1"  # an older install's link or copy: replaced, never written through
    cmake --install "$BUILD_DIR" --prefix "$PREFIX" --component "$2" >/dev/null
    echo "setup: $1 stand-in installed ($3)"
  fi
}
install_stand_in scip scip-stand-in "version report and expt-convert"
install_stand_in zoekt-git-index zoekt-stand-in \
  "builds no search shards; code search needs the real zoekt"
