#!/usr/bin/env bash
# Runs the whole test suite: builds and installs quelm with its test dependencies into a
# virtual environment per interpreter: the newest CPython on this machine and 3.11
# (QUELM_ALL_PYTHONS=1: every CPython 3.11+ it has). The tests are spread over one worker
# process per CPU; extra arguments go to pytest (`-n 0` runs them in one process).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh
source scripts/venv.sh

status=0
for python in "${PYTHONS[@]}"; do
  echo "=== tests with $("$python" --version) ($python)"
  venv_python=$(make_venv "$python" "[test]")
  if ! "$venv_python" -m pytest -q -n auto "$@"; then status=1; fi
done
exit $status
