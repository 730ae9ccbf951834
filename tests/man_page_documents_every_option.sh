#!/usr/bin/env bash
# Fails when the manual page misses a long option that `kalvento --help` lists, a classic
# argument or an exit status: man_page_documents_every_option.sh BINARY PAGE [EMULATOR...], with
# the emulator that runs a cross-compiled BINARY.
set -euo pipefail
binary="$1"
page="$2"
shift 2
missing=()
options=$("$@" "$binary" --help | grep -oE '^  --[a-z][a-z-]*' | sed 's/^  --//')
[ -n "$options" ] || { echo "no long options in the help of $binary"; exit 1; }
# In roff every hyphen of an option is written \-.
for name in $options; do
  grep -qF -- "\\-\\-${name//-/\\-}" "$page" || missing+=("--$name")
done
for classic in '\fB\-large' '\fB\-huge' '\fB\-h\fR' '\fB\-help' '\fIminimum_time'; do
  grep -qF -- "$classic" "$page" || missing+=("$classic")
done
grep -q '^\.SH "EXIT STATUS"' "$page" || missing+=("EXIT STATUS section")
for status in 0 1 2 3; do
  grep -qE "^\\.IP $status\$" "$page" || missing+=("exit status $status")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "$page does not document: ${missing[*]}"
  exit 1
fi
echo "$page documents every option of $binary --help and every exit status"
