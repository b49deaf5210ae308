# Sourced by the scripts: finds the CPython interpreters (3.11 and newer) on this machine.
# Sets PYTHONS (the newest one found and 3.11; QUELM_ALL_PYTHONS=1 adds every other 3.11+
# interpreter) and NEWEST_PYTHON.
find_python() {
  local v="$1" c c2
  for c in "python$v" "/root/.pyenv/versions/$v"*/bin/python"$v" "/usr/local/bin/python$v" "/usr/bin/python$v"; do
    for c2 in $c; do
      if command -v "$c2" >/dev/null 2>&1 && "$c2" -c 'import sys, venv, ensurepip; sys.exit(0)' >/dev/null 2>&1; then
        command -v "$c2"
        return 0
      fi
    done
  done
  return 1
}

PYTHONS=()
for v in 3.15 3.14 3.13 3.12 3.11; do
  if p=$(find_python "$v"); then
    if [ ${#PYTHONS[@]} -eq 0 ] || [ "$v" = 3.11 ] || [ "${QUELM_ALL_PYTHONS:-0}" = 1 ]; then PYTHONS+=("$p"); fi
  fi
done
if [ ${#PYTHONS[@]} -eq 0 ]; then
  echo "no CPython 3.11 or newer found" >&2
  exit 1
fi
NEWEST_PYTHON="${PYTHONS[0]}"
