#!/bin/sh
# Makes the fuzzer's seed inputs in FOLDER with our own PNG maker:
#   make_corpus.sh MAKE_PNG FOLDER
set -eu
make_png=$1 folder=$2
mkdir -p "$folder"
"$make_png" "$folder/gradient.png" 3 2 1000 gradient
"$make_png" "$folder/small-chunks.png" 4 4 7 noise
# The same image with pHYs chunks before IDAT and after IEND.
. "$(dirname "$0")/../tests/fixtures.sh"
{ after_ihdr "$phys72" "$folder/gradient.png"; printf "$phys72"; } >"$folder/phys.png"
# pHYs after the chunks libpng-based tools write first, with an ICC profile: a patch's layout.
"$make_png" "$folder/libpng.png" 3 2 1000 gradient libpng-iccp
