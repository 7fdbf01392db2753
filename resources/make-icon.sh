#!/bin/sh
# Renders vqd.svg at the icon sizes (ImageMagick): packs 16, 32, 48 and 256 into vqd.ico (the
# window and tray icon) and keeps one PNG per size under icons/ for the desktop's icon theme
# (installed as share/icons/hicolor/<size>x<size>/apps/quillmorne.png).
set -eu
cd "$(dirname "$0")"
mkdir -p icons
for size in 16 32 48 64 128 256; do
    convert -background none -density $((96 * size / 256))x$((96 * size / 256)) vqd.svg \
        -resize "${size}x${size}" -strip "PNG32:icons/quillmorne-$size.png"
done
convert icons/quillmorne-16.png icons/quillmorne-32.png icons/quillmorne-48.png icons/quillmorne-256.png vqd.ico
