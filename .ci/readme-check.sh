#!/usr/bin/env bash
# Runs the README's examples exactly as printed, so that they stay true.
#   .ci/readme-check.sh build BUILD-DIR
#       compiles the C++ program, and the C program as C11 with every
#       warning an error, against the headers of this tree and the library
#       in BUILD-DIR, and runs each in a temporary directory;
#   .ci/readme-check.sh pkg-config PKGCONFIG-DIR
#       runs the pkg-config commands (which build and start the same
#       program) against an installed copy whose kel-safe.pc is in
#       PKGCONFIG-DIR, with nothing else pointing at the library.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
die() { echo "readme-check: $*" >&2; exit 1; }

# The first fenced block of language $1 whose text contains $2.
block() {
  awk -v lang="$1" -v want="$2" '
    $0 == "```" lang { inside = 1; text = ""; next }
    inside && $0 == "```" { inside = 0; if (index(text, want)) { printf "%s", text; exit } next }
    inside { text = text $0 "\n" }' README.md
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
block cpp 'int main' >"$work/app.cpp"
[ -s "$work/app.cpp" ] || die "no C++ program in README.md"
block c 'int main' >"$work/app.c"
[ -s "$work/app.c" ] || die "no C program in README.md"

check_run() {  # the program's output and the files it leaves
  local out=$1
  [[ $out == *"db = s3cret"* ]] || die "the README program printed: $out"
  [ -f "$work/app.safe" ] || die "the README program made no app.safe"
}

case ${1:-} in
  build)
    build=$(cd "${2:?build directory}" && pwd)
    [ -e "$build/libkel-safe.so" ] || die "no libkel-safe.so in $build"
    (cd "$work" && c++ -std=c++20 -Wall -Wextra -Wpedantic -I"$root/include" app.cpp \
       -L"$build" -lkel-safe -Wl,-rpath,"$build" -o app) || die "the README program does not compile"
    out=$(cd "$work" && ./app) || die "the README program failed: $out"
    check_run "$out"
    # A second run meets the existing store and still succeeds.
    (cd "$work" && ./app >/dev/null 2>&1) || die "the README program fails on a second run"
    (cd "$work" && cc -std=c11 -Wall -Wextra -Wpedantic -Werror -I"$root/include" app.c \
       -L"$build" -lkel-safe -Wl,-rpath,"$build" -o app-c) || die "the README's C program does not compile"
    for run in first second; do  # the second meets the store the first made
      out=$(cd "$work" && ./app-c) || die "the README's C program failed on its $run run: $out"
      [[ $out == "db = s3cret" ]] || die "the README's C program printed: $out"
    done
    [ -f "$work/app-c.safe" ] || die "the README's C program made no app-c.safe"
    echo "readme-check: the C++ and C programs compile and run against $build"
    ;;
  pkg-config)
    pcdir=$(cd "${2:?pkg-config directory}" && pwd)
    commands=$(block sh 'pkg-config --cflags --libs kel-safe')
    [ -n "$commands" ] || die "no pkg-config commands in README.md"
    out=$(cd "$work" && env -u LD_LIBRARY_PATH PKG_CONFIG_PATH="$pcdir" bash -euo pipefail -c "$commands") ||
      die "the README's pkg-config commands failed: $out"
    check_run "$out"
    echo "readme-check: the pkg-config commands build a program that starts from $pcdir/../.."
    ;;
  *) die "usage: $0 build BUILD-DIR | pkg-config PKGCONFIG-DIR" ;;
esac
