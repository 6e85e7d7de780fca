#!/usr/bin/env bash
# Installs the Python module with pip into a fresh virtual environment (which
# sees the system's packages, for setuptools, wheel and pybind11) and maps a
# piece of a generated target with it. Skips (status 77) where one is missing.
#   pip_install_test.sh SOURCE_DIR PYTHON
set -euo pipefail
src=$1 python=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
skip() { echo "$*: skipped" >&2; exit 77; }
"$python" -c "import venv, ensurepip" 2>/dev/null || skip "$python has no venv module (python3-venv)"
"$python" -m venv --system-site-packages "$work/venv" >/dev/null
# Without build isolation the build takes setuptools and the wheel builder
# from the environment (setuptools builds wheels itself from 70.1 on).
venv=$work/venv/bin/python
"$venv" -c "import setuptools" 2>/dev/null || skip "$python has no setuptools module (python3-setuptools)"
"$venv" -c "import setuptools.command.bdist_wheel" 2>/dev/null || "$venv" -c "import wheel" 2>/dev/null ||
  skip "$python has no wheel module (python3-wheel)"
# A copy of the sources without build trees, as a user's checkout would be.
mkdir "$work/src"
tar -C "$src" --exclude=./build --exclude='./build-*' --exclude=./.git --exclude=./example -cf - . | tar -C "$work/src" -xf -
"$work/venv/bin/pip" install -q --no-build-isolation --no-deps "$work/src" >"$work/pip.log" 2>&1 ||
  { grep -q "pybind11 not found" "$work/pip.log" && skip "cmake finds no pybind11 (pybind11-dev)"
    tail -20 "$work/pip.log"; exit 1; }
cd "$work"
"$work/venv/bin/python" - <<'PY'
import lodestar, random
random.seed(7)
genome = "".join(random.choice("ACGT") for _ in range(50000))
with open("g.fa", "w") as f:
    f.write(">chr1\n" + genome + "\n")
hits = lodestar.Mapper(lodestar.Index.build("g.fa"), c=True).map_sequence(genome[10000:13000], name="r")
assert [(h.target_name, h.target_start, h.target_end, h.strand, h.cigar) for h in hits] == \
    [("chr1", 10000, 13000, "+", "3000M")], hits
print("pip install: lodestar", lodestar.__version__, "maps", hits[0])
PY
