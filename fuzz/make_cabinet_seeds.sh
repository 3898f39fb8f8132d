#!/usr/bin/env bash
# make_cabinet_seeds.sh OUTPUT_DIR: seeds for the cabinet file-list reader, made by gcab: one
# member and several, stored and compressed, ASCII and UTF-8 names.
set -euo pipefail
out="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
cd "$work"
printf 'readme\n' >ReadmeFile
head -c 3000 /dev/zero | tr '\0' 'a' >AppFile
printf 'x' >'Übersicht.txt'
touch -d '2020-01-01 00:00:00 UTC' ReadmeFile AppFile 'Übersicht.txt'
gcab -c -n "$out/one-stored.cab" ReadmeFile
gcab -c -n "$out/three-stored.cab" ReadmeFile AppFile 'Übersicht.txt'
gcab -c -n -z "$out/three-compressed.cab" AppFile ReadmeFile 'Übersicht.txt'
