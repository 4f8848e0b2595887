#!/bin/sh
# Draws the icon as 16-colour palette PNGs: a probe point sending two echo
# waves, on a light-blue disc. The 16 and 32 px ones, which the window
# carries, are drawn pixel by pixel for their size; the 48 px one for the
# desktop theme is rendered from sondar.svg, the same drawing at any size.
# Needs ImageMagick. Run from any folder; writes next to this script.
set -eu
cd "$(dirname "$0")"

palette() { # the 16-colour PNG with a 1-bit alpha, reproducible byte for byte
    convert "$@" -channel A -threshold 50% +channel -colors 16 \
        -define png:bit-depth=4 -define png:exclude-chunks=date,time "PNG8:$out"
}

draw() { # size, stroke width, disc, dot, inner arc, outer arc
    out="sondar-$1.png"
    palette -size "$1x$1" xc:none "$antialias" \
        -fill '#C0C0FF' -stroke '#000080' -strokewidth 1 -draw "$3" \
        -fill '#000080' -stroke none -draw "$4" \
        -fill none -stroke '#000080' -strokewidth "$2" -draw "$5" -draw "$6"
}

antialias=-antialias
draw 32 2 'circle 15.5,15.5 15.5,1' 'circle 9,22 9,19' \
    'arc 1,14 17,30 270,360' 'arc -5,8 23,36 270,360'
antialias=+antialias
draw 16 1 'circle 7.5,7.5 7.5,0' 'circle 4.5,10.5 4.5,9' \
    'arc 0.5,6.5 8.5,14.5 270,360' 'arc -2.5,3.5 11.5,17.5 270,360'

# The drawing is 32 units wide: 144 dpi is 1.5 times the 96 at which a unit
# is a pixel.
out=sondar-48.png
palette -background none -density 144 sondar.svg
