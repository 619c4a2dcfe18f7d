#!/bin/sh
# Renders the SVG sources of resources/icons into the PNGs that the resource
# files embed. The PNGs are committed, so only a designer needs rsvg-convert.
set -e
cd "$(dirname "$0")/../resources"
for name in searchIco deleteIco addIco editIco delete2Ico refresh2Ico connectionGoodIco connectionFailIco; do
    rsvg-convert -w 64 -h 64 "icons/$name.svg" -o "icons/$name.png"
done
rsvg-convert -w 128 -h 128 icons/tarnwick.svg -o images/tarnwick.png
rsvg-convert -w 500 -h 90 icons/tarnwick_logo_horizontal_gradient.svg \
    -o images/tarnwick_logo_horizontal_gradient.png
