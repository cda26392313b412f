#!/bin/sh
# Runs a Windows program under Wine with its output going through a file.
#   wine-run.sh WINE PROGRAM [ARGUMENT...]
# Wine starts helper processes, its desktop among them, from the first program that needs them,
# and they keep that program's output open for as long as they live: through a pipe, ctest
# would wait minutes for them after the program ended.
wine=$1
shift
log=$(mktemp) || exit 1
"$wine" "$@" >"$log" 2>&1
status=$?
cat "$log"
rm -f "$log"
exit "$status"
