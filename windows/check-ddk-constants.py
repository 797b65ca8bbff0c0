#!/usr/bin/env python3
"""Checks that the host platform's DDK constants have the values of the real DDK headers.

Every `#define NAME value` of host/include/host/ddk*.h is evaluated again under the Windows
build's headers (kt735n/platform/platform_windows.h) with the cross compiler, and the two values
are compared. A mismatch means the host and the Windows image would disagree on a status code, an
OID, a URB function or a flag.

usage: check-ddk-constants.py SOURCE_DIR CROSS_CXX DDK_INCLUDE_DIR
"""
import glob
import os
import re
import subprocess
import sys
import tempfile

# Names whose host value is deliberately the Windows 2000 one while mingw-w64 carries a later
# Windows's value.
WINDOWS_2000_VALUES = {
    # Windows 2000's usbdi.h gives PAGE_SIZE; later DDKs changed it to 0xFFFFFFFF.
    "USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE",
}

DEFINE = re.compile(
    r"^#define\s+(\w+)\s+\(?\(?(?:\(\w+\))?\s*(0x[0-9A-Fa-f]+|\d+)L?\)?\)?\s*$", re.M)


def main():
    source_dir, cxx, ddk = sys.argv[1], sys.argv[2], sys.argv[3]
    host = {}
    for path in glob.glob(os.path.join(source_dir, "host/include/host/ddk*.h")):
        for name, value in DEFINE.findall(open(path).read()):
            host[name] = int(value, 0) & 0xFFFFFFFF
    names = sorted(host)
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "constants.cpp")
        asm = os.path.join(tmp, "constants.s")
        with open(src, "w") as f:
            f.write('#include "platform/platform.h"\n')
            for name in names:
                f.write(f"unsigned long long v_{name} = (unsigned long long)({name});\n")
        result = subprocess.run(
            [cxx, "-std=gnu++20", "-DKT735N_WINDOWS", "-I" + os.path.join(source_dir, "kt735n"),
             "-I" + ddk, "-S", "-o", asm, src], capture_output=True, text=True)
        if result.returncode != 0:
            missing = sorted(set(re.findall(r"'(\w+)' was not declared", result.stderr)))
            print("names the host declares but the DDK headers lack:", ", ".join(missing) or "?")
            print(result.stderr[:2000])
            return 1
        text = open(asm).read()
    windows = {}
    for m in re.finditer(r"_v_(\w+):\n\t(?:\.long\t(-?\d+)|\.space 8)", text):
        windows[m.group(1)] = int(m.group(2) or 0) & 0xFFFFFFFF
    bad = [n for n in names if n not in WINDOWS_2000_VALUES and host[n] != windows.get(n)]
    for n in bad:
        print(f"{n}: host 0x{host[n]:X}, DDK 0x{windows.get(n, 0):X}")
    print(f"{len(names)} constants compared, {len(bad)} differ")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
