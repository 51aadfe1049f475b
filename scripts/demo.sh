#!/usr/bin/env bash
# The main job, from nothing: set up, build, then pack the bundled sample folder into a
# self-extracting archive, look at it, test it and extract it with daduvivu, and start
# the archive under Wine to extract it again through its own dialog.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh

daduvivu=build/cli/daduvivu
out=out
rm -rf "$out"
mkdir -p "$out"
run() {
  echo
  echo "\$ daduvivu $*"
  "$daduvivu" "$@"
}

run pack samples/welcome -o "$out/welcome.exe" --message samples/welcome-message.txt
run info "$out/welcome.exe"
run list "$out/welcome.exe"
run test "$out/welcome.exe"
run extract "$out/welcome.exe" -d "$out/extracted"
diff -r samples/welcome "$out/extracted"
echo "demo: daduvivu restored samples/welcome byte for byte"

echo
if [ -x build/tests/e2e/driver.exe ] && command -v wine > /dev/null && command -v Xvfb > /dev/null; then
  # 77: the machine cannot run the stub under Wine (demo_wine.py said why).
  status=0
  python3 scripts/demo_wine.py "$out/welcome.exe" "$out/extracted-by-stub" "$out/stub-window.png" \
    build/tests/e2e/driver.exe build/demo-wineprefix || status=$?
  if [ $status = 0 ]; then
    diff -r samples/welcome "$out/extracted-by-stub"
    echo "demo: the stub restored samples/welcome byte for byte"
  elif [ $status != 77 ]; then
    exit $status
  fi
else
  echo "demo: Wine or the test driver is not available here; the stub was not started"
fi
