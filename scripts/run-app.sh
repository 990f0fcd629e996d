#!/bin/sh
# Opens the desktop program (make run, with a display). A real recorder is
# used when the kernel shows one; otherwise three emulated recorders stand in:
# a blank CD-R, CD-RW and DVD+RW whose discs live under BUILD/demo.
#   scripts/run-app.sh [BUILD [FILE|FOLDER...]]   (the paths go to the file list)
set -e
BUILD=${1:-build}
[ $# -gt 0 ] && shift
APP="$BUILD/app/zamo"
CLI="$BUILD/cli/zamo-cli"
DEMO="$BUILD/demo"
[ -x "$APP" ] || { echo "$APP manque : construisez d'abord (make build)" >&2; exit 2; }

if [ -z "${ZAMO_EMULATED_DRIVES:-}" ] && "$CLI" devices >/dev/null 2>&1; then
  echo "== Graveur réel trouvé :"
  "$CLI" devices
  exec "$APP" "$@"
fi
if [ -z "${ZAMO_EMULATED_DRIVES:-}" ]; then
  mkdir -p "$DEMO"
  for disc in cd-r cd-rw dvd+rw; do rm -f "$DEMO/$disc.img" "$DEMO/$disc.img.state"; done
  ZAMO_EMULATED_DRIVES="cd-r:$DEMO/cd-r.img;cd-rw:$DEMO/cd-rw.img;dvd+rw:$DEMO/dvd+rw.img"
  export ZAMO_EMULATED_DRIVES
  echo "== Aucun graveur réel : trois graveurs émulés, un CD-R, un CD-RW et un DVD+RW vierges"
  echo "   ZAMO_EMULATED_DRIVES=\"$ZAMO_EMULATED_DRIVES\""
fi
exec "$APP" "$@"
