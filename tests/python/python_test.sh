#!/usr/bin/env bash
# Runs the Python module's tests (tests/python) with pytest under the
# interpreter the module was built for.
#   python_test.sh PYTHON TEST_DIR
set -euo pipefail
python=$1 dir=$2
"$python" -c "import pytest" 2>/dev/null || { echo "$python has no pytest module (python3-pytest): skipped" >&2; exit 77; }
exec "$python" -m pytest -q -p no:cacheprovider "$dir"
