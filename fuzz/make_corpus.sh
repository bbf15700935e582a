#!/bin/sh
# Makes the fuzzer's seed inputs in FOLDER with our own PNG maker:
#   make_corpus.sh MAKE_PNG FOLDER
set -eu
make_png=$1 folder=$2
mkdir -p "$folder"
"$make_png" "$folder/gradient.png" 3 2 1000 gradient
"$make_png" "$folder/small-chunks.png" 4 4 7 noise
# The same image with pHYs chunks before IDAT and after IEND.
phys='\0\0\0\011pHYs\0\0\013\023\0\0\013\023\001\000\232\234\030'
{ head -c 33 "$folder/gradient.png"; printf "$phys"; tail -c +34 "$folder/gradient.png"; printf "$phys"; } >"$folder/phys.png"
