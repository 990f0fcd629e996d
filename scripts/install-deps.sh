#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need, only
# when some are missing.
set -e
PACKAGES="cmake make g++ pkg-config libgtest-dev libgmock-dev xorriso genisoimage p7zip-full \
libarchive-tools qemu-system-x86 attr linux-image-amd64 busybox-static cpio sg3-utils \
qt6-base-dev qt6-base-dev-tools xvfb xauth xclip xdotool poppler-utils fonts-liberation2"
missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "Installation des paquets manquants :$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
