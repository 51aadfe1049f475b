#!/bin/bash
# Prepares a machine and a Wine prefix for the end-to-end tests of sfx.exe.
#
#   setup_wine.sh [PREFIX]            install what is missing (as root), the locale, the prefix
#   setup_wine.sh --prefix-only PREFIX only the prefix (no root needed; used by the tests)
#
# PREFIX defaults to $WINEPREFIX. Safe to run again: every step checks first.
# Wine is only ever started with an X display (Xvfb): a Wine started without one leaves
# a desktop process behind, after which later runs in the prefix never show a window.
set -euo pipefail

prefix_only=0
if [ "${1:-}" = "--prefix-only" ]; then
  prefix_only=1
  shift
fi
PREFIX="${1:-${WINEPREFIX:-}}"
if [ -z "$PREFIX" ]; then
  echo "setup_wine.sh: give the prefix path as argument or in WINEPREFIX" >&2
  exit 2
fi
# Letter of the drive that Wine must report as removable; its folder is PREFIX/floppy.
FLOPPY_LETTER="${E2E_FLOPPY_LETTER:-r}"

log() { echo "setup_wine: $*"; }
started=$(date +%s)

install_packages() {
  local missing=()
  dpkg --print-foreign-architectures | grep -qx i386 || {
    log "adding the i386 architecture"
    dpkg --add-architecture i386
    apt-get update -q
  }
  # A Japanese font with Latin letters: without one, Wine draws captions and the dots of
  # "参照..." as empty boxes in the screenshots (the measured layout units change with it).
  for p in wine wine32:i386 xvfb xdotool imagemagick g++-mingw-w64-i686 locales python3 fonts-ipafont-gothic; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing ${missing[*]}"
    # The list may be stale on a fresh machine; a failed install is retried once after update.
    # When the mirror cannot give them all, the prefix is still made where it can be, and
    # the tests that need what is missing skip, saying why.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" ||
      { apt-get update -q; DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"; } ||
      log "could not install ${missing[*]}"
  fi
  if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
    log "generating ja_JP.UTF-8"
    localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
  fi
}

if [ $prefix_only = 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    install_packages
  else
    log "not root: skipping package installation"
  fi
fi

for tool in wine wineserver Xvfb; do
  command -v $tool >/dev/null || { echo "setup_wine.sh: $tool is missing" >&2; exit 1; }
done

# Without a 32-bit mode there is no prefix to make: the tests that need it skip themselves.
if ! why=$("$(dirname "$0")/runs_win32.sh"); then
  log "$why: no Wine prefix made; the stub's tests under Wine will be skipped"
  exit 0
fi

mkdir -p "$PREFIX"
PREFIX="$(cd "$PREFIX" && pwd)"
export WINEPREFIX="$PREFIX" WINEDEBUG=-all WINEARCH=win32 LC_ALL=ja_JP.UTF-8
# No Mono or Gecko installer prompts: the stub needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="

# The stamp holds the version of the settings below, so that a prefix made by an older
# version of this script is brought up to date.
SETTINGS_VERSION=3
stamp="$PREFIX/.daduvivu-e2e-ready"
if [ "$(cat "$stamp" 2>/dev/null)" = "$SETTINGS_VERSION" ] && [ -d "$PREFIX/drive_c/windows" ]; then
  log "prefix $PREFIX already prepared"
  exit 0
fi

xvfb_pid=""
cleanup() {
  wineserver -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  [ -n "${fdfile:-}" ] && rm -f "$fdfile"
}
trap cleanup EXIT

# Xvfb picks a free display itself and tells us its number.
fdfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fdfile" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$fdfile" ] && break
  sleep 0.1
done
[ -s "$fdfile" ] || { echo "setup_wine.sh: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$fdfile")"
log "Xvfb on $DISPLAY"

log "creating the prefix $PREFIX"
wineboot -i >/dev/null 2>&1 || true
wineserver -w

# The symbol font of the title-bar buttons: without it Wine draws them as the letters
# "0 1 r". Wine ships it, but a prefix made with wineboot does not always find it.
marlett=""
for dir in /usr/share/wine/fonts /usr/lib/wine/fonts /usr/lib/i386-linux-gnu/wine/fonts \
           /usr/lib/x86_64-linux-gnu/wine/fonts /opt/wine*/share/wine/fonts; do
  [ -f "$dir/marlett.ttf" ] && { marlett="$dir/marlett.ttf"; break; }
done
if [ -n "$marlett" ]; then
  mkdir -p "$PREFIX/drive_c/windows/Fonts"
  cp "$marlett" "$PREFIX/drive_c/windows/Fonts/marlett.ttf"
else
  log "marlett.ttf not found: title-bar buttons will show as letters"
fi

regfile="$PREFIX/daduvivu-e2e.reg"
# The floppy folder stands for the root of a removable disk.
mkdir -p "$PREFIX/floppy"
ln -sfn "$PREFIX/floppy" "$PREFIX/dosdevices/${FLOPPY_LETTER}:"
cat >"$regfile" <<EOF
REGEDIT4

[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]
"Managed"="N"

[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]
"ShowCrashDialog"=dword:00000000

[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]
"${FLOPPY_LETTER}:"="floppy"

[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]
"MS UI Gothic"="IPAGothic"
"MS Shell Dlg"="IPAGothic"
"System"="IPAGothic"
"Tahoma"="IPAGothic"

[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts]
"Marlett (TrueType)"="marlett.ttf"
EOF
wine regedit /S "$(echo "Z:$regfile" | tr / '\\')" >/dev/null 2>&1
wineserver -w

echo "$SETTINGS_VERSION" >"$stamp"
log "done in $(( $(date +%s) - started )) s"
