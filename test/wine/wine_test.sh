#!/usr/bin/env bash
# The Wine tests of the Windows build, one sub-command per kind of check.
# Called by CTest (cmake/WineTests.cmake) with TARVEX_WINE (the Wine loader)
# and WINEPREFIX (a prefix of the build folder's own) in the environment.
#
#   wine_test.sh init-prefix
#   wine_test.sh stop-prefix
#   wine_test.sh expect <exit status> <output pattern> <work folder> <program.exe> [arguments...]
#   wine_test.sh same-maps <Linux Korvanth> <Korvanth.exe> <work folder> [run options...]
#   wine_test.sh shared-log <check.exe> <work folder>
set -euo pipefail

: "${TARVEX_WINE:?the Wine loader}" "${WINEPREFIX:?the Wine prefix}"
export WINEPREFIX WINEARCH=win64 WINEDEBUG=-all DISPLAY= WAYLAND_DISPLAY=
# No Mono or Gecko install prompts: nothing here needs .NET or HTML.
export WINEDLLOVERRIDES="mscoree,mshtml="
wineserver_cmd=${TARVEX_WINESERVER:-wineserver}

# A Unix path as the Windows programs see it (drive Z: is the Unix root).
windows_path() { local path; path=$(realpath -m "$1"); printf 'Z:%s' "${path//\//\\}"; }

fail() { echo "FAIL: $*" >&2; exit 1; }

case "${1:-}" in
init-prefix)
  # Once per prefix; a prefix whose set-up did not finish is made anew.
  if [[ -f "$WINEPREFIX/.tarvex-ready" ]]; then echo "prefix ready: $WINEPREFIX"; exit 0; fi
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  "$TARVEX_WINE" wineboot -i
  "$wineserver_cmd" -w
  [[ -f "$WINEPREFIX/system.reg" ]] || fail "wineboot did not create $WINEPREFIX"
  touch "$WINEPREFIX/.tarvex-ready"
  echo "prefix created: $WINEPREFIX"
  ;;

stop-prefix)
  # Ends this prefix's wine server (and only it) once the tests are done.
  "$wineserver_cmd" -k 2>/dev/null || true
  ;;

expect)
  expected_status=$2 pattern=$3 work=$4 program=$5
  shift 5
  mkdir -p "$work"
  cd "$work"
  set +e
  output=$("$TARVEX_WINE" "$program" "$@" 2>&1)
  status=$?
  set -e
  printf '%s\n' "$output"
  [[ $status -eq $expected_status ]] || fail "exit status $status, expected $expected_status"
  grep -Eq -- "$pattern" <<<"$output" || fail "no line matches: $pattern"
  ;;

same-maps)
  # Both hosts load the plug-in built beside them; every option is the same.
  linux_host=$2 windows_host=$3 work=$4
  shift 4
  rm -rf "$work"
  mkdir -p "$work"
  cd "$work"
  "$linux_host" --out linux "$@" >linux.txt 2>&1 ||
    { cat linux.txt; fail "the Linux run failed"; }
  "$TARVEX_WINE" "$windows_host" --out windows "$@" >windows.txt 2>&1 ||
    { cat windows.txt; fail "the Wine run failed"; }

  # The inputs first: the synthetic generator uses sin, cos and log of the
  # platform's maths library. Its motion log (CR LF on Windows, where the host
  # writes text mode) must hold the same lines on both platforms.
  log=$(cd linux && ls ./*_3DMC.log)
  cmp <(tr -d '\r' <"windows/$log") "linux/$log" || fail "the motion logs differ: the two runs had different inputs"

  cmp linux/maps.f32 windows/maps.f32 || fail "maps.f32 differs between the Linux and the Wine run"
  echo "maps.f32 identical ($(stat -c %s linux/maps.f32) bytes), motion logs identical"

  # The maps are only worth comparing when they hold results: maps 0 to 5, the
  # motion t-values, are non-zero only where the plug-in read the motion log
  # that the host kept open while it wrote it.
  map_size=$(($(stat -c %s windows/maps.f32) / 8))
  for map in 0 1 2 3 4 5; do
    nonzero=$(od -An -v -f -w4 -j $((map * map_size)) -N "$map_size" windows/maps.f32 |
      awk '$1 != 0 && $1 == $1 + 0 && $1 !~ /nan|inf/ { n++ } END { print n + 0 }')
    echo "map $map: $nonzero finite non-zero t-values"
    ((nonzero >= 100)) || fail "map $map holds $nonzero finite non-zero values: the motion log was not read"
  done
  ;;

shared-log)
  check=$2 work=$3
  rm -rf "$work"
  mkdir -p "$work"
  "$TARVEX_WINE" "$check" "$(windows_path "$work")"
  ;;

*)
  fail "unknown sub-command: ${1:-}"
  ;;
esac
