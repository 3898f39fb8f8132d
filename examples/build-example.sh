#!/usr/bin/env bash
# Builds the example product: OUTPUT_DIR/NAME.msi (x64, the Media table naming an external
# cabinet) and the cabinet beside it, with wixl and gcab.
#   build-example.sh OUTPUT_DIR [NAME]
# These variables make other products from the same source (the tests use them):
#   EXAMPLE_LANGUAGE (1033), EXAMPLE_PRODUCT_NAME ("Launcher Example"),
#   EXAMPLE_PRODUCT_CODE ({0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B61}), EXAMPLE_CABINET (example.cab),
#   EXAMPLE_PAYLOAD (examples/hello.txt: the file the product installs, as hello.txt),
#   EXAMPLE_WIXL_TEMPLATE (unset; 1 keeps the Template as wixl writes it, x64;1033).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
out="$(mkdir -p "$1" && cd "$1" && pwd)"
name="${2:-example}"
language="${EXAMPLE_LANGUAGE:-1033}"
product_name="${EXAMPLE_PRODUCT_NAME:-Launcher Example}"
product_code="${EXAMPLE_PRODUCT_CODE:-{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B61\}}"
cabinet="${EXAMPLE_CABINET:-example.cab}"
payload="${EXAMPLE_PAYLOAD:-$here/hello.txt}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# In a cabinet the file goes under its File table key; a fixed time makes the same cabinet
# come out byte for byte the same, so that packages can share it.
cp "$payload" "$work/HelloFile"
touch -d '2020-01-01 00:00:00 UTC' "$work/HelloFile"

(
  cd "$work"
  wixl -a x64 -D "ProductCode=$product_code" -D "ProductName=$product_name" -D "Language=$language" \
    -D "Cabinet=$cabinet" -D "PayloadFile=HelloFile" -o "$out/$name.msi" "$here/product.wxs" 2>/dev/null
  # wixl writes the language 1033 into the Summary Information's Template whatever the product says.
  if [ -z "${EXAMPLE_WIXL_TEMPLATE:-}" ]; then
    msibuild "$out/$name.msi" -s "$product_name" "Launcher Project" "x64;$language"
  fi
  gcab -c -n "$out/$cabinet" HelloFile
)
