# Sourced by the scripts: make_venv PYTHON EXTRAS -> prints the venv's python after
# creating the venv (once per interpreter) and installing quelm with the extras into it.
make_venv() {
  local python="$1" extras="$2" root ver dir
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  ver=$("$python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
  dir="$root/.venv/py$ver"
  if [ ! -x "$dir/bin/python" ]; then
    "$python" -m venv "$dir" >&2 || return 1
  fi
  "$dir/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >&2 || return 1
  "$dir/bin/python" -m pip install -q --disable-pip-version-check "$root$extras" >&2 || return 1
  echo "$dir/bin/python"
}

# existing_venv PYTHON EXTRAS -> the python of the venv make_venv made for PYTHON, after
# making it (with quelm installed) when it does not exist yet.
existing_venv() {
  local python="$1" extras="$2" root ver dir
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  ver=$("$python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
  dir="$root/.venv/py$ver"
  if [ -x "$dir/bin/python" ] && "$dir/bin/python" -c 'import quelm, pytest, xdist' >/dev/null 2>&1; then
    echo "$dir/bin/python"
  else
    make_venv "$python" "$extras"
  fi
}
