#!/bin/sh
# ombrixd(8) describes exactly the options that ombrixd --help lists, each
# with the value --help names, so that neither can change alone.
# usage: man_options.sh OMBRIXD MAN_PAGE   ($EMULATOR runs a cross-built one)
set -eu
ombrixd=$1 page=$2

# "--name VALUE" or "--name", one a line, sorted.
from_help() {
	${EMULATOR:-} "$ombrixd" --help |
		awk '$1 ~ /^--/ { v = ($2 ~ /^[A-Z]/ || $2 ~ /\|/) ? " " $2 : ""; print $1 v }' | sort
}

# The tags of the OPTIONS section: the line after each .TP, its font
# escapes and quotes dropped, then each --name with the value after it.
from_man() {
	sed -n '/^\.SH OPTIONS/,/^\.SH [^O]/p' "$page" | awk 'tag { print; tag = 0 } /^\.TP/ { tag = 1 }' |
		sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/"//g' -e 's/^\.[A-Z]* //' -e 's/,//g' |
		awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^--/) {
			v = (i < NF && $(i + 1) !~ /^--/) ? " " $(i + 1) : ""; print $i v } }' | sort
}

help=$(from_help) man=$(from_man)
[ -n "$help" ] || { echo "ombrixd --help lists no option"; exit 1; }
if [ "$help" != "$man" ]; then
	echo "ombrixd(8) and ombrixd --help differ (< --help, > the man page):"
	printf '%s\n' "$help" >"${TMPDIR:-/tmp}/help.$$"
	printf '%s\n' "$man" | diff "${TMPDIR:-/tmp}/help.$$" - || true
	rm -f "${TMPDIR:-/tmp}/help.$$"
	exit 1
fi
echo "ombrixd(8) describes the $(echo "$help" | wc -l) options of ombrixd --help"
