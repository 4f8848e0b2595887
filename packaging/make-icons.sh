#!/bin/sh
# Draws the window icon in its two sizes as 16-colour palette PNGs:
# a probe point sending two echo waves, on a light-blue disc.
# Needs ImageMagick. Run from any folder; writes next to this script.
set -eu
cd "$(dirname "$0")"

draw() { # size, stroke width, disc, dot, inner arc, outer arc
    convert -size "$1x$1" xc:none "$antialias" \
        -fill '#C0C0FF' -stroke '#000080' -strokewidth 1 -draw "$3" \
        -fill '#000080' -stroke none -draw "$4" \
        -fill none -stroke '#000080' -strokewidth "$2" -draw "$5" -draw "$6" \
        -channel A -threshold 50% +channel -colors 16 \
        -define png:bit-depth=4 "PNG8:sondar-$1.png"
}

antialias=-antialias
draw 32 2 'circle 15.5,15.5 15.5,1' 'circle 9,22 9,19' \
    'arc 1,14 17,30 270,360' 'arc -5,8 23,36 270,360'
antialias=+antialias
draw 16 1 'circle 7.5,7.5 7.5,0' 'circle 4.5,10.5 4.5,9' \
    'arc 0.5,6.5 8.5,14.5 270,360' 'arc -2.5,3.5 11.5,17.5 270,360'
