#!/usr/bin/env bash
# Starts the Windows build of the engine under wine, in place of the native
# binary: whatever drives it (the protocol tests, tools/play_match.py) talks to
# this script's standard input and output as to the engine itself.
#
#   tools/wine_engine.sh --prepare      # set up the wine prefix, then exit
#   tools/wine_engine.sh --hold         # keep one wine session up ...
#   tools/wine_engine.sh --release      # ... until this ends it
#   RUVAN_LINE_END=crlf tests/protocol/test_protocol.py tools/wine_engine.sh
#
# The wine prefix is private to the build tree (build/wine, or $WINEPREFIX), so
# nothing in the user's home is touched. A fresh prefix takes wine seconds to
# set up on its first start and makes it print about it on standard error,
# which the tests require to stay empty; so the set-up runs once, apart, with
# its output in build/wine-setup.log. RUVAN_EXE names another .exe.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$root/build/wine}"
# Wine's own diagnostics would land on the engine's standard error.
export WINEDEBUG=-all
# No Mono, no Gecko: a console program needs neither, and without this the
# set-up would try to fetch their installers.
export WINEDLLOVERRIDES="mscoree,mshtml="
exe="${RUVAN_EXE:-$root/build/windows/pbrain-ruvan64.exe}"

# Debian's wine64 package installs the loader outside PATH; the wine package
# adds /usr/bin/wine in front of it.
wine=
for candidate in wine64 /usr/lib/wine/wine64 wine; do
  if command -v "$candidate" >/dev/null 2>&1; then
    wine=$(command -v "$candidate")
    break
  fi
done
if [ -z "$wine" ]; then
  echo "wine_engine.sh: no wine64 found (Debian package wine64)" >&2
  exit 127
fi
server=$(dirname "$wine")/wineserver
[ -x "$server" ] || server=wineserver

# The server writes the registry files only when it ends, so they cannot tell
# that the set-up is done; this mark can.
ready="$WINEPREFIX/.ruvan-ready"

# A wine session is a wine server and wine's own background programs
# (services.exe, winedevice.exe, rpcss.exe and others), all started by the
# first program of the session, whose standard streams they inherit and hold
# open until the session ends, seconds after its last program. Started by an
# engine, they would hold its pipes open long after the engine has exited, and
# whoever reads the engine's output or its standard error would see no end of
# file. So the session is started here, with every stream on /dev/null: the
# server, then a program that does nothing, which brings up the background
# programs. The server ends by itself ten seconds after its last engine (or,
# started with -p, only when told to). When a server runs already, its start
# fails at once and nothing else is done; the lock keeps an engine from
# slipping in while another wrapper starts a session.
start_session() {
  local persist="${1:--p10}"
  exec 8>"$WINEPREFIX.lock"
  flock 8
  if "$server" "$persist" </dev/null >/dev/null 2>&1 8>&-; then
    "$wine" cmd /c exit </dev/null >/dev/null 2>&1 8>&- || true
  fi
  flock -u 8
  exec 8>&-
}

prepare() {
  mkdir -p "$WINEPREFIX"
  # Several engines may start at once on a fresh prefix: one sets it up, the
  # others wait for it.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -e "$ready" ]; then
    local log="$root/build/wine-setup.log"
    if ! "$wine" wineboot -i >"$log" 2>&1 </dev/null 9>&-; then
      echo "wine_engine.sh: setting up the wine prefix $WINEPREFIX failed; see $log" >&2
      exit 1
    fi
    touch "$ready"
  fi
  flock -u 9
  exec 9>&-
}

# A session that lasts until --release, for a run of many engines one after
# another (the protocol tests): with a server that ends ten seconds after its
# last engine, an engine that starts just as the server is going down starts a
# new session of its own, and the background programs hold that engine's pipes
# open after it exits. A server that is going down already is waited for.
hold() {
  prepare
  "$server" -w </dev/null >/dev/null 2>&1 || true
  start_session -p
}

case "${1:-}" in
  --prepare) prepare; exit 0 ;;
  --hold) hold; exit 0 ;;
  --release) "$server" -k </dev/null >/dev/null 2>&1 || true; exit 0 ;;
esac
[ -e "$ready" ] || prepare >&2
if [ ! -f "$exe" ]; then
  echo "wine_engine.sh: no engine at $exe (make windows builds it)" >&2
  exit 127
fi
start_session
exec "$wine" "$exe"
