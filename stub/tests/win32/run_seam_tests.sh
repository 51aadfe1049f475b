#!/bin/bash
# Runs seam_tests.exe under Wine in a prefix of its own, inside a private X display
# (Wine must never start without one). Exit code: the number of failed checks, 77 a skip.
#   run_seam_tests.sh SEAM_TESTS_EXE PREFIX WORKDIR
set -euo pipefail
here=$(dirname "$(realpath "$0")")
if ! why=$("$here/../../../tests/e2e/runs_win32.sh"); then
  echo "SKIP: $why"
  exit 77
fi
exe=$(realpath "$1")
prefix=$2
work=$3
rm -rf "$work"
mkdir -p "$work" "$prefix"
export WINEPREFIX=$(realpath "$prefix") WINEDEBUG=-all LC_ALL=ja_JP.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml="
# Z: is the Linux root in every prefix.
winpath() { echo "Z:$(realpath "$1")" | tr / '\\'; }
xvfb-run -a bash -c '
  set -e
  if [ ! -f "$WINEPREFIX/.seam-ready" ]; then
    wineboot -i >/dev/null 2>&1 || true
    wine reg add "HKCU\\Software\\Wine\\WineDbg" /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.seam-ready"
  fi
  status=0
  wine "$1" "$2" || status=$?
  # 77 is the skip code: that many failures still fail.
  [ $status -ne 77 ] || status=78
  wineserver -k || true
  exit $status
' seam "$(winpath "$exe")" "$(winpath "$work")"
