#!/usr/bin/env bash
# What opening a store through a recipient slot adds to a process start:
# `kel-safe --identity F ls` and `kel-safe --identity F get` on a small
# format-3 store against `kel-safe --version` (the same program and
# libraries loaded, no store touched), and, beside them, the same ls through
# a password slot with the cheapest Argon2id parameters. The difference of
# medians is the cost of the open itself.
#
#   bench/slot_start.sh [BUILD_DIR]      (default: build-bench)
#
# Needs hyperfine. Environment: RUNS (default 200), OUT (folder for
# slot_start.csv, default compare-results).
set -euo pipefail

build=${1:-build-bench}
tool=$build/kel-safe
runs=${RUNS:-200}
out=${OUT:-compare-results}

command -v hyperfine >/dev/null || { echo "slot_start.sh: needs hyperfine" >&2; exit 2; }
[ -x "$tool" ] || { echo "slot_start.sh: no $tool: build it first" >&2; exit 2; }
tool=$(realpath "$tool")
mkdir -p "$out"
out=$(realpath "$out")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

store=$work/small.safe
printf 'Bench-Passw0rd-2024!\n' >"$work/pw"
k="$tool -q -s $store"
$k --password-file "$work/pw" create --kdf-memory 19 --kdf-passes 2
for i in $(seq 1 20); do
  printf 'value %d' "$i" | $k --password-file "$work/pw" add "item-$i"
done
public_key=$($tool -q keygen -o "$work/identity" | tail -n 1)
$k --password-file "$work/pw" grant --recipient "$public_key" --label bench

hyperfine --style none -N --warmup 20 --runs "$runs" --export-csv "$work/start.csv" \
  "$tool --version" \
  "$k --identity $work/identity ls" \
  "$k --identity $work/identity get item-7" \
  "$k --password-file $work/pw ls" >/dev/null
awk -F, 'NR > 1 { median[NR - 1] = $4 * 1000; mean[NR - 1] = $2 * 1000 }
  END {
    printf "measure,median_ms,mean_ms,added_median_ms\n"
    printf "--version,%.3f,%.3f,0\n", median[1], mean[1]
    printf "--identity ls,%.3f,%.3f,%.3f\n", median[2], mean[2], median[2] - median[1]
    printf "--identity get,%.3f,%.3f,%.3f\n", median[3], mean[3], median[3] - median[1]
    printf "password ls (cheapest Argon2id),%.3f,%.3f,%.3f\n", median[4], mean[4],
           median[4] - median[1]
  }' "$work/start.csv" | tee "$out/slot_start.csv"
