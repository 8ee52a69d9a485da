#!/bin/sh
# Draws the desktop shell's artwork with ImageMagick: picture.jpg (113 x 113,
# the main window's picture) and icon.png (16 x 16, the tray icon). Both show a
# small network registry: devices linked to a card of name = address entries.
# The images are kept in the repository; run this after changing a drawing.
set -eu
cd "$(dirname "$0")"

# The registry card (name = address entries) at the top, where the window
# shows it; devices below, wired to it.
convert -size 113x113 gradient:'#1f4e79-#0f2740' \
  -stroke '#7fb3d5' -strokewidth 2 -fill none \
  -draw 'line 56,58 56,76' -draw 'line 18,76 95,76' \
  -draw 'line 18,76 18,88' -draw 'line 56,76 56,88' -draw 'line 95,76 95,88' \
  -stroke '#0b1d30' -strokewidth 1 -fill '#9ad0f5' \
  -draw 'roundrectangle 8,88 28,103 3,3' -draw 'roundrectangle 46,88 66,103 3,3' \
  -draw 'roundrectangle 85,88 105,103 3,3' \
  -fill '#0f2740' -stroke none \
  -draw 'rectangle 11,91 25,99' -draw 'rectangle 49,91 63,99' -draw 'rectangle 88,91 102,99' \
  -fill '#f4f8fb' -stroke '#0b1d30' -draw 'roundrectangle 28,5 85,58 5,5' \
  -fill '#3a7fc1' -stroke none -draw 'rectangle 29,6 84,15' \
  -fill '#1f4e79' \
  -draw 'rectangle 35,22 64,25' -draw 'rectangle 35,32 64,35' -draw 'rectangle 35,42 64,45' \
  -fill '#2e9e5b' \
  -draw 'circle 75,23.5 78,23.5' -draw 'circle 75,33.5 78,33.5' -draw 'circle 75,43.5 78,43.5' \
  -strip -quality 85 picture.jpg

# The icon is drawn pixel by pixel at its own size, so that it stays sharp.
convert -size 16x16 xc:none \
  -fill '#1f4e79' -draw 'roundrectangle 1,1 14,14 2,2' \
  -fill '#f4f8fb' -draw 'rectangle 3,4 9,5' -draw 'rectangle 3,7 9,8' -draw 'rectangle 3,10 9,11' \
  -fill '#49d17d' -draw 'rectangle 11,4 12,5' -draw 'rectangle 11,7 12,8' -draw 'rectangle 11,10 12,11' \
  -strip PNG32:icon.png
