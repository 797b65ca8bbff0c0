#!/bin/sh
# Shows that check-image.sh rejects what it must: an import missing from the allow-list, an
# object with a global constructor, a user-mode image importing from KERNEL32, and with the
# driver's images given, an unfinished image (symbol table, INIT not discardable), a wrong
# checksum, and a byte that differs in the relinked image where no relocation says so.
#
# usage: check-image-selftest.sh CHECK-SCRIPT IMAGE ALLOW-LIST ENTRY-SYMBOL PREFIX SCRATCH-DIR
#                                [SHIPPED SYMBOLS LINKED RELINKED]
set -u
check=$1 image=$2 allow=$3 entry=$4 prefix=$5 scratch=$6
shipped=${7:-} symbols=${8:-} linked=${9:-} relinked=${10:-}
mkdir -p "$scratch"
status=0

# expect_failure WHAT PATTERN ARGS...: the check must fail and say PATTERN.
expect_failure() {
    what=$1 pattern=$2
    shift 2
    if out=$(sh "$check" --prefix "$prefix" "$@" 2>&1); then
        echo "FAIL: $what: check passed"
        status=1
    elif ! printf '%s\n' "$out" | grep -qF -- "$pattern"; then
        echo "FAIL: $what: output does not mention '$pattern':"
        printf '%s\n' "$out"
        status=1
    else
        echo "ok: $what"
    fi
}

# 1. An allow-list without one of the routines the image imports.
victim=$("${prefix}objdump" -p "$image" | awk '/DLL Name:/ { m = $3 } m != "" && /^\t[0-9a-f]+\t/ && NF >= 3 { print m "!" $3; exit }')
grep -vF -- "$victim" "$allow" >"$scratch/trimmed-allow.txt"
expect_failure "allow-list missing $victim" "imports $victim" \
    --entry "$entry" "$image" "$scratch/trimmed-allow.txt"

# 2. An object with a global constructor.
printf 'int Next();\nint counter = Next();\n' >"$scratch/ctor.cpp"
"${prefix}g++" -c -O2 "$scratch/ctor.cpp" -o "$scratch/ctor.obj" || exit 1
expect_failure "object with a global constructor" "has section .ctors" \
    --entry "$entry" "$image" "$allow" "$scratch/ctor.obj"

# 3. A console image importing from KERNEL32.
cat >"$scratch/user.c" <<'SRC'
__declspec(dllimport) void __stdcall Sleep(unsigned long);
long __stdcall DriverEntry(void* a, void* b) { (void)a; (void)b; Sleep(1); return 0; }
SRC
"${prefix}gcc" -nostdlib -nostartfiles -Wl,--entry,_DriverEntry@8 "$scratch/user.c" \
    -o "$scratch/user.exe" -lkernel32 || exit 1
expect_failure "image importing from KERNEL32" "module KERNEL32.dll is not one of" \
    "$scratch/user.exe" "$allow"
expect_failure "console image" "not 1 (native)" "$scratch/user.exe" "$allow"
expect_failure "image without the WDM flag" "WDM_DRIVER flag not set" "$scratch/user.exe" "$allow"

if [ -n "$shipped" ]; then
    # 4. The image as linked, before pe-finish.
    expect_failure "image with its symbol table" "carries a COFF symbol table" \
        --stripped "$symbols" "$linked" "$allow"
    expect_failure "INIT without the discardable flag" "section INIT is not discardable" \
        --stripped "$symbols" "$linked" "$allow"
    # 5. One byte changed in the shipped image's first section, then in the relinked one (the
    #    first byte of section data: the entry of no relocation).
    first=$("${prefix}objdump" -h "$shipped" | awk '$1 == "0" { print $6; exit }')
    cp "$shipped" "$scratch/patched.sys"
    printf '\314' | dd of="$scratch/patched.sys" bs=1 seek=$((0x$first)) conv=notrunc 2>/dev/null
    expect_failure "wrong checksum" "PE checksum is" --stripped "$symbols" "$scratch/patched.sys" "$allow"
    cp "$relinked" "$scratch/relinked.sys"
    printf '\314' | dd of="$scratch/relinked.sys" bs=1 seek=$((0x$first)) conv=notrunc 2>/dev/null
    expect_failure "relinked image differing outside the relocations" "where no base relocation" \
        --stripped "$symbols" --relinked "$scratch/relinked.sys" "$shipped" "$allow"
fi

exit $status
