#!/bin/sh
# Shows that check-image.sh rejects what it must: an import missing from the allow-list, an
# object with a global constructor, and a user-mode image importing from KERNEL32.
#
# usage: check-image-selftest.sh CHECK-SCRIPT IMAGE ALLOW-LIST ENTRY-SYMBOL PREFIX SCRATCH-DIR
set -u
check=$1 image=$2 allow=$3 entry=$4 prefix=$5 scratch=$6
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

exit $status
