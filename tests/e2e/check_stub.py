#!/usr/bin/env python3
"""Static checks of a built Stub.exe with the mingw objdump (runs natively,
so it also covers the 32-bit stub on machines that cannot execute it):
machine and subsystem, at most 14 sections and nothing left for a debugger,
only DLLs the system always loads from System32 (comctl32 through the
manifest), and for the shipped 32-bit stub at most 1.5 MiB: it is part of every installer's
download, and one use of a C++ stream (or a library object that prints to
one) links the whole iostream and locale library, about 0.9 MB, back in.
And the marker of the root-key block exactly once: kzpack finds the block
(and writes other roots into it) by that marker alone."""
import os
import re
import subprocess
import sys

MAX_SIZE = 1536 * 1024
KEY_BLOCK_MARKER = b'KZ-ROOTS' + bytes([0x9d, 0x3b, 0xe1, 0x47, 0x06, 0xc2, 0x58, 0x01])
ALLOWED = {'kernel32.dll', 'user32.dll', 'gdi32.dll', 'advapi32.dll', 'shell32.dll', 'comctl32.dll',
           'msvcrt.dll', 'ole32.dll'}


def main(stub, objdump):
    table = subprocess.run([objdump, '-h', stub], stdout=subprocess.PIPE, check=True).stdout.decode()
    headers = subprocess.run([objdump, '-p', stub], stdout=subprocess.PIPE, check=True).stdout.decode()
    problems = []
    sections = re.findall(r'^\s*\d+\s+(\S+)\s+[0-9a-f]{8}\s+[0-9a-f]{8,16}\s', table, re.M)
    if not 1 <= len(sections) <= 14:
        problems.append('%d sections (at most 14): %s' % (len(sections), sections))
    leftovers = [s for s in sections if s.startswith('.debug') or s.startswith('/')]
    if leftovers:
        problems.append('not stripped: %s' % leftovers)
    with open(stub, 'rb') as f:
        markers = f.read().count(KEY_BLOCK_MARKER)
    if markers != 1:
        problems.append('the key block marker occurs %d times (exactly once, or kzpack cannot stamp roots)' % markers)
    size = os.path.getsize(stub)
    if 'file format pei-i386' in table and size > MAX_SIZE:
        problems.append('%d bytes (at most %d): look for C++ streams in what the stub links' % (size, MAX_SIZE))
    if not re.search(r'^Subsystem\s+00000002', headers, re.M):
        problems.append('not a GUI program')
    dlls = {name.lower() for name in re.findall(r'DLL Name: (\S+)', headers)}
    if not dlls:
        problems.append('no imports found')
    for dll in sorted(dlls - ALLOWED):
        problems.append('imports %s, which is not a KnownDLL' % dll)
    delay = re.search(r'^Entry d .*\n', headers, re.M)
    if delay and not re.match(r'^Entry d 0+ 0+ ', delay.group(0)):
        problems.append('has delay-loaded imports: %s' % delay.group(0).strip())
    print('%s: %d sections, imports %s' % (stub, len(sections), ', '.join(sorted(dlls))))
    for problem in problems:
        print('FAILED: ' + problem)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1], sys.argv[2]))
