#!/usr/bin/env bash
# Compiles a sketch with the Arduino AVR core for an Uno (ATmega328P, 16 MHz) into an ELF for the simulator.
#   build-sketch.sh SKETCH.ino ARDUINO_AVR_DIR OUT.elf
# ARDUINO_AVR_DIR is the core's hardware folder (with cores/arduino and variants/standard).
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: build-sketch.sh SKETCH.ino ARDUINO_AVR_DIR OUT.elf" >&2; exit 2; }
sketch=$1 core=$2/cores/arduino variant=$2/variants/standard out=$3
objects=$out.objects
rm -rf "$objects" && mkdir -p "$objects"
flags=(-Os -mmcu=atmega328p -DF_CPU=16000000L -DARDUINO=10807 -DARDUINO_AVR_UNO -DARDUINO_ARCH_AVR
       -ffunction-sections -fdata-sections -I"$core" -I"$variant")
# gcc-avr 5's float.h gives DECIMAL_DIG to C only, and the core's WString.cpp needs it in C++.
cxxflags=(-std=gnu++11 -fno-exceptions -fno-threadsafe-statics -fpermissive -w -DDECIMAL_DIG=__DECIMAL_DIG__)
# The IDE's step: the sketch becomes C++ that includes the core's header first.
{ echo '#include <Arduino.h>'; echo "#line 1 \"$sketch\""; cat "$sketch"; } >"$objects/sketch.cpp"
compile() { # SOURCE: one object in $objects
    local object=$objects/$(basename "$1").o
    case $1 in
        *.c) avr-gcc "${flags[@]}" -std=gnu11 -w -c "$1" -o "$object" ;;
        *.S) avr-gcc "${flags[@]}" -x assembler-with-cpp -c "$1" -o "$object" ;;
        *) avr-g++ "${flags[@]}" "${cxxflags[@]}" -c "$1" -o "$object" ;;
    esac
}
for source in "$objects/sketch.cpp" "$core"/*.c "$core"/*.cpp "$core"/*.S; do
    compile "$source"
done
avr-gcc -Os -mmcu=atmega328p -Wl,--gc-sections -o "$out" "$objects"/*.o -lm
