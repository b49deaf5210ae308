#!/usr/bin/env bash
# Builds and installs quelm into a virtual environment and rakes the bundled sample survey.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh
source scripts/venv.sh
venv_python=$(make_venv "$NEWEST_PYTHON" "[io]")
cd /tmp && "$venv_python" -m quelm demo "$@"
