#!/usr/bin/env bash
# Runs the tests against sanitizer builds of the native module, with the newest CPython on
# this machine:
#   1. AddressSanitizer + UndefinedBehaviorSanitizer (QUELM_SANITIZE=address): the whole suite;
#   2. ThreadSanitizer (QUELM_SANITIZE=thread): the grouped, scheme, pool and thread tests.
# Each build gets a virtual environment and a CMake build directory of its own. The
# interpreter and the packages it loads are not instrumented, so the sanitizer runtime is
# preloaded. Every report goes to a log file; the script fails on any test failure and on
# any report, in the test process or in the processes it starts.
# Extra arguments go to both pytest runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/pythons.sh

python="$NEWEST_PYTHON"
ver=$("$python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
reports="$root/build/sanitize-reports"
rm -rf "$reports"
mkdir -p "$reports"

# sanitized_venv KIND -> prints the venv's python after installing quelm built with
# QUELM_SANITIZE=KIND and the test dependencies into it.
sanitized_venv() {
  local kind="$1"
  local dir="$root/.venv/sanitize-$kind-py$ver"
  if [ ! -x "$dir/bin/python" ]; then
    "$python" -m venv "$dir" >&2 || return 1
  fi
  "$dir/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >&2 || return 1
  QUELM_SANITIZE="$kind" "$dir/bin/python" -m pip install -q --disable-pip-version-check \
    -C build-dir="$root/build/sanitize-$kind" "$root[test]" >&2 || return 1
  echo "$dir/bin/python"
}

# runtime_of VENV_PYTHON LIBRARY -> the path of the sanitizer runtime LIBRARY (libasan,
# libubsan, libtsan) that the installed module links, as the dynamic loader resolves it.
runtime_of() {
  local platlib module
  platlib=$("$1" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
  module=$(ls "$platlib"/quelm/_quelm_engine*.so)
  ldd "$module" | awk -v lib="$2" 'index($1, lib ".so") == 1 { print $3 }'
}

status=0

echo "=== AddressSanitizer + UndefinedBehaviorSanitizer: the whole test suite ($("$python" --version))"
asan_python=$(sanitized_venv address)
# ASan's runtime must come first of all libraries.
preload="$(runtime_of "$asan_python" libasan) $(runtime_of "$asan_python" libubsan)"
if ! env LD_PRELOAD="$preload" \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$reports/asan" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
    PYTHONMALLOC=malloc ARROW_DEFAULT_MEMORY_POOL=system \
    "$asan_python" -m pytest -q -p no:cacheprovider "$@"; then
  status=1
fi

echo "=== ThreadSanitizer: grouped raking, the pool and threads"
tsan_python=$(sanitized_venv thread)
preload=$(runtime_of "$tsan_python" libtsan)
# polars' jemalloc starts a background thread the sanitizer cannot follow: keep it off.
if ! env LD_PRELOAD="$preload" \
    TSAN_OPTIONS="die_after_fork=0:suppressions=$root/tests/tsan.supp:log_path=$reports/tsan" \
    _RJEM_MALLOC_CONF=background_thread:false \
    "$tsan_python" -m pytest -q -p no:cacheprovider \
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
