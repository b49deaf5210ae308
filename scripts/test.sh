#!/usr/bin/env bash
# Runs the whole test suite: builds and installs quelm with its test dependencies into a
# virtual environment per interpreter, with the newest CPython on this machine and with 3.11.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh
source scripts/venv.sh

pythons=("$NEWEST_PYTHON")
if [ -n "$OLDEST_PYTHON" ] && [ "$OLDEST_PYTHON" != "$NEWEST_PYTHON" ]; then pythons+=("$OLDEST_PYTHON"); fi

status=0
for python in "${pythons[@]}"; do
  echo "=== tests with $("$python" --version) ($python)"
  venv_python=$(make_venv "$python" "[test]")
  if ! "$venv_python" -m pytest -q "$@"; then status=1; fi
done
exit $status
