#!/bin/sh
# Opens the desktop program (make run, with a display). A real recorder is
# used when the kernel shows one; otherwise two emulated recorders stand in:
# a blank CD-R and a blank DVD+RW whose discs live under BUILD/demo.
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
  rm -f "$DEMO/cd-r.img" "$DEMO/cd-r.img.state" "$DEMO/dvd+rw.img" "$DEMO/dvd+rw.img.state"
  ZAMO_EMULATED_DRIVES="cd-r:$DEMO/cd-r.img;dvd+rw:$DEMO/dvd+rw.img"
  export ZAMO_EMULATED_DRIVES
  echo "== Aucun graveur réel : deux graveurs émulés, un CD-R et un DVD+RW vierges"
  echo "   ZAMO_EMULATED_DRIVES=\"$ZAMO_EMULATED_DRIVES\""
fi
exec "$APP" "$@"
