#!/usr/bin/env bash
# The one set-up command: installs what a fresh Debian 12 machine lacks, unpacks the
# pinned third-party sources, builds kolvex and installs it onto the PATH.
#   ./setup.sh          set up, build (Release, build/) and install
#   ./setup.sh --test   the same, then run every test in build/ and once more in an
#                       AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
ROOT=$PWD

RUN_TESTS=0
for arg in "$@"; do
  case "$arg" in
    --test) RUN_TESTS=1 ;;
    -h|--help) sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "setup.sh: unknown option: $arg" >&2; exit 2 ;;
  esac
done

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
PREFIX=${KOLVEX_PREFIX:-/usr/local}
JOBS=$(nproc 2>/dev/null || echo 2)

say() { printf 'setup: %s\n' "$*"; }

# --- Debian packages (only the missing ones) ---
PACKAGES=(
  build-essential cmake ninja-build pkg-config git ca-certificates
  nodejs npm
  libsqlite3-dev sqlite3 libzstd-dev libprotobuf-dev protobuf-compiler
  nlohmann-json3-dev libssl-dev libcurl4-openssl-dev libcpp-httplib-dev
  libgtest-dev libgmock-dev
  universal-ctags ccache patch
)
missing=()
for pkg in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
# A newer Node.js from elsewhere satisfies the npm need as well.
if command -v npm >/dev/null 2>&1 && command -v node >/dev/null 2>&1; then
  filtered=()
  for pkg in "${missing[@]}"; do
    case "$pkg" in nodejs|npm) ;; *) filtered+=("$pkg") ;; esac
  done
  missing=("${filtered[@]}")
fi
if [ ${#missing[@]} -gt 0 ]; then
  say "installing Debian packages: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# --- pinned npm sources (grammars, tree-sitter runtime, SCIP indexers) ---
lock_hash=$(sha256sum third_party/package-lock.json | cut -d' ' -f1)
stamp=third_party/node_modules/.kolvex-lock-sha256
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$lock_hash" ]; then
  say "unpacking pinned npm packages"
  (cd third_party && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
  echo "$lock_hash" > "$stamp"
fi

# --- build and install ---
# A compiler cache makes a second set-up (another clone, or the next CI run on
# this machine) recompile only what changed. Paths below the checkout are hashed
# relative to it, so clones at different places share their objects.
LAUNCHER=()
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR="$ROOT" CCACHE_NOHASHDIR=true
  LAUNCHER=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
configure() {  # configure <dir> [cmake options...]
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_INSTALL_PREFIX="$PREFIX" "${LAUNCHER[@]}" "$@" >/dev/null
}
configure build -DCMAKE_BUILD_TYPE=Release
say "building (build/)"
cmake --build build -j "$JOBS"
$SUDO cmake --install build >/dev/null
say "installed into $PREFIX"

if [ -x tools/install-stand-ins.sh ]; then
  $SUDO env PREFIX="$PREFIX" BUILD_DIR="$ROOT/build" tools/install-stand-ins.sh
fi

[ "$RUN_TESTS" = 1 ] || exit 0

# --- tests ---
total_passed=0
total_failed=0
run_suite() {  # run_suite <build dir> <name> [ctest options...]
  local dir=$1 name=$2 log
  shift 2
  log=$(mktemp)
  say "running tests ($name)"
  set +e
  ctest --test-dir "$dir" -j "$JOBS" --output-on-failure --timeout 600 "$@" 2>&1 | tee "$log"
  set -e
  local summary passed failed count
  summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
  if [ -z "$summary" ]; then
    if grep -q 'No tests were found' "$log"; then count=0; failed=0
    else count=1; failed=1; fi
  else
    failed=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
    count=$(echo "$summary" | sed -E 's/.* failed out of ([0-9]+).*/\1/')
  fi
  passed=$((count - failed))
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  rm -f "$log"
}

run_suite build release

# The sanitizer trees link the third-party code (tree-sitter, grammar modules,
# llama.cpp) that build/ compiled: it is never instrumented, so it is built once.
configure build-asan -DCMAKE_BUILD_TYPE=Debug -DKOLVEX_SANITIZE=address,undefined -DKOLVEX_BUILD_BENCH=OFF \
  -DKOLVEX_THIRD_PARTY_FROM="$ROOT/build"
say "building (build-asan/, AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake --build build-asan -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LSAN_OPTIONS=suppressions=$ROOT/cmake/lsan.supp:print_suppressions=0 \
  run_suite build-asan sanitizers

# Concurrency tests once more under ThreadSanitizer (only their own programs are built).
configure build-tsan -DCMAKE_BUILD_TYPE=Debug -DKOLVEX_SANITIZE=thread -DKOLVEX_BUILD_BENCH=OFF \
  -DKOLVEX_THIRD_PARTY_FROM="$ROOT/build"
say "building (build-tsan/, ThreadSanitizer, concurrency tests)"
cmake --build build-tsan -j "$JOBS" --target concurrency_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_suite build-tsan threads -L concurrency

echo "$total_passed passed, $total_failed failed"
[ "$total_failed" = 0 ]
