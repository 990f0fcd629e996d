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

# The drives: a real recorder when the kernel shows one (shown, never
# written to by this demo), then the main job on an emulated CD-R: burn the
# sample tree, append a second session with more files, list both sessions,
# extract a file back and compare it.
echo
if env -u ZAMO_EMULATED_DRIVES "$CLI" devices >/dev/null 2>&1; then
  echo "== Graveur réel trouvé (laissé intact par cette démonstration) : zamo-cli devices ; zamo-cli info"
  env -u ZAMO_EMULATED_DRIVES "$CLI" devices
  env -u ZAMO_EMULATED_DRIVES "$CLI" info || true
  echo
fi
MORE="$DEMO/Ajouts"
mkdir -p "$MORE/Courrier"
printf 'Deuxième session : ces fichiers rejoignent ceux de la première.\n' > "$MORE/Courrier/Lettre à Léa.txt"
head -c 150000 /dev/urandom > "$MORE/Courrier/Pièce jointe.bin"
export ZAMO_EMULATED_DRIVES="cd-r:$DEMO/cd-r.img"
rm -f "$DEMO/cd-r.img" "$DEMO/cd-r.img.state"
echo "== Graveur émulé : ZAMO_EMULATED_DRIVES=\"$ZAMO_EMULATED_DRIVES\" (un CD-R vierge)"
"$CLI" devices
echo
echo "== zamo-cli burn \"$SAMPLE\""
"$CLI" burn --speed 16x "$SAMPLE"
echo
echo "== zamo-cli burn \"$MORE\"   (deuxième session : la première reste visible)"
"$CLI" burn "$MORE"
echo
echo "== zamo-cli info"
"$CLI" info
echo
echo "== zamo-cli ls --session 1"
"$CLI" ls --session 1
echo
echo "== zamo-cli ls   (dernière session)"
"$CLI" ls
echo
echo "== zamo-cli extract \"/Photos d'été 2024/Plage à Biarritz.jpg\" $DEMO/extrait.jpg"
rm -f "$DEMO/extrait.jpg"
"$CLI" extract "/Photos d'été 2024/Plage à Biarritz.jpg" "$DEMO/extrait.jpg"
if cmp "$SAMPLE/Photos d'été 2024/Plage à Biarritz.jpg" "$DEMO/extrait.jpg"; then
  echo "== Fichier extrait identique à l'original."
else
  echo "== ERREUR : le fichier extrait diffère de l'original." >&2
  exit 1
fi
echo
echo "== Relu par xorriso (deuxième session, secteur de début donné par zamo-cli info) :"
START=$("$CLI" info | sed -n 's/^Piste 2 .*début \([0-9]*\).*/\1/p')
xorriso -load sbsector "$START" -indev "$DEMO/cd-r.img" -find / -type f 2>/dev/null
