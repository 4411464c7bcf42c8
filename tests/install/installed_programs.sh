#!/usr/bin/env bash
# The programs as an installation leaves them: installed into a temporary
# prefix and run from there, away from the build folder. They report their
# version, find the sample packages and the QC reference images, talk to a
# simulated module, keep "Fault code:" in English whatever the language, name
# the remedy for a port the user may not open, and the menu entry's command
# opens the window, which finds the module.
# Usage: installed_programs.sh BUILD_DIR VERSION SOURCE_DIR
#        installed_programs.sh --installed PREFIX VERSION SOURCE_DIR  (checks an installation)
set -euo pipefail
installed="" build=""
if [ "$1" = "--installed" ]; then
  installed="$2"
  shift 2
else
  build="$1"
  shift
fi
version="$1" source="$2"

work="$(mktemp -d)"
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"  # the unprivileged run below must reach the programs
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

prefix="${installed:-$work/prefix}"
[ -n "$installed" ] || cmake --install "$build" --prefix "$prefix" >/dev/null
bin="$prefix/bin" data="$prefix/share/ostrel"
# Nothing of the build folder or the user's own data may help the programs.
export HOME="$work/home" XDG_DATA_HOME="$work/home/data" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

programs=(ostrel-cli ostrel-pkg ostrel-sim)
gui=false
if [ -x "$bin/ostrel-fm" ]; then
  gui=true
  programs+=(ostrel-fm ostrel-fm-rd ostrel-fm-debug)
fi
for p in "${programs[@]}"; do
  [ "$("$bin/$p" --version)" = "$p (Ostrel File Manager) $version" ] || fail "$p --version"
  if command -v help2man >/dev/null; then
    [ -s "$prefix/share/man/man1/$p.1.gz" ] || fail "no manual page for $p"
  fi
done
for f in QC_16M.HX QC_8M.HX QC_8M_OST3.HX ostrel.svg; do
  [ -s "$data/$f" ] || fail "$data/$f missing"
done
for description in "$source"/samples/*.json; do
  package="$data/samples/$(basename "$description" .json).bn"
  "$bin/ostrel-pkg" info "$package" >/dev/null || fail "installed sample $package does not read"
done
for c in ostrel-cli ostrel-pkg; do
  [ -s "$prefix/share/bash-completion/completions/$c" ] || fail "no completion for $c"
  bash -n "$prefix/share/bash-completion/completions/$c" || fail "completion for $c"
done
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$prefix"/share/applications/ostrel-fm*.desktop || fail "desktop entries"
fi

# A simulated Ostrel III in the private port folder, its demo folders named
# in Japanese; its quality-control step fails at once, after QC Auto has
# loaded its reference image.
"$bin/ostrel-sim" --type 84 --preset demo --language 3 --cartridge "$work/cartridge" \
  --name installed --fault qc-fail=backslash >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do grep -q '^link:' "$work/sim.log" && break; sleep 0.1; done
link="$(sed -n 's/^link: //p' "$work/sim.log")"
[ -n "$link" ] || { cat "$work/sim.log" >&2; fail "ostrel-sim did not start"; }

cli=("$bin/ostrel-cli" --port "$link")
# Completing --port offers the module's link, not every terminal of the machine.
completion="$prefix/share/bash-completion/completions/ostrel-cli"
offered="$(bash -c 'source "$1"; COMP_WORDS=(ostrel-cli --port ""); COMP_CWORD=2
  _ostrel_cli; printf "%s\n" "${COMPREPLY[@]}"' _ "$completion")"
grep -qxF "$link" <<<"$offered" || fail "completion of --port left out $link: $offered"
! grep -vxF "$link" <<<"$offered" | grep -vqE '^(/dev/)?tty(ACM|USB)[0-9]+$' ||
  fail "completion of --port offered more than module ports: $offered"
"${cli[@]}" detect >"$work/detect.out" || fail "detect: $(cat "$work/detect.out")"
"${cli[@]}" --quiet --language 3 list | grep -q 'ヨーロッパ\\FRANCE' || fail "list in Japanese"
for language in 0 3; do
  if "${cli[@]}" --language "$language" --mode 1 qc auto >"$work/qc.out" 2>"$work/qc.err"; then
    fail "qc auto passed on a failing module"
  fi
  ! grep -q "load fail" "$work/qc.out" "$work/qc.err" || fail "reference image not found"
  grep -q "^Fault code:1001" "$work/qc.err" || fail "language $language: $(cat "$work/qc.err")"
done
# The language reaches the texts: the same run reads differently in Japanese.
"${cli[@]}" --language 3 detect >"$work/detect3.out"
! cmp -s "$work/detect.out" "$work/detect3.out" || fail "--language 3 changed nothing"

# A port that only a group may use, tried by a user outside that group.
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null && getent group dialout >/dev/null; then
  device="$(readlink -f "$link")"
  chgrp dialout "$device" && chmod 660 "$device"
  user="$(getent passwd 65534 | cut -d: -f1)"
  if setpriv --reuid=65534 --regid=65534 --clear-groups "${cli[0]}" --port "$device" detect \
    >/dev/null 2>"$work/denied.err"; then
    fail "an unprivileged user opened $device"
  fi
  grep -q "No permission to open $device: it belongs to group dialout. Add $user to it" \
    "$work/denied.err" || fail "permission hint: $(cat "$work/denied.err")"
fi

# The windows take --link as the command line does, and refuse what it is not.
if $gui; then
  for p in ostrel-fm ostrel-fm-rd; do
    QT_QPA_PLATFORM=offscreen "$bin/$p" --link quiet-gap --quit-after 100 >/dev/null 2>&1 ||
      fail "$p --link quiet-gap"
    status=0
    QT_QPA_PLATFORM=offscreen "$bin/$p" --link slow >/dev/null 2>&1 || status=$?
    [ "$status" = 2 ] || fail "$p --link slow: exit $status"
  done
fi

# The menu entry's command, run as the desktop would, opens the window, which
# finds the module through the port folder.
if $gui && command -v xvfb-run >/dev/null; then
  exec_line="$(sed -n '/^\[Desktop Entry\]/,/^\[/s/^Exec=//p' "$prefix/share/applications/ostrel-fm.desktop")"
  [ -n "$exec_line" ] || fail "no Exec line"
  kill "$sim_pid" && wait "$sim_pid" 2>/dev/null || true
  "$bin/ostrel-sim" --type 84 --preset demo --cartridge "$work/cartridge" --name installed \
    >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do grep -q '^link:' "$work/sim.log" && break; sleep 0.1; done
  PATH="$bin:$PATH" xvfb-run -a $exec_line --screenshot "$work/window.png" --after 4000 \
    >"$work/window.out" 2>&1 || fail "window: $(cat "$work/window.out")"
  [ -s "$work/window.png" ] || fail "no picture of the window"
  grep -q "^status: Device EXIST" "$work/window.out" || fail "window: $(cat "$work/window.out")"
fi
echo "installed programs: ok"
