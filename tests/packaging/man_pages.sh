#!/bin/sh
# Fails when groff has any warning for a man page: a warning is text the
# reader loses or sees garbled.
# usage: man_pages.sh PAGE...
failed=0
for page; do
	out=$(groff -man -ww -z "$page" 2>&1)
	[ -z "$out" ] || { echo "$page: $out"; failed=1; }
done
exit $failed
