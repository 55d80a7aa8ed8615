#!/usr/bin/env bash
# The Python package as its users get it: installed with pip into a fresh
# virtual environment (no network: the package has no dependencies, and it
# is built with the setuptools Debian's python3-setuptools puts beside the
# venv, --no-build-isolation), then its tests and the README's Python
# example, run as printed, against the library in BUILD-DIR.
#   .ci/python-check.sh BUILD-DIR
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
die() { echo "python-check: $*" >&2; exit 1; }
build=$(cd "${1:?build directory}" && pwd)
[ -e "$build/libkel-safe.so.1" ] || die "no libkel-safe.so.1 in $build"
# Debian's interpreter, which scripts/deps.sh gives venv, pytest and
# setuptools, even where another python3 comes first on the PATH.
python=/usr/bin/python3
[ -x "$python" ] || python=python3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# pip builds in the source folder it is given: a copy keeps the clone clean.
cp -r "$root/python" "$work/source"
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install -q --no-index --no-build-isolation "$work/source" ||
  die "pip install ./python failed"

export KEL_SAFE_LIBRARY=$build/libkel-safe.so.1 KEL_SAFE_TOOL=$build/kel-safe
# The installed package, not the source folder, is what the tests import.
(cd "$work" && PYTHONDONTWRITEBYTECODE=1 "$work/venv/bin/python" -m pytest -q \
   -p no:cacheprovider "$root/python/tests") || die "the package's tests failed"
installed=$(cd "$work" && "$work/venv/bin/python" -c 'import kel_safe; print(kel_safe.__file__)')
[[ $installed == "$work/venv/"* ]] || die "the package did not install into the virtual environment ($installed)"

# The README's Python example, the first ```python block that imports it.
awk '$0 == "```python" { inside = 1; text = ""; next }
     inside && $0 == "```" { inside = 0; if (index(text, "import kel_safe")) { printf "%s", text; exit } next }
     inside { text = text $0 "\n" }' "$root/README.md" >"$work/example.py"
[ -s "$work/example.py" ] || die "no Python example in README.md"
for run in first second; do  # the second meets the store the first made
  out=$(cd "$work" && "$work/venv/bin/python" example.py) ||
    die "the README's Python example failed on its $run run: $out"
  [[ $out == "db = b's3cret' of 1 entries" ]] || die "the README's Python example printed: $out"
done
echo "python-check: pip install ./python, its tests and the README's example pass against $build"
