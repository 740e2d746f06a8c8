#!/usr/bin/env bash
# wine32.sh -- a 32-bit Windows program under the 32-bit Wine of the emulated
# root (tools/root32.sh), for machines whose kernel runs no 32-bit programs:
# usable wherever a wine command is expected (WINE=tools/wine32.sh). Each
# call is a Wine session of its own, whose processes end with the program.
# Usage: tools/wine32.sh PROGRAM [ARGS...]
exec "$(dirname "$0")/root32.sh" wine "$@"
