#!/bin/sh
# Renders vqd.svg at the icon sizes and packs them into vqd.ico (ImageMagick).
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for size in 16 32 48 256; do
    convert -background none -density $((96 * size / 256))x$((96 * size / 256)) vqd.svg \
        -resize "${size}x${size}" "PNG32:$tmp/icon-$size.png"
done
convert "$tmp/icon-16.png" "$tmp/icon-32.png" "$tmp/icon-48.png" "$tmp/icon-256.png" vqd.ico
