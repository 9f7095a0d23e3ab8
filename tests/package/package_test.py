#!/usr/bin/env python3
"""kzpack as a vendor gets it: nothing but what the packages hold.

The .deb is unpacked with dpkg-deb into an empty folder and its kzpack runs
with a PATH that does not reach the build tree: fresh keys, an installer
without `stub =` (the packaged stub is found beside kzpack), the installer run
under wine (setup sees its files), verify pinned to the fresh roots (passes)
and to the development roots (fails), then one byte changed in the middle of
the stamped image root: the stub refuses (exit 2) and so does verify.
The win64 zip is unpacked with unzip and its kzpack.exe builds an installer
under wine64 with the Stub.exe beside it.

Exit status: 0 passed, 1 failed.
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

PROJECT = '''setup = "setup.exe"
type = "silent"

[keys]
bundle_signing = "keys/bundle_signing.key.der"
bundle_root = "keys/bundle_root.key.der"
image_root = "keys/image_root.key.der"

[[file]]
source = "readme.txt"
target = "docs\\\\readme.txt"
'''
README = b'read me first\r\n'


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def windows_path(path):
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


def run(argv, env, cwd, timeout=300):
    proc = subprocess.run(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=timeout)
    return proc.returncode, proc.stdout.decode('utf-8', 'replace')


def expect(code_wanted, result, what):
    code, out = result
    check(code == code_wanted, '%s: exit %d, expected %d:\n%s' % (what, code, code_wanted, out))
    return out


def vendor_folder(work, name, setup):
    """A vendor's project folder: setup program, one file, the project."""
    folder = os.path.join(work, name)
    os.makedirs(folder)
    shutil.copy(setup, os.path.join(folder, 'setup.exe'))
    with open(os.path.join(folder, 'readme.txt'), 'wb') as f:
        f.write(README)
    with open(os.path.join(folder, 'project.toml'), 'w') as f:
        f.write(PROJECT)
    return folder


def check_deb(args, work, wine_env, runs_32bit):
    root = os.path.join(work, 'root')
    os.makedirs(root)
    subprocess.run(['dpkg-deb', '-x', args.deb, root], check=True)
    env = {'PATH': os.path.join(root, 'usr', 'bin') + ':/usr/bin:/bin', 'HOME': work, 'LC_ALL': 'C.UTF-8'}
    kzpack = shutil.which('kzpack', path=env['PATH'])
    check(kzpack == os.path.join(root, 'usr', 'bin', 'kzpack'), 'PATH finds %s, not the unpacked kzpack' % kzpack)
    vendor = vendor_folder(work, 'vendor', args.setup)

    start = time.monotonic()
    expect(0, run(['kzpack', 'keygen', '--out-dir', 'keys'], env, vendor), 'kzpack keygen')
    expect(0, run(['kzpack', 'build', 'project.toml', '-o', 'Installer.exe'], env, vendor), 'kzpack build')
    print('keygen + build from the unpacked package: %.1f s' % (time.monotonic() - start))

    pins = ['--image-root', 'keys/image_root.pub.der', '--bundle-root', 'keys/bundle_root.pub.der']
    dev = ['--image-root', os.path.join(args.keys, 'dev_image_root.pub.der'),
           '--bundle-root', os.path.join(args.keys, 'dev_bundle_root.pub.der')]
    expect(0, run(['kzpack', 'verify', 'Installer.exe'] + pins, env, vendor), 'verify pinned to the fresh roots')
    expect(1, run(['kzpack', 'verify', 'Installer.exe'] + dev, env, vendor), 'verify pinned to the development roots')

    if runs_32bit:
        report = os.path.join(vendor, 'report.txt')
        code, out = run([args.wine_run, 'Installer.exe', '/S'],
                        dict(wine_env, KZ_SETUP_REPORT=windows_path(report)), vendor)
        check(code == 0 and os.path.exists(report), 'the installer exited %d without a setup report:\n%s' % (code, out))
        with open(report, encoding='utf-8') as f:
            seen = f.read()
        check('file=docs\\readme.txt size=%d' % len(README) in seen, 'setup did not see its file:\n' + seen)
    else:
        print('note: 32-bit programs cannot run here; the installers are checked, not started')

    # One byte in the middle of the stamped image root: the key the stub
    # checks its own signature with.
    with open(os.path.join(vendor, 'Installer.exe'), 'rb') as f:
        image = bytearray(f.read())
    with open(os.path.join(vendor, 'keys', 'image_root.pub.der'), 'rb') as f:
        key = f.read()
    check(image.count(key) == 1, 'the image root is in the installer %d times, not once' % image.count(key))
    image[image.find(key) + len(key) // 2] ^= 0x01
    with open(os.path.join(vendor, 'Changed.exe'), 'wb') as f:
        f.write(image)
    if runs_32bit:
        expect(2, run([args.wine_run, 'Changed.exe', '/S'], wine_env, vendor), 'the stub with a changed key')
    expect(1, run(['kzpack', 'verify', 'Changed.exe'] + pins, env, vendor), 'verify with a changed key')
    return kzpack, env, vendor


def check_zip(args, work, wine_env, kzpack_env, keys):
    unpacked = os.path.join(work, 'zip')
    subprocess.run(['unzip', '-q', args.zip, '-d', unpacked], check=True)
    exes = [os.path.join(d, 'kzpack.exe') for d, _, files in os.walk(unpacked) if 'kzpack.exe' in files]
    check(len(exes) == 1 and os.path.exists(os.path.join(os.path.dirname(exes[0]), 'Stub.exe')),
          'the zip does not hold kzpack.exe and Stub.exe side by side')
    vendor = vendor_folder(work, 'vendor-windows', args.setup)
    shutil.copytree(keys, os.path.join(vendor, 'keys'))
    expect(0, run([args.wine_run, exes[0], 'build', 'project.toml', '-o', 'Installer.exe'], wine_env, vendor),
           'kzpack.exe build under wine64')
    pins = ['--image-root', 'keys/image_root.pub.der', '--bundle-root', 'keys/bundle_root.pub.der']
    expect(0, run(['kzpack', 'verify', 'Installer.exe'] + pins, kzpack_env, vendor),
           'verify of the installer kzpack.exe built')


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--deb', required=True)
    parser.add_argument('--zip', required=True)
    parser.add_argument('--setup', required=True, help='a 32-bit setup program that writes KZ_SETUP_REPORT')
    parser.add_argument('--keys', required=True, help='the folder of the development keys')
    parser.add_argument('--wine-run', required=True)
    parser.add_argument('--work', required=True)
    args = parser.parse_args()
    for name in ('deb', 'zip', 'setup', 'keys', 'wine_run'):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    wine_env = {k: v for k, v in os.environ.items() if k != 'KZ_STUB'}
    wine_env['WINEDEBUG'] = '-all'
    try:
        how = subprocess.run([args.wine_run, '--how'], stdout=subprocess.PIPE, check=True).stdout.decode().strip()
        _, kzpack_env, vendor = check_deb(args, work, wine_env, how != 'none')
        check_zip(args, work, wine_env, kzpack_env, os.path.join(vendor, 'keys'))
    except (Failure, subprocess.SubprocessError) as e:
        print('FAIL: %s' % e)
        return 1
    print('the packages work from nothing')
    return 0


if __name__ == '__main__':
    sys.exit(main())
