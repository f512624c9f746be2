#!/bin/sh
# Writes a manual page holding a program's --help text as it is printed, for a
# program whose help is one block of text: help-to-man.sh PROGRAM NAME SUMMARY
set -eu
program=$1 name=$2 summary=$3
upper=$(echo "$name" | tr '[:lower:]' '[:upper:]')
roff() { sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^[.']/\\\\\&&/"; }
printf '.TH %s 1 "" "%s" "User Commands"\n' "$(echo "$upper" | roff)" "$(echo "$name" | roff)"
printf '.SH NAME\n%s \\- %s\n' "$(echo "$name" | roff)" "$(echo "$summary" | roff)"
printf '.SH DESCRIPTION\n.nf\n'
"$program" --help | roff
printf '.fi\n.SH SEE ALSO\n.BR kestrel\\-cli (1),\n.BR kestrel (1)\n'
