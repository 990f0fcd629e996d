#!/bin/sh
# The main jobs available so far: a sample tree saved as an ISO 9660 + Joliet
# image with zamo-cli, read back with a peer tool; then the drives and discs.
set -e
BUILD=${1:-build}
CLI="$BUILD/cli/zamo-cli"
DEMO="$BUILD/demo"
SAMPLE="$DEMO/Échantillon"

rm -rf "$DEMO"
mkdir -p "$SAMPLE/Photos d'été 2024" "$SAMPLE/Документы" "$SAMPLE/Notes/Archives/2023" "$SAMPLE/Vide"
printf 'Bonjour, voici un disque de démonstration.\n' > "$SAMPLE/Lisez-moi"
printf 'Привет\n' > "$SAMPLE/Документы/Письмо.txt"
head -c 300000 /dev/urandom > "$SAMPLE/Photos d'été 2024/Plage à Biarritz.jpg"
head -c 2049 /dev/urandom > "$SAMPLE/Photos d'été 2024/Coucher de soleil.jpg"
printf 'réunion du lundi\n' > "$SAMPLE/Notes/Archives/2023/Compte rendu de la réunion annuelle.txt"
printf 'secret\n' > "$SAMPLE/.configuration"

echo "== zamo-cli mkiso -o $DEMO/exemple.iso --volume \"Exemple Zamo\" $SAMPLE"
"$CLI" mkiso -o "$DEMO/exemple.iso" --volume "Exemple Zamo" "$SAMPLE"
echo
echo "== Relu par isoinfo -d :"
isoinfo -d -i "$DEMO/exemple.iso" | sed -n '1,3p;13,16p'
echo
echo "== Relu par xorriso (arborescence Joliet) :"
xorriso -indev "$DEMO/exemple.iso" -find / -exec lsdl 2>/dev/null
echo
echo "== Relu par isoinfo (noms ISO 9660 8.3) :"
isoinfo -f -i "$DEMO/exemple.iso"

# The drives: a real recorder when the kernel shows one, else emulated ones
# (a blank CD-R, and a CD-ROM holding the image just made).
echo
if "$CLI" devices >/dev/null 2>&1; then
  echo "== zamo-cli devices"
  "$CLI" devices
  echo
  echo "== zamo-cli info"
  "$CLI" info || true
else
  export ZAMO_EMULATED_DRIVES="cd-r:$DEMO/cd-r.img;cd-rom:$DEMO/exemple.iso"
  echo "== Aucun graveur réel : graveurs émulés, ZAMO_EMULATED_DRIVES=\"$ZAMO_EMULATED_DRIVES\""
  echo "== zamo-cli devices"
  "$CLI" devices
  echo
  echo "== zamo-cli caps"
  "$CLI" caps
  echo
  echo "== zamo-cli info (CD-R vierge)"
  "$CLI" info
  echo
  echo "== zamo-cli --drive 1 info (CD-ROM contenant exemple.iso)"
  "$CLI" --drive 1 info
fi
