#!/bin/sh
# Checks a built driver image before anyone tries to load it:
#   - PE32 for i386, not a DLL, subsystem native, OS and subsystem version 5.0, WDM driver flag;
#   - the entry point is the entry symbol (DriverEntry, stdcall-decorated);
#   - imports come only from NDIS.SYS, ntoskrnl.exe, HAL.dll and USBD.SYS, and every imported
#     routine is on the allow-list;
#   - no object carries global constructors or destructors (.ctors/.dtors/.init_array/
#     .fini_array) or thread-local data (.tls): nothing runs them in a driver;
#   - with --version V: a version resource whose FILEVERSION and PRODUCTVERSION are V (3.06 is
#     3,6,0,0) and whose FileVersion and ProductVersion strings are V; with --description D,
#     its FileDescription is D;
#   - with --placement SECTION=NAME[,NAME...] (repeatable): the image has SECTION, each named
#     routine lies in it, and no other routine does. Windows discards INIT after DriverEntry
#     and pages PAGE* out, so a routine there by mistake fails only at run time;
#   - no section is both writable and executable; an INIT section is discardable and starts on
#     a page of its own, so the loader can free it after DriverEntry; the PE checksum is right;
#   - with --stripped SYMBOLS: the image carries no COFF symbol table, and the entry point and
#     placement are judged by the symbols in SYMBOLS (the file kept beside the image);
#   - with --relinked OTHER: OTHER, the same objects linked at another image base and finished
#     the same way, differs from the image only in ImageBase, CheckSum and the 4-byte words a
#     HIGHLOW base relocation names: the relocation table covers every absolute address.
#
# usage: check-image.sh [--prefix i686-w64-mingw32-] [--entry _DriverEntry@8] [--version V]
#                       [--description D] [--placement SECTION=NAME,...]...
#                       [--stripped SYMBOLS] [--relinked OTHER] IMAGE ALLOW-LIST [OBJECT...]
# Prints every problem found, one per line, and exits 1 if there was any.
set -u

prefix=i686-w64-mingw32-
entry=_DriverEntry@8
version=
description=
placements=
symbols=
relinked=
while [ $# -gt 0 ]; do
    case "$1" in
    --prefix) prefix=$2; shift 2 ;;
    --entry) entry=$2; shift 2 ;;
    --version) version=$2; shift 2 ;;
    --description) description=$2; shift 2 ;;
    --placement) placements="$placements $2"; shift 2 ;;
    --stripped) symbols=$2; shift 2 ;;
    --relinked) relinked=$2; shift 2 ;;
    *) break ;;
    esac
done
if [ $# -lt 2 ]; then
    echo "usage: $0 [--prefix P] [--entry SYMBOL] IMAGE ALLOW-LIST [OBJECT...]" >&2
    exit 2
fi
image=$1
allow=$2
shift 2
[ -n "$symbols" ] || symbols=$image

failures=0
fail() {
    echo "check-image: $image: $*"
    failures=$((failures + 1))
}

headers=$("${prefix}objdump" -p "$image") || {
    echo "check-image: $image: objdump -p failed" >&2
    exit 1
}

# field NAME: the value after NAME at the start of a line of `objdump -p`.
field() {
    printf '%s\n' "$headers" | awk -v n="$1" '$1 == n { print $2; exit }'
}

printf '%s\n' "$headers" | grep -q 'file format pei-i386' || fail "not a PE image for i386"
[ "$(field Magic)" = 010b ] || fail "optional header magic is $(field Magic), not 010b (PE32)"
[ "$(field Subsystem)" = 00000001 ] || fail "subsystem is $(field Subsystem), not 1 (native)"
os="$(field MajorOSystemVersion).$(field MinorOSystemVersion)"
[ "$os" = 5.0 ] || fail "OS version is $os, not 5.0"
subsys="$(field MajorSubsystemVersion).$(field MinorSubsystemVersion)"
[ "$subsys" = 5.0 ] || fail "subsystem version is $subsys, not 5.0"
printf '%s\n' "$headers" | grep -q 'WDM_DRIVER' || fail "WDM_DRIVER flag not set"
characteristics=$(printf '%s\n' "$headers" | sed -n '/^Characteristics/,/^$/p')
if printf '%s\n' "$characteristics" | grep -q 'DLL'; then
    fail "image is marked as a DLL"
fi

# Entry point: ImageBase + AddressOfEntryPoint must be the entry symbol's address.
base=$(field ImageBase)
rva=$(field AddressOfEntryPoint)
symbol=$("${prefix}nm" "$symbols" | awk -v s="$entry" '$3 == s { print $1; exit }')
if [ -z "$symbol" ]; then
    fail "entry symbol $entry not found in the image's symbol table"
elif [ $((0x$base + 0x$rva)) -ne $((0x$symbol)) ]; then
    fail "entry point is $base+$rva, not $entry at $symbol"
fi

# Imports: "DLL Name: X" starts a module; its routines follow as "<vma> <hint> <name>".
imports=$(printf '%s\n' "$headers" | awk '
    /^[ \t]*DLL Name:/ { module = $3; next }
    /^PE File Base Relocations/ { module = "" }
    module != "" && /^\t[0-9a-f]+\t/ {
        if (NF >= 3) print module "!" $3; else print module "!<ordinal " $2 ">"
    }')
[ -n "$imports" ] || fail "no imports found (objdump output not understood?)"

allowed=$(sed -e 's/[ \t]#.*//' -e 's/^#.*//' -e 's/[ \t]*$//' "$allow" | grep -v '^$')
for import in $imports; do
    module=${import%%!*}
    case $(printf '%s' "$module" | tr 'A-Z' 'a-z') in
    ndis.sys | ntoskrnl.exe | hal.dll | usbd.sys) ;;
    *)
        fail "imports $import: module $module is not one of NDIS.SYS, ntoskrnl.exe, HAL.dll, USBD.SYS"
        continue
        ;;
    esac
    found=$(printf '%s\n' "$allowed" | awk -v want="$import" '
        { split($0, a, "!"); split(want, w, "!")
          if (tolower(a[1]) == tolower(w[1]) && a[2] == w[2]) { print "yes"; exit } }')
    [ -n "$found" ] || fail "imports $import, which is not on the allow-list $allow"
done

# Version resource, decompiled from the image's .rsrc by the resource compiler.
if [ -n "$version" ] || [ -n "$description" ]; then
    resources=$("${prefix}windres" -i "$image" -O rc 2>/dev/null) || resources=
    if ! printf '%s\n' "$resources" | grep -q ' VERSIONINFO$'; then
        fail "no version resource"
    else
        # rcvalue NAME: the string of VALUE "NAME", "..." in the StringFileInfo block.
        rcvalue() {
            printf '%s\n' "$resources" |
                sed -n "s/^[ \t]*VALUE \"$1\", \"\(.*\)\"[ \t]*\$/\1/p" | head -n 1
        }
        if [ -n "$version" ]; then
            major=${version%%.*}
            minor=$(printf '%s' "${version#*.}" | sed 's/^0*\([0-9]\)/\1/')
            for key in FILEVERSION PRODUCTVERSION; do
                got=$(printf '%s\n' "$resources" | awk -v k="$key" '$1 == k {
                    $1 = ""; gsub(/[ \t]/, ""); print; exit }')
                [ "$got" = "$major,$minor,0,0" ] ||
                    fail "version resource $key is '$got', not $major,$minor,0,0"
            done
            for key in FileVersion ProductVersion; do
                got=$(rcvalue "$key")
                [ "$got" = "$version" ] || fail "version resource $key is '$got', not '$version'"
            done
        fi
        if [ -n "$description" ]; then
            got=$(rcvalue FileDescription)
            [ "$got" = "$description" ] ||
                fail "version resource FileDescription is '$got', not '$description'"
        fi
    fi
fi

# Code placement: sections by address range, routines by address (demangled, without
# parameters and stdcall suffix).
if [ -n "$placements" ]; then
    # "NAME FIRST END" per section, addresses in decimal.
    sections=$("${prefix}objdump" -h "$image" | awk '$1 ~ /^[0-9]+$/ { print $2, $4, $3 }' |
        while read -r name vma size; do
            echo "$name $((0x$vma)) $((0x$vma + 0x$size))"
        done)
    # "SECTION ROUTINE" per function symbol.
    routines=$("${prefix}nm" -C --defined-only "$symbols" | awk '$2 == "T" || $2 == "t"' |
        sed -e 's/(.*//' -e 's/@[0-9]*$//' | while read -r address type name; do
            printf '%s\n' "$sections" | awk -v a="$((0x$address))" -v n="$name" '
                a + 0 >= $2 + 0 && a + 0 < $3 + 0 && n != $1 { print $1, n; exit }'
        done)
    for placement in $placements; do
        section=${placement%%=*}
        names=$(printf '%s' "${placement#*=}" | tr ',' ' ')
        printf '%s\n' "$sections" | awk -v s="$section" '$1 == s { found = 1 } END { exit !found }' ||
            fail "no section $section"
        for name in $names; do
            where=$(printf '%s\n' "$routines" | awk -v n="$name" '$2 == n { print $1; exit }')
            [ "$where" = "$section" ] ||
                fail "$name is in section '${where:-?}', not $section"
        done
        for name in $(printf '%s\n' "$routines" | awk -v s="$section" '$1 == s { print $2 }'); do
            case " $names " in
            *" $name "*) ;;
            *) fail "$name is in section $section but not listed for it" ;;
            esac
        done
    done
fi

# Section table and headers, read from the file itself: u SIZE OFFSET is the
# little-endian unsigned SIZE-byte value at OFFSET.
u() {
    od -An -tu"$1" -j "$2" -N "$1" "$image" | tr -d ' '
}
pe=$(u 4 60)
file_header=$((pe + 4))
optional=$((file_header + 20))
section_count=$(u 2 $((file_header + 2)))
table=$((optional + $(u 2 $((file_header + 16)))))
# "NAME VA VIRTUAL-SIZE RAW-POINTER CHARACTERISTICS" per section, in decimal.
section_table=$(i=0
    while [ "$i" -lt "$section_count" ]; do
        h=$((table + 40 * i))
        name=$(dd if="$image" bs=1 skip="$h" count=8 2>/dev/null | tr -d '\000')
        echo "$name $(u 4 $((h + 12))) $(u 4 $((h + 8))) $(u 4 $((h + 20))) $(u 4 $((h + 36)))"
        i=$((i + 1))
    done)
while read -r name va vsize raw flags; do
    if [ $((flags & 0x80000000)) -ne 0 ] && [ $((flags & 0x20000000)) -ne 0 ]; then
        fail "section $name is both writable and executable"
    fi
    if [ "$name" = INIT ]; then
        [ $((flags & 0x02000000)) -ne 0 ] || fail "section INIT is not discardable"
        [ $((va % 4096)) -eq 0 ] || fail "section INIT does not start on a page of its own"
    fi
done <<EOF
$section_table
EOF

if [ "$symbols" != "$image" ]; then
    if [ "$(u 4 $((file_header + 8)))" != 0 ] || [ "$(u 4 $((file_header + 12)))" != 0 ]; then
        fail "the image carries a COFF symbol table"
    fi
fi

# The PE checksum: 16-bit words summed with carries folded in, the checksum field as zero,
# plus the file length.
checksum_field=$((optional + 64))
sum=$(od -An -v -tu2 "$image" | awk -v skip=$((checksum_field / 2)) '
    { for (i = 1; i <= NF; i++) { if (n != skip && n != skip + 1) { s += $i; s = s % 65536 + int(s / 65536) } n++ } }
    END { s = s % 65536 + int(s / 65536); print s }')
expected=$((sum + $(wc -c <"$image")))
stored=$(u 4 "$checksum_field")
[ "$stored" -eq "$expected" ] ||
    fail "PE checksum is $(printf '%08x' "$stored"), not $(printf '%08x' "$expected")"

if [ -n "$relinked" ]; then
    # Allowed differences, as file offsets: ImageBase, CheckSum and every HIGHLOW fixup.
    fixups=$("${prefix}objdump" -p "$image" | sed -n 's/.*\[\([0-9a-f]*\)\] HIGHLOW.*/\1/p' |
        while read -r rva; do echo $((0x$rva)); done | tr '\n' ' ')
    differences=$(cmp -l "$image" "$relinked" 2>&1)
    if printf '%s\n' "$differences" | grep -q 'EOF'; then
        fail "the relinked image $relinked differs in length"
    fi
    # The file offset of each byte that differs where nothing allows it.
    stray=$(printf '%s\n' "$differences" | grep -v EOF | awk \
        -v base=$((optional + 28)) -v sum="$checksum_field" -v sections="$section_table" \
        -v fixups="$fixups" '
        BEGIN {
            ns = split(sections, lines, "\n")
            nf = split(fixups, rvas, " ")
            for (k = 0; k < 4; k++) allowed[base + k] = allowed[sum + k] = 1
            for (f = 1; f <= nf; f++) {
                for (s = 1; s <= ns; s++) {
                    split(lines[s], c, " ")
                    if (rvas[f] + 0 >= c[2] + 0 && rvas[f] + 0 < c[2] + c[3]) {
                        for (k = 0; k < 4; k++) allowed[c[4] + rvas[f] - c[2] + k] = 1
                    }
                }
            }
        }
        NF == 3 && !(($1 - 1) in allowed) { print $1 - 1 }')
    for offset in $stray; do
        fail "byte at file offset $(printf '0x%x' "$offset") differs in the image relinked at another base, where no base relocation says so"
    done
fi

for object in "$@"; do
    sections=$("${prefix}objdump" -h "$object" | awk '$1 ~ /^[0-9]+$/ { print $2 }') || {
        fail "objdump -h failed on $object"
        continue
    }
    for section in $sections; do
        case $section in
        .ctors* | .dtors* | .init_array* | .fini_array*)
            fail "$object has section $section: global constructors or destructors never run in a driver"
            ;;
        .tls*)
            fail "$object has section $section: a driver has no thread-local storage"
            ;;
        esac
    done
done

if [ $failures -ne 0 ]; then
    echo "check-image: $image: $failures problem(s)"
    exit 1
fi
echo "check-image: $image: ok ($(printf '%s\n' "$imports" | wc -l) imports, $# objects)"
