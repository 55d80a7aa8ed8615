#!/usr/bin/env bash
# Checks the manual page as its readers' programs see it:
#   man_page_lint.sh PAGE
# groff (which man uses to render it) must read it without a single warning,
# mandoc's lint must report nothing of level warning or above where mandoc
# is installed, and every term of COMMANDS and OPTIONS must be whole on its
# own line: a term whose brackets open on one line and close on the next
# has lost part of itself to the description below it.
set -euo pipefail
page=${1:?manual page}
fail() { echo "man-page-lint: $*" >&2; exit 1; }

command -v groff >/dev/null || fail "groff is missing (scripts/deps.sh installs groff-base)"
warnings=$(groff -man -ww -z "$page" 2>&1)
[ -z "$warnings" ] || fail "groff warns about $page:"$'\n'"$warnings"

if command -v mandoc >/dev/null; then
  lint=$(mandoc -T lint -W warning "$page" 2>&1) || true
  [ -z "$lint" ] || fail "mandoc's lint warns about $page:"$'\n'"$lint"
fi

# Terms stand at the section's indentation (7 columns), their text deeper.
broken=$(groff -man -Tascii -P-cbou "$page" 2>/dev/null | awk '
  /^[A-Z]/ { section = $0; next }
  (section == "COMMANDS" || section == "OPTIONS") && /^       [^ ]/ {
    if (gsub(/\[/, "[") != gsub(/\]/, "]")) print
  }')
[ -z "$broken" ] || fail "terms of $page are cut across lines:"$'\n'"$broken"
echo "man-page-lint: $page reads cleanly"
