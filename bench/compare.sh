#!/usr/bin/env bash
# Times kel-safe's get on the default format (2), one-shot and through its
# agent, and its get, add, ls, find and rm on format-1 stores, against the
# password managers pass (gpg-agent warm) and keepassxc-cli at several store
# sizes, and merge of two stores against a full export of one imported into
# the other; writes the figures to a CSV file and draws per-command time
# against store size on log-log axes.
#
#   bench/compare.sh [BUILD_DIR]      (default: build-bench)
#
# BUILD_DIR is a build with -DKEL_SAFE_BUILD_BENCH=ON (it holds the tool and
# the start-up floor kel_safe_bare_start). Installs nothing: needs hyperfine;
# uses pass, keepassxc-cli and gnuplot when they are there, and leaves out
# what is missing. Environment:
#   SIZES       kel-safe's store sizes        (default "100 1000 10000 100000")
#   PEER_SIZES  the peers' sizes              (default "100 1000 10000")
#   PASS_SIZES  pass's sizes: one gpg file per entry, slow to fill
#                                             (default "100 1000")
#   DEFAULT_SIZES  sizes of the get on both formats, one-shot and
#               through the agent             (default "1000 10000")
#   RATIO_SIZES format-1 sizes of the one-shot get in the ratios
#                                             (default "10000 100000")
#   MERGE_SIZES entries of each of the two stores merged
#                                             (default "10000")
#   RUNS        runs per measured command     (default 10)
#   OUT         folder for compare.csv, ratios.csv and compare.svg
#                                             (default compare-results)
set -euo pipefail

build=${1:-build-bench}
tool=$build/kel-safe
bare=$build/bench/kel_safe_bare_start
sizes=${SIZES:-100 1000 10000 100000}
peer_sizes=${PEER_SIZES:-100 1000 10000}
pass_sizes=${PASS_SIZES:-100 1000}
runs=${RUNS:-10}
default_sizes=${DEFAULT_SIZES:-1000 10000}
ratio_sizes=${RATIO_SIZES:-10000 100000}
merge_sizes=${MERGE_SIZES:-10000}
out=${OUT:-compare-results}

say() { printf 'compare.sh: %s\n' "$*" >&2; }
have() { command -v "$1" >/dev/null 2>&1; }

have hyperfine || { say "needs hyperfine (Debian package hyperfine)"; exit 2; }
[ -x "$tool" ] && [ -x "$bare" ] || {
  say "no $tool or $bare: build with -DKEL_SAFE_BUILD_BENCH=ON first"; exit 2; }
tool=$(realpath "$tool")
bare=$(realpath "$bare")

mkdir -p "$out"
out=$(realpath "$out")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
csv=$out/compare.csv
echo "tool,command,entries,mean_ms,stddev_ms,median_ms" >"$csv"

name_of() { printf 'item-%07d' "$1"; }
# A name a quarter of the way into the store: in its first half.
probe_of() { name_of $(($1 / 4)); }

# times TOOL COMMAND ENTRIES [hyperfine options...] -- appends one CSV row.
times() {
  local who=$1 what=$2 n=$3
  shift 3
  hyperfine --style none --runs "$runs" --export-csv "$work/run.csv" "$@" >/dev/null
  awk -F, -v who="$who" -v what="$what" -v n="$n" 'NR == 2 {
      printf "%s,%s,%s,%.3f,%.3f,%.3f\n", who, what, n, $2 * 1000, $3 * 1000, $4 * 1000 }' \
    "$work/run.csv" >>"$csv"
  tail -n 1 "$csv" >&2
}

# ---- kel-safe -------------------------------------------------------------
export KEL_SAFE_PASSWORD='Bench-Passw0rd!'
printf '%032d' 7 >"$work/value"
kel_store() {  # ENTRIES [FORMAT] -> path of a store holding that many entries
  local n=$1 format=${2:-1}
  local store=$work/kel-$n-format$format.safe
  if [ ! -e "$store" ]; then
    # Format 1 unless asked: the tool makes format 2 by default, whose
    # quarter-second key derivation per command would swamp what these
    # figures measure (the index and the file's rewrites).
    "$tool" -q -s "$store" create --format "$format"
    awk -v n="$n" 'BEGIN { printf "{"; for (i = 0; i < n; i++)
        printf "%s\"item-%07d\": \"%032d\"", i ? ", " : "", i, i; print "}" }' \
      >"$work/kel.json"
    "$tool" -q -s "$store" import --json "$work/kel.json"
  fi
  echo "$store"
}

for n in $sizes; do
  s=$(kel_store "$n")
  k="$tool -q -s $s"
  times kel-safe get "$n" -N "$k get $(probe_of "$n")"
  times kel-safe add "$n" -N --prepare "sh -c '$k rm --drop-backup bench-new 2>/dev/null || true'" \
    "$k add bench-new -f $work/value"
  times kel-safe ls "$n" -N "$k ls"
  times kel-safe find "$n" -N "$k find 0001"   # as pass find: a part of the name, any case
  times kel-safe rm "$n" -N --prepare "$k add --replace-or-add bench-new -f $work/value" \
    "$k rm --drop-backup bench-new"
  $k rm --drop-backup bench-new 2>/dev/null || true
done

# ---- merge, against a full export and import ------------------------------
# Ours holds item 0 to n-1, theirs item n/2 to 3n/2-1: half the names are
# new to ours, half are in both with the same value. merge reads both and
# rewrites ours once; the way without it is every entry of theirs exported
# in clear and imported (stored names skipped). Ours is put back as it was
# before each run. Format 1, as above: what is measured is the work on the
# entries, not the key derivation each process pays.
for n in $merge_sizes; do
  ours=$(kel_store "$n")
  theirs=$work/theirs-$n.safe
  "$tool" -q -s "$theirs" create --format 1
  awk -v n="$n" 'BEGIN { printf "{"; for (i = n / 2; i < n / 2 + n; i++)
      printf "%s\"item-%07d\": \"%032d\"", (i > n / 2) ? ", " : "", i, i; print "}" }' \
    >"$work/theirs.json"
  "$tool" -q -s "$theirs" import --json "$work/theirs.json"
  copy=$work/merged-$n.safe
  m="$tool -q -s $copy"
  times kel-safe merge "$n" --prepare "cp $ours $copy" "$m merge --drop-backup $theirs"
  times kel-safe export+import "$n" --prepare "cp $ours $copy" \
    "$tool -q -s $theirs export --json --yes | $m import --json - --drop-backup"
done

# ---- the default format, one-shot and through the agent ---------------------
# Format 2 is what create makes: its Argon2id derivation, calibrated to about
# 250 ms when the store was made, is paid once a command. The agent pays it
# once, at its start, and builds no index for a command after that. Format 1
# beside it, the same ways. The agents listen in a runtime folder of this
# run's own and are stopped at the end.
export XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
agents=()
stop_agents() {
  for s in "${agents[@]}"; do "$tool" -q -s "$s" agent stop >/dev/null 2>&1 || true; done
}
trap 'stop_agents; rm -rf "$work"' EXIT
start_agent() {  # STORE -- and checks that a get with no password is served
  "$tool" -q -s "$1" agent start --timeout 10m
  agents+=("$1")
  env -u KEL_SAFE_PASSWORD "$tool" -q -s "$1" get "$2" >/dev/null ||
    { say "the agent of $1 does not serve get"; exit 1; }
}
for n in $default_sizes; do
  for format in 2 1; do
    s=$(kel_store "$n" "$format")
    times kel-safe "get-format$format" "$n" -N --warmup 1 "$tool -q -s $s get $(probe_of "$n")"
    start_agent "$s" "$(probe_of "$n")"
    times kel-safe "get-format$format-agent" "$n" -N --warmup 3 "$tool -q -s $s get $(probe_of "$n")"
  done
done

# Start-up and one get, in one hyperfine run, as ratios: `kel-safe version`
# against a bare program that links the same libraries, a get through the
# agent on the default format at 10^4 entries, and one-shot gets on format 1
# at $RATIO_SIZES entries, all against `kel-safe version`.
s=$(kel_store 10000 2)
[[ " ${agents[*]} " == *" $s "* ]] || start_agent "$s" "$(probe_of 10000)"
ratio_args=(-N --warmup 20 --runs $((runs * 20)) --export-csv "$work/ratios.csv"
            "$bare" "$tool version" "$tool -q -s $s get $(probe_of 10000)")
ratio_names=("get through the agent, format 2, 10^4 / version")
for n in $ratio_sizes; do
  s=$(kel_store "$n")
  ratio_args+=("$tool -q -s $s get $(probe_of "$n")")
  ratio_names+=("get at $n, format 1 / version")
done
hyperfine --style none "${ratio_args[@]}" >/dev/null
awk -F, -v names="$(IFS='|'; echo "${ratio_names[*]}")" '
  NR > 1 { mean[NR - 1] = $2; median[NR - 1] = $4 }
  END {
    count = split(names, name, "|")
    printf "measure,ratio of means,ratio of medians,median_ms\n"
    printf "version / bare start,%.2f,%.2f,%.3f\n", mean[2] / mean[1], median[2] / median[1],
           median[2] * 1000
    for (i = 1; i <= count; i++)
      printf "%s,%.2f,%.2f,%.3f\n", name[i], mean[i + 2] / mean[2], median[i + 2] / median[2],
             median[i + 2] * 1000
  }' "$work/ratios.csv" | tee "$out/ratios.csv" >&2

# ---- pass -----------------------------------------------------------------
if have pass && have gpg; then
  export GNUPGHOME=$work/gnupg PASSWORD_STORE_DIR=$work/pass
  mkdir -m 700 "$GNUPGHOME"
  gpg --batch --quiet --pinentry-mode loopback --passphrase '' \
    --quick-gen-key 'kel-safe bench <bench@example.invalid>' default default never
  key=$(gpg --list-keys --with-colons | awk -F: '$1 == "fpr" { print $10; exit }')
  filled=0
  for n in $pass_sizes; do
    [ -d "$PASSWORD_STORE_DIR" ] || pass init "$key" >/dev/null
    for ((i = filled; i < n; i++)); do
      printf '%032d\n' "$i" | gpg --batch --quiet --yes --encrypt -r "$key" \
        -o "$PASSWORD_STORE_DIR/$(name_of "$i").gpg"
    done
    filled=$n
    # gpg-agent holds the key after the warm-up runs, as in a working session.
    times pass get "$n" -N --warmup 3 "pass show $(probe_of "$n")"
    times pass add "$n" --prepare "pass rm -f bench-new >/dev/null 2>&1 || true" \
      "pass insert -m bench-new <$work/value >/dev/null"
    times pass ls "$n" -N "pass ls"
    times pass find "$n" -N "pass find 0001"
    times pass rm "$n" --prepare "pass insert -m -f bench-new <$work/value >/dev/null" \
      "pass rm -f bench-new >/dev/null"
  done
  gpgconf --kill gpg-agent 2>/dev/null || true
else
  say "pass or gpg is not installed: pass left out"
fi

# ---- keepassxc-cli ----------------------------------------------------------
if have keepassxc-cli; then
  head -c 64 /dev/urandom >"$work/kdbx.key"
  for n in $peer_sizes; do
    db=$work/kp-$n.kdbx
    # A KeePass XML export, imported in one step; the database opens with a
    # key file alone, so no command reads a password.
    awk -v n="$n" '
      function b64(v,   a, b0, b1, b2, b3) {  # four bytes, big-endian, padded
        a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
        b0 = int(v / 16777216) % 256; b1 = int(v / 65536) % 256
        b2 = int(v / 256) % 256; b3 = v % 256
        return substr(a, int(b0 / 4) + 1, 1) substr(a, (b0 % 4) * 16 + int(b1 / 16) + 1, 1) \
               substr(a, (b1 % 16) * 4 + int(b2 / 64) + 1, 1) substr(a, b2 % 64 + 1, 1) \
               substr(a, int(b3 / 4) + 1, 1) substr(a, (b3 % 4) * 16 + 1, 1) "=="
      }
      BEGIN {
        print "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
        print "<KeePassFile><Meta><Generator>kel-safe bench</Generator><RecycleBinEnabled>False</RecycleBinEnabled></Meta><Root>"
        print "<Group><UUID>AAAAAAAAAAAAAAAAAAAAAQ==</UUID><Name>Root</Name>"
        for (i = 0; i < n; i++)
          printf "<Entry><UUID>AAAAAAAAAAAAAAAA%s</UUID><String><Key>Title</Key><Value>item-%07d</Value></String><String><Key>Password</Key><Value>%032d</Value></String></Entry>\n", b64(i + 2), i, i
        print "</Group></Root></KeePassFile>"
      }' >"$work/kp.xml"
    keepassxc-cli import -q --set-key-file "$work/kdbx.key" "$work/kp.xml" "$db" >/dev/null
    kp="keepassxc-cli"
    o="-q --no-password -k $work/kdbx.key $db"
    times keepassxc-cli get "$n" -N "$kp show $o $(probe_of "$n") -a Password"
    times keepassxc-cli add "$n" -N --prepare "sh -c '$kp rm $o bench-new >/dev/null 2>&1 || true'" \
      "$kp add $o bench-new"
    times keepassxc-cli ls "$n" -N "$kp ls $o"
    times keepassxc-cli rm "$n" -N \
      --prepare "sh -c '$kp add $o bench-new >/dev/null 2>&1 || true'" "$kp rm $o bench-new"
  done
else
  say "keepassxc-cli is not installed: KeePassXC left out"
fi

# ---- the plot ---------------------------------------------------------------
if have gnuplot; then
  for who in kel-safe pass keepassxc-cli; do
    for what in get add ls rm; do
      awk -F, -v who="$who" -v what="$what" '$1 == who && $2 == what { print $3, $4 }' \
        "$csv" >"$work/$who-$what.dat"
    done
  done
  {
    echo "set terminal svg size 900,640 dynamic font 'sans,11'"
    echo "set output '$out/compare.svg'"
    echo "set multiplot layout 2,2 title 'One command against store size, $(date -u +%F), $(nproc) cores'"
    echo "set logscale xy; set xlabel 'entries'; set ylabel 'ms'; set key top left; set grid"
    for what in get add ls rm; do
      plots=()
      for who in kel-safe pass keepassxc-cli; do
        [ -s "$work/$who-$what.dat" ] &&
          plots+=("'$work/$who-$what.dat' using 1:2 with linespoints title '$who'")
      done
      echo "set title '$what'"
      (IFS=,; echo "plot ${plots[*]}")
    done
    echo "unset multiplot"
  } | gnuplot
  say "plot: $out/compare.svg"
else
  say "gnuplot is not installed: no plot"
fi
say "figures: $csv"
