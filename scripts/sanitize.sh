#!/usr/bin/env bash
# Runs the tests against sanitizer builds of the native module, with the newest CPython on
# this machine:
#   1. AddressSanitizer + UndefinedBehaviorSanitizer (QUELM_SANITIZE=address): the whole suite
#      but the type checks (mypy never loads the module);
#   2. ThreadSanitizer (QUELM_SANITIZE=thread): the grouped, scheme, pool and thread tests.
# The tests run in that interpreter's test environment (scripts/test.sh makes it, or this
# script when it is missing); each sanitized build is installed into a folder of its own
# that PYTHONPATH puts before the environment's own quelm, and has a CMake build
# directory of its own. The interpreter and the packages it loads are not instrumented, so
# the sanitizer runtime is preloaded. Every report goes to a log file; the script fails on
# any test failure and on any report, in the test process or in the processes it starts.
# Extra arguments go to both pytest runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/pythons.sh
source scripts/venv.sh

python="$NEWEST_PYTHON"
reports="$root/build/sanitize-reports"
rm -rf "$reports"
mkdir -p "$reports"

test_python=$(existing_venv "$python" "[test]")

# sanitized_site KIND -> prints the folder into which quelm, built with
# QUELM_SANITIZE=KIND, has been installed (without dependencies).
sanitized_site() {
  local kind="$1"
  local site="$root/build/sanitize-$kind/site"
  rm -rf "$site"
  QUELM_SANITIZE="$kind" "$test_python" -m pip install -q --disable-pip-version-check --no-deps \
    -C build-dir="$root/build/sanitize-$kind/cmake" --target "$site" "$root" >&2 || return 1
  echo "$site"
}

# Run first in each sanitizer's environment: the tests must load the sanitized build in
# the folder given, not the environment's own.
import_check='import quelm, sys; sys.exit(not quelm.__file__.startswith(sys.argv[1]))'

# runtime_of SITE LIBRARY -> the path of the sanitizer runtime LIBRARY (libasan, libubsan,
# libtsan) that the module installed in SITE links, as the dynamic loader resolves it.
runtime_of() {
  local module
  module=$(ls "$1"/quelm/_quelm_engine*.so)
  ldd "$module" | awk -v lib="$2" 'index($1, lib ".so") == 1 { print $3 }'
}

status=0

echo "=== AddressSanitizer + UndefinedBehaviorSanitizer: the whole test suite ($("$python" --version))"
asan_site=$(sanitized_site address)
# ASan's runtime must come first of all libraries.
preload="$(runtime_of "$asan_site" libasan) $(runtime_of "$asan_site" libubsan)"
asan_env=(PYTHONPATH="$asan_site" LD_PRELOAD="$preload"
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$reports/asan"
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
  PYTHONMALLOC=malloc ARROW_DEFAULT_MEMORY_POOL=system)
if ! env "${asan_env[@]}" "$test_python" -c "$import_check" "$asan_site" ||
   ! env "${asan_env[@]}" "$test_python" -m pytest -q -n auto -p no:cacheprovider \
    --ignore=tests/test_typing.py "$@"; then
  status=1
fi

echo "=== ThreadSanitizer: grouped raking, the pool and threads"
tsan_site=$(sanitized_site thread)
preload=$(runtime_of "$tsan_site" libtsan)
# polars' jemalloc starts a background thread the sanitizer cannot follow: keep it off.
tsan_env=(PYTHONPATH="$tsan_site" LD_PRELOAD="$preload"
  TSAN_OPTIONS="die_after_fork=0:suppressions=$root/tests/tsan.supp:log_path=$reports/tsan"
  _RJEM_MALLOC_CONF=background_thread:false)
if ! env "${tsan_env[@]}" "$test_python" -c "$import_check" "$tsan_site" ||
   ! env "${tsan_env[@]}" "$test_python" -m pytest -q -n auto -p no:cacheprovider \
    tests/test_grouped.py tests/test_by_scheme.py tests/test_pool.py tests/test_threads.py "$@"; then
  status=1
fi

if compgen -G "$reports/*" >/dev/null; then
  echo "=== sanitizer reports:"
  for f in "$reports"/*; do
    echo "--- $f"
    cat "$f"
  done
  status=1
fi
exit $status
