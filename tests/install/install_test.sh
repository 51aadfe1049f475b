#!/usr/bin/env bash
# Installs the build into a scratch DESTDIR and checks what lands there; then, where
# dpkg-deb is at hand, builds the .deb and checks its contents and dependencies.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

DESTDIR="$scratch/root" cmake --install "$build" --prefix /usr > "$scratch/install.log"
root="$scratch/root/usr"
for f in bin/daduvivu share/man/man1/daduvivu.1 share/bash-completion/completions/daduvivu; do
  [[ -f $root/$f ]] || { echo "missing: $f"; cat "$scratch/install.log"; exit 1; }
done
# Nothing else is installed (no test programs, no libraries).
count=$(find "$scratch/root" -type f | wc -l)
[[ $count == 3 ]] || { echo "installed $count files, expected 3:"; find "$scratch/root" -type f; exit 1; }
"$root/bin/daduvivu" --version | grep -q '^daduvivu 1\.'
if command -v groff > /dev/null; then
  warnings=$(groff -man -Tutf8 -ww -z "$root/share/man/man1/daduvivu.1" 2>&1)
  [[ -z $warnings ]] || { echo "man page: $warnings"; exit 1; }
fi
bash -n "$root/share/bash-completion/completions/daduvivu"
# The completion offers the commands and a command's options.
if [[ -f /usr/share/bash-completion/bash_completion ]]; then
  out=$(bash -c "source /usr/share/bash-completion/bash_completion
    source '$root/share/bash-completion/completions/daduvivu'
    COMP_WORDS=(daduvivu pack --fo); COMP_CWORD=2; COMP_LINE='daduvivu pack --fo'; COMP_POINT=\${#COMP_LINE}
    _daduvivu; echo \"\${COMPREPLY[*]}\"
    COMP_WORDS=(daduvivu te); COMP_CWORD=1; COMP_LINE='daduvivu te'; COMP_POINT=\${#COMP_LINE}
    _daduvivu; echo \"\${COMPREPLY[*]}\"")
  [[ $out == $'--force\ntest' ]] || { echo "completion gave: $out"; exit 1; }
fi

if command -v dpkg-deb > /dev/null && command -v dpkg-shlibdeps > /dev/null; then
  (cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/deb" > cpack.log 2>&1) ||
    { cat "$scratch/cpack.log"; exit 1; }
  deb=$(ls "$scratch"/deb/daduvivu_*.deb)
  depends=$(dpkg-deb -f "$deb" Depends)
  # The package needs what the program loads: libc6, and the C++ runtime only where it is
  # not linked in (the release build links it in; the sanitizer build cannot).
  [[ $depends == *libc6* ]] || { echo "Depends lacks libc6: $depends"; exit 1; }
  needed=$(readelf -d "$root/bin/daduvivu" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p')
  for pair in libstdc++.so.6:libstdc++6 libgcc_s.so.1:libgcc-s1; do
    if [[ $needed == *"${pair%%:*}"* ]]; then
      [[ $depends == *"${pair#*:}"* ]] || { echo "Depends lacks ${pair#*:}: $depends"; exit 1; }
    else
      [[ $depends != *"${pair#*:}"* ]] || { echo "Depends names ${pair#*:}, which the program does not load: $depends"; exit 1; }
    fi
  done
  listing=$(dpkg-deb -c "$deb")
  for f in ./usr/bin/daduvivu ./usr/share/man/man1/daduvivu.1 ./usr/share/bash-completion/completions/daduvivu; do
    [[ $listing == *" $f"* ]] || { echo "the package lacks $f"; echo "$listing"; exit 1; }
  done
  dpkg-deb -x "$deb" "$scratch/unpacked"
  "$scratch/unpacked/usr/bin/daduvivu" --version > /dev/null
fi
echo "install: ok"
