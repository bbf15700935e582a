# What the test scripts share, sourced by each: the pHYs chunks restamp writes
# for 300 and 72 DPI (as printf escapes), and a chunk put in after IHDR.
phys300='\0\0\0\011pHYs\0\0\056\043\0\0\056\043\001\170\245\077\166'
phys72='\0\0\0\011pHYs\0\0\013\023\0\0\013\023\001\000\232\234\030'
# after_ihdr CHUNK FILE: FILE with CHUNK put in after IHDR, on standard output.
after_ihdr() { head -c 33 "$2" && printf "$1" && tail -c +34 "$2"; }
