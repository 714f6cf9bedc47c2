#!/usr/bin/env bash
# eolmend end to end on the front end it shares with seqmend: its banner and usage, both
# restorations, its default name and a full disk (the rest of the shared front end is tested
# through seqmend, what is restored and said in restore_test.cpp). Each case in a fresh folder
# (tests/support/harness.sh).
#
# usage: eolmend_test.sh EOLMEND
set -u

[ $# -eq 1 ] || { echo "usage: $0 EOLMEND" >&2; exit 2; }
PROGRAM=$(realpath "$1")
source "$(dirname "$0")/../support/harness.sh"

# Two LF bytes in a text, and notes enough to outgrow the 1 KiB of `fsize=1 run`.
LINES="$FORMAT0 $(chunk MTrk 00 FF 01 05 "$(hex $'a\nb\nc')" "$(notes 150)" "$EOT")"
CRLF_SOUND="$FORMAT0 $(chunk MTrk 00 FF 01 04 "$(hex $'a\r\nb')" "$(notes 1)" "$EOT")"
USAGE='eolmend undoes the damage a text-mode transfer did to a Standard MIDI File.\n\nusage: eolmend [-quiet] [-version] filename.mid [result.mid]\n-quiet\tdo not report a file that is sound\n-version\tprint the version\nif output filename is not given and changes are necessary then\noutput will be written to eolmend.mid\n'
UNDONE='in.mid: CR LF changed back to LF in track 1 (2 bytes removed)\n'

# lf_to_crlf HEX...: the bytes with a CR put before every LF, as a text-mode transfer does
lf_to_crlf() { printf '%s' "$*" | tr -d ' ' | sed 's/../& /g; s/0[aA] /0D0A /g'; }

start "version banner, usage, -t is no option here"; run -v -t
grep -qxE 'eolmend v1\.16 \([A-Z][a-z]{2} [1-9][0-9]? [0-9]{4}\)' <(head -n 1 ../stdout) ||
  fail "banner: $(head -n 1 ../stdout)"
expect 1 "$(head -n 1 ../stdout)\n$USAGE" 'Invalid option -t.\n'; files ''

start "LF -> CR LF undone"; put in.mid "$(lf_to_crlf "$LINES")"; run in.mid
expect 0 "$UNDONE$(fixed in.mid eolmend.mid)" ''; files 'eolmend.mid in.mid' eolmend.mid "$LINES"

start "CR LF -> LF undone"; put in.mid "${CRLF_SOUND//0d0a/0a}"; run -q in.mid out.mid
expect 0 "in.mid: LF changed back to CR LF in track 1 (1 byte inserted)\n$(fixed in.mid out.mid)" ''
files 'in.mid out.mid' out.mid "$CRLF_SOUND"

start "full disk"; put in.mid "$(lf_to_crlf "$LINES")"; fsize=1 run in.mid out.mid
expect 1 "$UNDONE" 'out.mid: File too large\n'; files in.mid

finish_all
