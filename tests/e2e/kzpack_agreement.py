#!/usr/bin/env python3
"""`kzpack verify` against the real Stub.exe under wine, on good and broken installers.

Every installer is built with `kzpack build` (development keys, which both the
stub and kzpack are built with) and then broken in one place by this script,
which rewrites attachment records on its own (XOR scrambling, MD5 digests):
verify must say exit 0 exactly when the stub starts setup, and each broken
installer must fail verification for the reason it reports.

Exit status: 0 all passed, 1 a case failed, 77 nothing could run here.
"""
import argparse
import hashlib
import os
import shutil
import signal
import struct
import subprocess
import tempfile
import sys

SKIP = 77
TIMEOUT = 180


def windows_path(path):
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def chain(data, end):
    """{type: (payload start, size, trailer position)} from the chain's end backwards."""
    out = {}
    pos = end - 28
    while pos >= 0 and data[pos + 24:pos + 28] == b'ABD2':
        size = struct.unpack_from('<I', data, pos + 16)[0]
        kind = data[pos + 20:pos + 24].decode('latin-1')
        out.setdefault(kind, (pos - size, size, pos))
        pos = pos - size - 28
    return out


def section_end(data):
    e = struct.unpack_from('<I', data, 0x3c)[0]
    n = struct.unpack_from('<H', data, e + 6)[0]
    opt = struct.unpack_from('<H', data, e + 20)[0]
    entry = e + 24 + opt + 40 * (n - 1)
    size, ptr = struct.unpack_from('<II', data, entry + 16)
    return ptr + size


def plain(data, record):
    start, size, _ = record
    return bytearray(b ^ 0xC6 for b in data[start:start + size])


def replace_payload(data, record, new_plain):
    """Same size, new content, digest recomputed: the record stays valid."""
    start, size, trailer = record
    assert len(new_plain) == size
    out = bytearray(data)
    out[start:start + size] = bytes(b ^ 0xC6 for b in new_plain)
    out[trailer:trailer + 16] = hashlib.md5(bytes(new_plain)).digest()
    return out


def mutations(good):
    end = section_end(good)
    outer = chain(good, end)
    setup = plain(good, outer['LOAD'])
    inner = chain(setup, len(setup))
    cases = [('good', bytes(good), None, 0)]

    image = bytearray(good)
    image[0x400] ^= 0x01  # inside the signed image
    cases.append(('image byte', bytes(image), 'installer signature', 2))

    load = bytearray(good)
    load[outer['LOAD'][0] + 64] ^= 0x01  # digest no longer matches
    cases.append(('setup payload byte', bytes(load), 'setup program', 1603))

    kind = bytearray(good)
    kind[outer['TYPE'][2] + 20:outer['TYPE'][2] + 24] = b'TYPX'
    cases.append(('no TYPE', bytes(kind), 'run type', 1))

    ibnd = bytearray(setup)
    ibnd[inner['IBND'][0] + 40] ^= 0x04  # the bundle attachment's digest fails
    cases.append(('bundle payload byte', bytes(replace_payload(good, outer['LOAD'], ibnd)), 'bundle attachment', 1603))

    signed = plain(setup, inner['IBND'])
    signed[30] ^= 0x04  # a valid attachment holding a bundle whose signature fails
    resealed = replace_payload(bytes(setup), inner['IBND'], signed)
    cases.append(('bundle byte', bytes(replace_payload(good, outer['LOAD'], resealed)), 'bundle', 1603))

    code = bytearray(setup)
    code[0x400] ^= 0x01  # the setup program's own signature fails
    cases.append(('setup image byte', bytes(replace_payload(good, outer['LOAD'], code)), 'setup signature', 1603))
    return cases


def run_stub(args, installer, report):
    if os.path.exists(report):
        os.remove(report)
    env = dict(os.environ, KZ_SETUP_REPORT=windows_path(report))
    proc = subprocess.Popen([args.wine_run, installer, '/S'], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, env=env, start_new_session=True)
    try:
        code = proc.wait(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)  # only the group this run started
        proc.wait()
        return None, False
    return code, os.path.exists(report)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--stub', required=True)
    parser.add_argument('--setup', required=True)
    parser.add_argument('--kzpack', required=True)
    parser.add_argument('--keys', required=True)
    parser.add_argument('--wine-run', required=True)
    parser.add_argument('--work', required=True)
    parser.add_argument('--machine', type=lambda text: int(text, 0),
                        help='the PE machine the stub must have (0x14c: the shipped 32-bit build)')
    args = parser.parse_args()
    for name in ('stub', 'setup', 'kzpack', 'keys', 'wine_run', 'work'):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    if not (os.path.isfile(args.kzpack) and os.access(args.kzpack, os.X_OK)):
        print('skipped: native kzpack not built (%s)' % args.kzpack)
        return SKIP
    if args.machine is not None:
        with open(args.stub, 'rb') as f:
            head = f.read(4096)
        machine = struct.unpack_from('<H', head, struct.unpack_from('<I', head, 0x3c)[0] + 4)[0]
        if machine != args.machine:
            print('FAIL: %s has PE machine 0x%x, expected 0x%x' % (args.stub, machine, args.machine))
            return 1
    # Started in an empty folder: setup lists the files around it.
    with tempfile.TemporaryDirectory() as empty:
        probe = subprocess.run([args.wine_run, args.setup, '/S'], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=TIMEOUT, cwd=empty)
    if probe.returncode == 126:
        print('skipped: this machine cannot run %s' % args.setup)
        return SKIP

    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    data = os.path.join(args.work, 'data.bin')
    with open(data, 'wb') as f:
        f.write(os.urandom(100000))
    project = os.path.join(args.work, 'project.toml')
    with open(project, 'w') as f:
        f.write('stub = "%s"\nsetup = "%s"\ntype = "silent"\n\n[keys]\n' % (args.stub, args.setup))
        for key, name in (('bundle_signing', 'dev_bundle_signing'), ('bundle_root', 'dev_bundle_root'),
                          ('image_root', 'dev_image_root')):
            f.write('%s = "%s"\n' % (key, os.path.join(args.keys, name + '.key.der')))
        f.write('\n[[file]]\nsource = "%s"\ntarget = "sub\\\\data.bin"\n' % data)
    good_path = os.path.join(args.work, 'good.exe')
    build = subprocess.run([args.kzpack, 'build', project, '-o', good_path, '-q', '--development-keys'], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT)
    if build.returncode != 0:
        print('FAIL: kzpack build: %s' % build.stdout.decode())
        return 1

    failures = 0
    report = os.path.join(args.work, 'report.txt')
    for name, content, reason, stub_code in mutations(read(good_path)):
        installer = os.path.join(args.work, name.replace(' ', '_') + '.exe')
        with open(installer, 'wb') as f:
            f.write(content)
        verify = subprocess.run([args.kzpack, 'verify', installer], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        code, ran_setup = run_stub(args, installer, report)
        problems = []
        if (verify.returncode == 0) != ran_setup:
            problems.append('kzpack verify exit %d but setup %s' % (verify.returncode, 'ran' if ran_setup else 'did not run'))
        # wine hands a Unix parent only the low 8 bits (1603 arrives as 67);
        # run_e2e reads whole codes through the launcher.
        if code is None or code != stub_code & 0xFF:
            problems.append('Stub.exe exit %s, expected %d' % (code, stub_code))
        if reason is None:
            if verify.returncode != 0:
                problems.append('verify refused a good installer: %s' % verify.stderr.decode().strip())
        elif ('would not run setup: ' + reason + ':') not in verify.stderr.decode():
            problems.append('expected reason "%s", got: %s' % (reason, verify.stderr.decode().strip()))
        print('%-22s verify %d, stub exit %s, setup %s  %s' % (name, verify.returncode, code,
                                                               'ran' if ran_setup else 'not run',
                                                               'FAIL: ' + '; '.join(problems) if problems else 'ok'))
        failures += bool(problems)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
