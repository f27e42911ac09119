#!/usr/bin/env python3
"""Fails unless every DLL that a Windows executable imports is one that Windows itself provides, so
that the .exe runs alone, with no DLL of the compiler's runtime (libstdc++, libgcc, winpthread)
beside it.

    check_imports.py --objdump OBJDUMP PROGRAM.exe
"""
import argparse
import re
import subprocess
import sys

# The system DLLs that the program may use.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ws2_32.dll", "user32.dll", "advapi32.dll"}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", required=True)
    parser.add_argument("program")
    options = parser.parse_args()
    headers = subprocess.run([options.objdump, "-p", options.program], stdout=subprocess.PIPE,
                             check=True, text=True).stdout
    imports = [name.lower() for name in re.findall(r"DLL Name: (\S+)", headers)]
    print("imports: " + ", ".join(imports))
    foreign = sorted(set(imports) - SYSTEM_DLLS)
    if not imports or foreign:
        print("not a system DLL: " + ", ".join(foreign) if foreign else "no import table found")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
