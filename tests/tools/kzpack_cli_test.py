#!/usr/bin/env python3
"""Command-line tests of kzpack, checked against outside tools.

Real PE images are compiled with mingw (PE32 and PE32+); signatures are
checked with the openssl command line, attachment digests and scrambling
with Python's hashlib, Authenticode with osslsigncode.

Usage: kzpack_cli_test.py KZPACK SOURCE_DIR   (exit 77 when no mingw compiler exists)
"""
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

KZPACK = None
SOURCE = None
SKIP = 77
HELLO = b'int main(void) { return 0; }\n'


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def run(args, **kw):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300, **kw)


def kz(*args):
    return run([KZPACK] + [str(a) for a in args])


def compiler(prefix):
    for name in (prefix + '-gcc-win32', prefix + '-gcc'):
        if shutil.which(name):
            return name
    return None


# ---- an independent reader of attachment chains ----------------------------------

def trailers(data, end):
    """(type, payload start, size, md5 ok) from the chain's end backwards."""
    out = []
    pos = end - 28
    while pos >= 0 and data[pos + 24:pos + 28] == b'ABD2':
        digest = data[pos:pos + 16]
        size = struct.unpack_from('<I', data, pos + 16)[0]
        kind = data[pos + 20:pos + 24].decode('latin-1')
        start = pos - size
        plain = bytes(b ^ 0xC6 for b in data[start:pos])
        out.append((kind, start, size, hashlib.md5(plain).digest() == digest))
        pos = start - 28
    return out


def payload(data, end, kind):
    for k, start, size, _ in trailers(data, end):
        if k == kind:
            return bytes(b ^ 0xC6 for b in data[start:start + size])
    return None


# The stub's key block: marker, bundle root (294 bytes), image root length, image root in 1062 bytes.
MARKER = b'KZ-ROOTS' + bytes([0x9d, 0x3b, 0xe1, 0x47, 0x06, 0xc2, 0x58, 0x01])
IMAGE_ROOM = 1062


def key_block(bundle_root, image_root):
    return MARKER + bundle_root + struct.pack('<I', len(image_root)) + image_root.ljust(IMAGE_ROOM, b'\0')


def stamped_keys(data):
    at = data.index(MARKER)
    length = struct.unpack_from('<I', data, at + 16 + 294)[0]
    return data[at + 16:at + 16 + 294], data[at + 16 + 294 + 4:at + 16 + 294 + 4 + length]


def last_section_end(data):
    e = struct.unpack_from('<I', data, 0x3c)[0]
    n = struct.unpack_from('<H', data, e + 6)[0]
    opt = struct.unpack_from('<H', data, e + 20)[0]
    entry = e + 24 + opt + 40 * (n - 1)
    size, ptr = struct.unpack_from('<II', data, entry + 16)
    return data[entry:entry + 8].rstrip(b'\0'), ptr + size, n


class KzpackCli(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix='kzpack-cli-')
        cls.images = {}
        for bits, prefix in (('32', 'i686-w64-mingw32'), ('64', 'x86_64-w64-mingw32')):
            cc = compiler(prefix)
            if not cc:
                continue
            src = os.path.join(cls.tmp, 'hello.c')
            with open(src, 'wb') as f:
                f.write(HELLO)
            out = os.path.join(cls.tmp, 'hello%s.exe' % bits)
            subprocess.run([cc, '-O2', '-s', src, '-o', out], check=True)
            cls.images[bits] = out
        cls.keys = os.path.join(cls.tmp, 'keys')
        proc = kz('keygen', '--out-dir', cls.keys, '--quiet')
        assert proc.returncode == 0, proc.stderr

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.tmp, name)

    def key(self, name):
        return os.path.join(self.keys, name)

    def write(self, name, data):
        p = self.path(name)
        with open(p, 'wb' if isinstance(data, bytes) else 'w') as f:
            f.write(data)
        return p

    def project(self, name, stub, setup, extra='', files=None, keys=None):
        files = files if files is not None else {'a.dll': b'A' * 5000, 'b.txt': b'hello\n'}
        lines = ['stub = "%s"' % stub, 'setup = "%s"' % setup, 'type = "silent"', extra, '', '[keys]']
        lines += keys or ['bundle_signing = "%s"' % self.key('bundle_signing.key.der'),
                          'bundle_root = "%s"' % self.key('bundle_root.key.der'),
                          'image_root = "%s"' % self.key('image_root.key.der')]
        for entry, content in files.items():
            src = self.write('src_' + entry, content)
            lines += ['', '[[file]]', 'source = "%s"' % src, 'name = "%s"' % entry]
        return self.write(name, '\n'.join(lines) + '\n')

    def roots(self):
        return ['--bundle-root', self.key('bundle_root.pub.der'), '--image-root', self.key('image_root.pub.der')]

    def build(self, name, bits='32', extra='', files=None, setup_bits=None):
        image = self.images.get(bits)
        if not image:
            self.skipTest('no mingw compiler for %s-bit images' % bits)
        setup = self.images.get(setup_bits or bits)
        project = self.project(name + '.toml', image, setup, extra, files)
        out = self.path(name + '.exe')
        proc = kz('build', project, '-o', out, '--quiet')
        self.assertEqual(proc.returncode, 0, proc.stderr.decode())
        return out

    # ---- keys and certificates ------------------------------------------------------

    def test_keygen_sizes_and_refusal_to_overwrite(self):
        for name, bits in (('bundle_root', 2048), ('image_root', 4096), ('bundle_signing', 2048)):
            text = run(['openssl', 'pkey', '-inform', 'DER', '-in', self.key(name + '.key.der'), '-noout', '-text'])
            self.assertIn(('Private-Key: (%d bit' % bits).encode(), text.stdout)
            pub = run(['openssl', 'pkey', '-pubin', '-inform', 'DER', '-in', self.key(name + '.pub.der'), '-noout',
                       '-text'])
            self.assertIn(('Public-Key: (%d bit' % bits).encode(), pub.stdout)
            self.assertIn(b'Exponent: 65537', pub.stdout)  # the stub's key block form
        before = read(self.key('image_root.key.der'))
        proc = kz('keygen', '--out-dir', self.keys)
        self.assertEqual(proc.returncode, 1)
        self.assertIn(b'already exists', proc.stderr)
        self.assertEqual(read(self.key('image_root.key.der')), before)

    def test_certificate_verifies_with_openssl(self):
        cert = self.path('signing.cert')
        proc = kz('cert', '--key', self.key('bundle_signing.pub.der'), '--root-key', self.key('bundle_root.key.der'),
                  '--expiry', '2030-01-01', '-o', cert, '--quiet')
        self.assertEqual(proc.returncode, 0, proc.stderr)
        data = read(cert)
        goal, expiry, key_length = struct.unpack_from('<4siI', data, 0)
        self.assertEqual(goal, b'IBND')
        self.assertEqual(expiry, 1893456000)
        key_der = data[12:12 + key_length]
        self.assertEqual(key_der, read(self.key('bundle_signing.pub.der')))
        sig_length = struct.unpack_from('<I', data, 12 + key_length)[0]
        self.assertEqual(sig_length, 256)
        message = self.write('cert.msg', data[:8] + key_der)
        signature = self.write('cert.sig', data[16 + key_length:16 + key_length + sig_length])
        verify = run(['openssl', 'dgst', '-sha256', '-keyform', 'DER', '-verify', self.key('bundle_root.pub.der'),
                      '-sigopt', 'rsa_padding_mode:pss', '-sigopt', 'rsa_pss_saltlen:32', '-signature', signature,
                      message])
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)

    # ---- bundles ----------------------------------------------------------------

    def make_bundle(self, name, goal='IBND'):
        cert = self.path(name + '.cert')
        self.assertEqual(kz('cert', '-k', self.key('bundle_signing.key.der'), '-r', self.key('bundle_root.key.der'),
                            '--goal', goal, '-o', cert, '-f', '-q').returncode, 0)
        script = self.write(name + '.script', 'dep-gui,data.bin,data.bin\n')
        data = self.write(name + '.data', os.urandom(300000))
        out = self.path(name + '.ibnd')
        proc = kz('bundle', 'create', '-o', out, '-s', self.key('bundle_signing.key.der'), '-c', cert, '--script',
                  script, '--chunk-size', 65536, '--entry', 'data.bin=' + data, '-q')
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return out, data

    def test_bundle_signature_verifies_with_openssl_and_round_trips(self):
        bundle, data = self.make_bundle('plain')
        raw = read(bundle)
        self.assertEqual(raw[-24:-20], b'KZSG')
        length = struct.unpack_from('<i', raw, len(raw) - 28)[0]
        block = raw[len(raw) - 28 - length:len(raw) - 28]
        fields, pos = [], 0
        for _ in range(4):
            n = struct.unpack_from('<i', block, pos)[0]
            fields.append(block[pos + 4:pos + 4 + n])
            pos += 4 + n
        self.assertEqual(pos, length)
        region = self.write('region.bin', raw[:len(raw) - 28 - length])
        sig = self.write('region.sig', fields[2])
        verify = run(['openssl', 'dgst', '-sha256', '-keyform', 'DER', '-verify', self.key('bundle_signing.pub.der'),
                      '-sigopt', 'rsa_padding_mode:pss', '-sigopt', 'rsa_pss_saltlen:32', '-signature', sig, region])
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)

        listing = kz('bundle', 'list', bundle)
        self.assertEqual(listing.returncode, 0)
        self.assertRegex(listing.stdout.decode(), r'data\.bin\s+300000\s+5\n')
        out = self.path('extracted')
        self.assertEqual(kz('bundle', 'extract', bundle, '-d', out, '-q', *self.roots()[:2]).returncode, 0)
        self.assertEqual(read(os.path.join(out, 'data.bin')), read(data))

        ok = kz('bundle', 'verify', bundle, *self.roots()[:2])
        self.assertEqual(ok.returncode, 0, ok.stderr)
        # Another root, another goal, one flipped byte: each refused for its own reason.
        wrong_root = kz('bundle', 'verify', bundle, '--bundle-root', self.key('bundle_signing.pub.der'))
        self.assertEqual(wrong_root.returncode, 1)
        self.assertIn(b'not signed by the bundle root key', wrong_root.stderr)
        wrong_goal = kz('bundle', 'verify', bundle, '--goal', 'AVSG', *self.roots()[:2])
        self.assertEqual(wrong_goal.returncode, 1)
        self.assertIn(b'goal is "IBND", the installer requires "AVSG"', wrong_goal.stderr)
        broken = bytearray(raw)
        broken[1000] ^= 0x40
        broken_path = self.write('broken.ibnd', bytes(broken))
        bad = kz('bundle', 'verify', broken_path, *self.roots()[:2])
        self.assertEqual(bad.returncode, 1)
        self.assertIn(b'does not match', bad.stderr)

    # ---- the whole pipeline ----------------------------------------------------------

    def check_layout(self, installer, bits):
        data = read(installer)
        name, end, count = last_section_end(data)
        self.assertEqual(name, b'.KZBNDL')
        chain = trailers(data, end)
        self.assertEqual([c[0] for c in chain], ['LOAD', 'TYPE', '_SG2'])
        self.assertTrue(all(c[3] for c in chain), chain)
        self.assertEqual(payload(data, end, 'TYPE'), b'silent')
        setup = payload(data, end, 'LOAD')
        self.assertEqual(setup[:2], b'MZ')
        inner = trailers(setup, len(setup))
        self.assertEqual([c[0] for c in inner], ['IBND', '_SG2'])
        self.assertTrue(all(c[3] for c in inner))
        self.assertEqual(payload(setup, len(setup), 'IBND')[:9], b'KZBUNDLE!')
        # The setup's record signs exactly its original image, with SHA-1 PKCS #1 v1.5.
        sg2 = json.loads(payload(setup, len(setup), '_SG2').decode())['sign']
        self.assertEqual(len(sg2), 1024)
        signed = self.write('setup.signed', setup[:inner[1][1]])
        self.assertEqual(setup[:inner[1][1] - 0], read(self.images[bits]))
        sig = self.write('setup.sig', bytes.fromhex(sg2))
        verify = run(['openssl', 'dgst', '-sha1', '-keyform', 'DER', '-verify', self.key('image_root.pub.der'),
                      '-signature', sig, signed])
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
        return data

    def test_build_pe32_and_pe32plus_verify(self):
        for bits in ('32', '64'):
            with self.subTest(bits=bits):
                installer = self.build('good' + bits, bits)
                self.check_layout(installer, bits)
                proc = kz('verify', installer, *self.roots())
                self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
                # Against kzpack's built-in (development) roots it is refused, with the reason.
                builtin = kz('verify', installer)
                self.assertEqual(builtin.returncode, 1)
                self.assertIn(b'installer signature', builtin.stderr)
                inspect = kz('inspect', '--json', installer, *self.roots())
                self.assertEqual(inspect.returncode, 0)
                self.assertIn(b'"passingAttempt": "header-excluded"', inspect.stdout)

    def test_reproducible_apart_from_pss_salts(self):
        one = read(self.build('repro1'))
        two = read(self.build('repro2'))
        self.assertEqual(len(one), len(two))
        differing = [i for i in range(len(one)) if one[i] != two[i]]
        # The bundle's PSS signature and the issued certificate's differ; so do
        # the digests and records that cover them. The stub's image does not.
        data = one
        name, end, _ = last_section_end(data)
        chain = trailers(data, end)
        sg2_start = [c for c in chain if c[0] == '_SG2'][0][1]
        self.assertTrue(differing)
        self.assertTrue(all(i >= sg2_start for i in differing))

    def test_authenticode_signed_installer_passes_osslsigncode_and_kzpack(self):
        if not shutil.which('osslsigncode'):
            self.skipTest('no osslsigncode')
        crt, key = self.path('codesign.crt'), self.path('codesign.key')
        made = run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out', crt,
                    '-days', '30', '-subj', '/CN=kzpack test', '-addext', 'extendedKeyUsage=codeSigning'])
        self.assertEqual(made.returncode, 0, made.stderr)
        extra = '\n[authenticode]\ncertificate = "%s"\nkey = "%s"\ndescription = "kzpack test"\n' % (crt, key)
        # Tables after [keys]: append to the project rather than the top level.
        image = self.images.get('32') or self.skipTest('no mingw i686')
        project = self.project('signed.toml', image, image)
        with open(project, 'a') as f:
            f.write(extra)
        out = self.path('signed.exe')
        proc = kz('build', project, '-o', out, '-q', '--allow-project-commands')
        self.assertEqual(proc.returncode, 0, proc.stderr)
        check = run(['osslsigncode', 'verify', '-in', out, '-CAfile', crt])
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        data = read(out)
        e = struct.unpack_from('<I', data, 0x3c)[0]
        cert_offset, cert_size = struct.unpack_from('<II', data, e + 0x98)
        self.assertGreater(cert_size, 256)
        _, end, _ = last_section_end(data)
        self.assertLessEqual(end, cert_offset)
        verify = kz('verify', out, *self.roots())
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)

    def test_broken_installers_fail_for_their_reason(self):
        good = bytearray(read(self.build('tobreak')))
        name, end, _ = last_section_end(good)
        chain = {c[0]: c for c in trailers(bytes(good), end)}
        e = struct.unpack_from('<I', good, 0x3c)[0]

        def verify(mutated):
            p = self.write('mutated.exe', bytes(mutated))
            proc = kz('verify', p, *self.roots())
            return proc.returncode, proc.stderr.decode()

        cases = []
        text = bytearray(good)
        text[0x600] ^= 1                      # inside the signed image
        cases.append((text, 'installer signature'))
        load = bytearray(good)
        load[chain['LOAD'][1] + 100] ^= 1     # setup payload: digest mismatch
        cases.append((load, 'setup program'))
        kind = bytearray(good)
        t = chain['TYPE']
        kind[t[1] + t[2] + 20:t[1] + t[2] + 24] = b'TYPX'
        cases.append((kind, 'run type'))
        checksum = bytearray(good)
        checksum[e + 0x58] ^= 0x5A            # CheckSum: excluded from the signature
        for mutated, reason in cases:
            code, err = verify(mutated)
            self.assertEqual(code, 1, reason)
            self.assertIn('would not run setup: ' + reason, err)
        code, err = verify(checksum)
        self.assertEqual(code, 0, err)

    def test_blank_run_type_is_silent_mode_not_a_missing_type(self):
        # The installer tests the payload for emptiness before trimming it.
        data = bytearray(read(self.build('blank_type')))
        _, end, _ = last_section_end(data)
        t = {c[0]: c for c in trailers(bytes(data), end)}['TYPE']
        blank = (b' \t\r\n' * t[2])[:t[2]]
        data[t[1]:t[1] + t[2]] = bytes(b ^ 0xC6 for b in blank)
        data[t[1] + t[2]:t[1] + t[2] + 16] = hashlib.md5(blank).digest()
        proc = kz('verify', self.write('blank_type.exe', bytes(data)), *self.roots())
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)

    def test_sg1_record_goes_in_front_of_the_signature(self):
        extra = 'sg1_payload = "%s"' % self.write('sg1.bin', b'first record')
        installer = self.build('with_sg1', extra=extra)
        data = read(installer)
        _, end, _ = last_section_end(data)
        chain = trailers(data, end)
        self.assertEqual([c[0] for c in chain], ['LOAD', 'TYPE', '_SG2', '_SG1'])
        self.assertEqual(payload(data, end, '_SG1'), b'first record')
        # The image signature covers "_SG1": changing it breaks the installer.
        broken = bytearray(data)
        broken[chain[3][1]] ^= 0xFF
        sg1 = [c for c in chain if c[0] == '_SG1'][0]
        broken[sg1[1] + sg1[2] + 0:sg1[1] + sg1[2] + 16] = hashlib.md5(
            bytes(b ^ 0xC6 for b in broken[sg1[1]:sg1[1] + sg1[2]])).digest()
        path = self.write('sg1_broken.exe', bytes(broken))
        proc = kz('verify', path, *self.roots())
        self.assertEqual(proc.returncode, 1)
        self.assertIn(b'installer signature', proc.stderr)
        self.assertEqual(kz('verify', installer, *self.roots()).returncode, 0)

    def test_sign_image_and_attach_steps(self):
        image = self.images.get('32') or self.skipTest('no mingw i686')
        signed = self.path('signed_plain.exe')
        proc = kz('sign-image', image, '-o', signed, '--key', self.key('image_root.key.der'), '-q')
        self.assertEqual(proc.returncode, 0, proc.stderr)
        data = read(signed)
        self.assertEqual(data[:len(read(image))], read(image))
        record = json.loads(payload(data, len(data), '_SG2'))
        sig = self.write('plain.sig', bytes.fromhex(record['sign']))
        verify = run(['openssl', 'dgst', '-sha1', '-keyform', 'DER', '-verify', self.key('image_root.pub.der'),
                      '-signature', sig, image])
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
        # The header-excluded form, in a section, is what inspect reports as passing on the second attempt.
        excluded = self.path('signed_excluded.exe')
        proc = kz('sign-image', image, '-o', excluded, '--key', self.key('image_root.key.der'), '--section',
                  '--header-excluded', '-q')
        self.assertEqual(proc.returncode, 0, proc.stderr)
        inspect = kz('inspect', '--json', excluded, *self.roots())
        doc = json.loads(inspect.stdout)
        self.assertEqual(doc['embeddedSignature']['passingAttempt'], 'header-excluded')
        self.assertEqual(doc['pe']['sections'][-1]['name'], '.KZBNDL')
        # attach: records in the order given, found last first.
        attached = self.path('attached.exe')
        proc = kz('attach', signed, '-o', attached, '--text', 'TYPE=gui', '--file', 'LOAD=' + image, '-q')
        self.assertEqual(proc.returncode, 0, proc.stderr)
        data = read(attached)
        self.assertEqual([c[0] for c in trailers(data, len(data))], ['LOAD', 'TYPE', '_SG2'])
        self.assertEqual(payload(data, len(data), 'LOAD'), read(image))
        bad = kz('attach', image, '-o', self.path('never.exe'), '--text', 'TOOLONG=x')
        self.assertEqual(bad.returncode, 2)
        self.assertFalse(os.path.exists(self.path('never.exe')))

    # ---- refusals ------------------------------------------------------------------

    def test_bad_projects_give_one_line_and_no_output(self):
        image = self.images.get('32') or self.skipTest('no mingw i686')
        out = self.path('never.exe')
        cases = {
            'typo': ('stubb = "x"\n', 'stubb: unknown table or key'),
            'level': ('compression = 11\n', 'compression: must be between 0 and 9'),
        }
        for name, (extra, message) in cases.items():
            with self.subTest(name=name):
                project = self.project('bad_%s.toml' % name, image, image, extra)
                proc = kz('build', project, '-o', out)
                self.assertEqual(proc.returncode, 1)
                lines = proc.stderr.decode().splitlines()
                self.assertEqual(len(lines), 1, lines)
                self.assertRegex(lines[0], r'^kzpack: error: .*bad_%s\.toml:4: %s$' % (name, message))
                self.assertFalse(os.path.exists(out))
                self.assertEqual([f for f in os.listdir(self.tmp) if 'kzpack-' in f], [])
        # A stub that already has 15 sections cannot take .KZBNDL: refused at build time.
        data = bytearray(read(image))
        e = struct.unpack_from('<I', data, 0x3c)[0]
        struct.pack_into('<H', data, e + 6, 15)
        fat = self.write('fat.exe', bytes(data))
        proc = kz('build', self.project('fat.toml', fat, image), '-o', out)
        self.assertEqual(proc.returncode, 1)
        self.assertIn(b'15 sections', proc.stderr)
        self.assertFalse(os.path.exists(out))
        # A setup program with an Authenticode table is refused unless stripping is asked for.
        if shutil.which('osslsigncode'):
            crt, key = self.path('c2.crt'), self.path('c2.key')
            run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out', crt, '-days',
                 '30', '-subj', '/CN=t'])
            signed_setup = self.path('signed_setup.exe')
            run(['osslsigncode', 'sign', '-certs', crt, '-key', key, '-in', image, '-out', signed_setup])
            proc = kz('build', self.project('ss.toml', image, signed_setup), '-o', out)
            self.assertEqual(proc.returncode, 1)
            self.assertIn(b'already carries an Authenticode signature', proc.stderr)
            strip = kz('build', self.project('ss2.toml', image, signed_setup, 'setup_signature = "strip"'), '-o', out)
            self.assertEqual(strip.returncode, 0, strip.stderr)
            self.assertIn(b'warning', strip.stderr)
            self.assertEqual(kz('verify', out, *self.roots()).returncode, 0)
            os.remove(out)

    def test_outputs_never_replace_what_the_build_reads(self):
        image = self.images.get('32') or self.skipTest('no mingw i686')
        keys = self.path('own-keys')
        shutil.copytree(self.keys, keys)
        k = lambda name: os.path.join(keys, name)
        victims = {name: self.write(name, name.encode()) for name in
                   ('sg1.bin', 'ac.crt', 'ac.key', 'cli.pub.der', 'env.pub.der', 'token.key.der')}
        victims['script.txt'] = self.write('script.txt', 'dep-silent,a.dll,a.dll\n')
        os.link(k('image_root.key.der'), self.path('hard-link.der'))
        project = self.project('inputs.toml', image, image, 'sg1_payload = "%s"\nscript_file = "%s"' % (
            victims['sg1.bin'], victims['script.txt']), files={'a.dll': b'A'}, keys=[
            'bundle_signing = "%s"' % k('bundle_signing.key.der'), 'bundle_root = "%s"' % k('bundle_root.key.der'),
            'image_root = "%s"' % k('image_root.key.der'), 'image_root_public = "%s"' % k('image_root.pub.der')])
        with open(project, 'a') as f:
            f.write('[authenticode]\nenabled = false\ncertificate = "%s"\nkey = "%s"\n' % (victims['ac.crt'],
                                                                                      victims['ac.key']))
        out = self.path('inputs.exe')
        build = ['build', project, '-o', out, '-q']
        cases = [  # (arguments, environment, the file that must stay as it is)
            (build + ['--sbom', k('image_root.key.der')], {}, k('image_root.key.der')),
            (['build', project, '-q', '-o', k('bundle_root.key.der')], {}, k('bundle_root.key.der')),
            (build + ['--sbom', os.path.join(keys, '..', 'own-keys', '.', 'bundle_signing.key.der')], {},
             k('bundle_signing.key.der')),
            (build + ['--sbom', self.path('hard-link.der')], {}, k('image_root.key.der')),
            (build + ['--sbom', k('image_root.pub.der')], {}, k('image_root.pub.der')),
            (build + ['--sbom', victims['sg1.bin']], {}, victims['sg1.bin']),
            (build + ['--sbom', victims['script.txt']], {}, victims['script.txt']),
            (build + ['--sbom', victims['ac.key']], {}, victims['ac.key']),
            (build + ['--public-key', 'bundle_root=' + victims['cli.pub.der'], '--sbom', victims['cli.pub.der']], {},
             victims['cli.pub.der']),
            (build + ['--sbom', victims['env.pub.der']], {'KZ_PUBLIC_KEY_BUNDLE_SIGNING': victims['env.pub.der']},
             victims['env.pub.der']),
            (build + ['--signer', 'image_root=openssl pkeyutl -sign -inkey ' + victims['token.key.der'],
                      '--sbom', victims['token.key.der']], {}, victims['token.key.der']),
            (['inspect', image, '--project', project, '--sbom', k('image_root.key.der')], {}, k('image_root.key.der')),
            (['stub', '--from', self.dev_stub(), '--image-root', k('image_root.pub.der'), '--bundle-root',
              k('bundle_root.pub.der'), '-o', k('bundle_root.pub.der')], {}, k('bundle_root.pub.der')),
        ]
        for args, env, victim in cases:
            with self.subTest(args=args[3:], env=env):
                before = read(victim)
                proc = run([KZPACK] + args, env=dict(os.environ, **env))
                after, built = read(victim), os.path.exists(out)
                self.write(victim, before)  # the next case starts from the same files
                if built:
                    os.remove(out)
                self.assertEqual(proc.returncode, 2, proc.stderr)
                self.assertIn(b'is the same file as', proc.stderr)
                self.assertEqual(after, before)
                self.assertFalse(built)

    def test_interrupted_build_leaves_no_temporary_files(self):
        image = self.images.get('32')
        if not image:
            self.skipTest('no mingw compiler for 32-bit images')
        files = {'r%d.bin' % i: os.urandom(24 << 20) for i in range(4)}
        project = self.project('interrupted.toml', image, image, files=files)
        out = self.path('interrupted.exe')
        scratch = self.path('interrupted-tmp')
        os.mkdir(scratch)
        places = [scratch, os.path.dirname(out), '/dev/shm']
        before = {p: set(os.listdir(p)) for p in places if os.path.isdir(p)}
        leftovers = lambda: [os.path.join(p, n) for p in before for n in set(os.listdir(p)) - before[p]
                             if n.startswith('kzpack-') or '.kzpack-' in n]
        proc = subprocess.Popen([KZPACK, 'build', project, '-o', out, '--quiet'], stderr=subprocess.PIPE,
                                env=dict(os.environ, TMPDIR=scratch))
        deadline = time.time() + 60
        while not leftovers() and proc.poll() is None and time.time() < deadline:
            time.sleep(0.01)
        self.assertTrue(leftovers(), 'kzpack made no temporary file to interrupt')
        proc.send_signal(2)  # SIGINT, as Ctrl-C sends it
        err = proc.communicate(timeout=60)[1].decode()
        self.assertEqual(proc.returncode, -2, err)
        self.assertIn('interrupted', err)
        self.assertEqual(leftovers(), [])
        self.assertFalse(os.path.exists(out))

    def test_build_refuses_targets_the_stub_cannot_write(self):
        image = self.images.get('32') or self.skipTest('no mingw i686')
        out = self.path('never.exe')
        cases = {
            'zero_cut': (b'dep-silent,a.dll,NUL\x00.txt\n', 'names a Windows device'),
            'setup_upper': (b'dep-silent,a.dll,SETUP.EXE\n', "names the installer's own setup.exe or ibnd"),
            'ibnd_dot': (b'dep-silent,a.dll,ibnd.\n', "names the installer's own setup.exe or ibnd"),
            'dot_setup': (b'dep-silent,a.dll,.\\setup.exe\n', "names the installer's own setup.exe or ibnd"),
            'file_folder': (b'dep-silent,a.dll,lib\ndep-silent,b.txt,lib\\b.txt\n', 'as a folder where another'),
            'not_utf8': (b'dep-silent,a.dll,.\xc3.\\x.dll\n', 'is not valid UTF-8'),
        }
        for name, (script, message) in cases.items():
            with self.subTest(name=name):
                script_file = self.write('unwritable_%s.script' % name, script)
                project = self.project('unwritable_%s.toml' % name, image, image, 'script_file = "%s"' % script_file)
                proc = kz('build', project, '-o', out)
                self.assertEqual(proc.returncode, 1, proc.stderr)
                self.assertIn(message, proc.stderr.decode('utf-8', 'replace'))
                self.assertFalse(os.path.exists(out))
        # Without a verbatim script the written one is judged the same way.
        proc = kz('build', self.project('unwritable_files.toml', image, image, files={'setup.exe': b'x'}), '-o', out)
        self.assertEqual(proc.returncode, 1, proc.stderr)
        self.assertIn(b"names the installer's own setup.exe or ibnd", proc.stderr)

    # ---- development keys -------------------------------------------------------------

    def dev(self, name):
        return os.path.join(os.path.abspath(SOURCE), 'keys', name)

    def test_development_keys_are_refused_without_the_flag_and_marked(self):
        image = self.images.get('32') or self.skipTest('no mingw i686')
        refused = [('sign-image', image, '-o', self.path('dk.exe'), '--key', self.dev('dev_image_root.key.der')),
                   ('cert', '-k', self.key('bundle_signing.pub.der'), '-r', self.dev('dev_bundle_root.key.der'),
                    '-o', self.path('dk.cert')),
                   ('bundle', 'create', '-o', self.path('dk.ibnd'), '-s', self.dev('dev_bundle_signing.key.der'),
                    '-r', self.key('bundle_root.key.der'))]
        dev_keys = ['bundle_signing = "%s"' % self.dev('dev_bundle_signing.key.der'),
                    'bundle_root = "%s"' % self.dev('dev_bundle_root.key.der'),
                    'image_root = "%s"' % self.dev('dev_image_root.key.der')]
        project = self.project('dk.toml', image, image, keys=dev_keys)
        refused.append(('build', project, '-o', self.path('dk.exe')))
        for args in refused:
            with self.subTest(command=args[0]):
                proc = kz(*args)
                self.assertEqual(proc.returncode, 1, proc.stderr)
                self.assertIn(b'from keys/', proc.stderr)
                self.assertIn(b'--development-keys', proc.stderr)
                self.assertEqual(len(proc.stderr.decode().strip().splitlines()), 1, proc.stderr)
                self.assertFalse(any(os.path.exists(self.path('dk' + ext)) for ext in ('.exe', '.cert', '.ibnd')))
        # Allowed for tests and demos, and then said on a line of its own everywhere.
        out = self.path('dk.exe')
        proc = kz('build', project, '-o', out, '--development-keys', '-q')
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn(b'\nkzpack: DEVELOPMENT KEYS', b'\n' + proc.stderr)
        inspect = kz('inspect', '--json', out)
        found = json.loads(inspect.stdout)['developmentKeys']
        for expected in ('the file\'s "_SG2" verifies under the development image root key',
                         'the setup program\'s "_SG2" verifies under the development image root key',
                         'the bundle\'s certificate verifies under the development bundle root key',
                         'the bundle is signed with the development bundle signing key'):
            self.assertIn(expected, found)
        self.assertIn(b'\nDEVELOPMENT KEYS', kz('inspect', out).stdout)
        self.assertIn(b'\nDEVELOPMENT KEYS', b'\n' + kz('verify', out).stdout)
        # Own keys: nothing to say.
        own = self.build('own')
        self.assertEqual(json.loads(kz('inspect', '--json', own).stdout)['developmentKeys'], [])
        self.assertNotIn(b'DEVELOPMENT', kz('verify', own, *self.roots()).stdout)

    def test_release_configure_refuses_the_development_root_keys(self):
        script = os.path.join(SOURCE, 'cmake', 'CheckReleaseKeys.cmake')
        def check(bundle_root, image_root):
            return run(['cmake', '-DKZ_BUNDLE_ROOT_KEY=' + bundle_root, '-DKZ_IMAGE_ROOT_KEY=' + image_root,
                        '-DKZ_KEYS_DIR=' + os.path.join(SOURCE, 'keys'), '-P', script])
        self.assertEqual(check(self.key('bundle_root.pub.der'), self.key('image_root.pub.der')).returncode, 0)
        for pair in ((self.dev('dev_bundle_root.pub.der'), self.key('image_root.pub.der')),
                     (self.key('bundle_root.pub.der'), self.dev('dev_image_root.pub.der')),
                     (self.key('bundle_root.pub.der'), self.reencoded_dev_key('dev_image_root'))):
            proc = check(*pair)
            self.assertNotEqual(proc.returncode, 0)
            self.assertIn(b'KZ_RELEASE is on', proc.stderr)

    # ---- external signers ----------------------------------------------------------------

    def openssl_signer(self, role, key_name):
        """An `openssl pkeyutl` signer holding a key file, as --signer ROLE=COMMAND."""
        command = 'openssl pkeyutl -sign -keyform DER -inkey ' + self.key(key_name)
        if role != 'image_root':  # RSA-PSS over the SHA-256 digest; image: DigestInfo as given
            command += ' -pkeyopt rsa_padding_mode:pss -pkeyopt rsa_pss_saltlen:32 -pkeyopt digest:sha256'
        return ['--signer', role + '=' + command, '--public-key', role + '=' + self.key(key_name[:-8] + '.pub.der')]

    def test_openssl_signers_make_an_installer_kzpack_verifies(self):
        image = self.images.get('32') or self.skipTest('no mingw i686')
        project = self.project('ext.toml', image, image, keys=['certificate_expiry = 2035-01-01'])
        out = self.path('ext.exe')
        args = ['build', project, '-o', out, '-q']
        for role, key in (('bundle_signing', 'bundle_signing.key.der'), ('bundle_root', 'bundle_root.key.der')):
            args += self.openssl_signer(role, key)
        # The image root's signer from the environment instead.
        env = dict(os.environ, KZ_SIGNER_IMAGE_ROOT='openssl pkeyutl -sign -keyform DER -inkey ' +
                   self.key('image_root.key.der'), KZ_PUBLIC_KEY_IMAGE_ROOT=self.key('image_root.pub.der'))
        proc = run([KZPACK] + args, env=env)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(kz('verify', out, *self.roots()).returncode, 0)
        # The same inputs through the key files sign the same "_SG2" bytes (PKCS #1 v1.5 is deterministic).
        files = self.path('files.exe')
        proc = kz('build', self.project('files.toml', image, image), '-o', files, '-q')
        self.assertEqual(proc.returncode, 0, proc.stderr)
        data, other = read(out), read(files)
        self.assertEqual(payload(data, last_section_end(data)[1], '_SG2'), payload(other, last_section_end(other)[1], '_SG2'))

    def test_broken_signers_give_one_error_line_and_no_output(self):
        image = self.images.get('32') or self.skipTest('no mingw i686')
        marker = self.path('signer-ran')
        project = self.project('bad.toml', image, image)
        text = read(project).decode().replace('image_root = "%s"' % self.key('image_root.key.der'),
                                              'image_root_signer = ["touch", "%s"]\nimage_root_public = "%s"' %
                                              (marker, self.key('image_root.pub.der')))
        untrusted = self.write('untrusted.toml', text)
        out = self.path('bad.exe')
        # A signer holding another RSA-4096 key than the configured one.
        wrong_key = ['--signer', 'image_root=openssl pkeyutl -sign -keyform DER -inkey ' +
                     self.dev('dev_image_root.key.der'), '--public-key', 'image_root=' + self.key('image_root.pub.der')]
        cases = [
            ('wrong key', [project] + wrong_key, b'does not verify under the configured public key'),
            ('failing', [project, '--signer', 'image_root=false', '--public-key',
                         'image_root=' + self.key('image_root.pub.der')], b'failed with exit status 1'),
            ('slow', [project, '--signer', 'image_root=sleep 30', '--signer-timeout', '1', '--public-key',
                      'image_root=' + self.key('image_root.pub.der')], b'no answer within 1 s'),
            ('missing', [project, '--signer', 'image_root=/nonexistent/signer', '--public-key',
                         'image_root=' + self.key('image_root.pub.der')], b'cannot run it'),
            ('no public key', [project, '--signer', 'image_root=true'], b'needs the public key'),
            ('pin in argument', [project, '--signer', 'image_root=pkcs11-tool --pin 1234', '--public-key',
                                 'image_root=' + self.key('image_root.pub.der')], b'carry a PIN'),
            ('password in argument', [project, '--signer', 'image_root=openssl pkeyutl -passin pass:1234',
                                      '--public-key', 'image_root=' + self.key('image_root.pub.der')], b'carry a PIN'),
            ('project signer', [untrusted], b'keys.image_root_signer: the project file names a program to run'),
        ]
        for name, args, message in cases:
            with self.subTest(case=name):
                start = time.monotonic()
                proc = kz('build', *args, '-o', out)
                self.assertIn(proc.returncode, (1, 2), proc.stderr)
                self.assertIn(message, proc.stderr)
                lines = proc.stderr.decode().strip().splitlines()
                self.assertEqual(len(lines), 1, lines)
                self.assertFalse(os.path.exists(out))
                self.assertFalse([n for n in os.listdir(self.tmp) if n.startswith('bad.exe')])
                self.assertLess(time.monotonic() - start, 20)
        self.assertFalse(os.path.exists(marker), 'the project file\'s command ran')
        # Allowed (by the flag's old name too): it runs (and `touch` is no signer).
        proc = kz('build', untrusted, '-o', out, '--allow-project-signers')
        self.assertIn(b'returned 0 bytes', proc.stderr)
        self.assertTrue(os.path.exists(marker))

    def test_project_file_runs_nothing_without_the_flag(self):
        image = self.images.get('32') or self.skipTest('no mingw i686')
        marker = self.path('sign-ran')
        fake = self.write('fake-sign.sh', '#!/bin/sh\ntouch "%s"\nexit 3\n' % marker)
        os.chmod(fake, 0o755)
        self.write('c.crt', 'x')
        self.write('c.key', 'x')
        table = '\n[authenticode]\ncertificate = "c.crt"\nkey = "c.key"\ntimestamp_url = "http://ts.invalid"\n'
        out = self.path('auth.exe')
        # A program path in the project file is taken from the file's folder, not the current one.
        named = self.project('named.toml', image, image)
        with open(named, 'a') as f:
            f.write(table + 'program = "./fake-sign.sh"\n')
        default = self.project('default.toml', image, image)
        with open(default, 'a') as f:
            f.write(table)
        for project, key in ((named, b'authenticode.program:'), (default, b'authenticode:')):
            with self.subTest(key=key):
                proc = kz('build', project, '-o', out)
                self.assertEqual(proc.returncode, 1, proc.stderr)
                lines = proc.stderr.decode().strip().splitlines()
                self.assertEqual(len(lines), 1, lines)
                self.assertIn(key, proc.stderr)
                self.assertIn(b'--allow-project-commands', proc.stderr)
                self.assertFalse(os.path.exists(out))
        self.assertFalse(os.path.exists(marker), 'the project file\'s program ran')
        proc = kz('build', named, '-o', out, '--allow-project-signers')
        self.assertIn(b'exit status 3', proc.stderr)
        self.assertTrue(os.path.exists(marker))

    def test_literal_pins_in_any_form_are_refused(self):
        image = self.images.get('32') or self.skipTest('no mingw i686')
        project = self.project('pin.toml', image, image)
        refused = ['pkcs11-tool -p1234', 'pkcs11-tool -lp1234 --sign', 'pkcs11-tool -l -p 1234',
                   '/usr/bin/pkcs11-tool --pin=1234', 'pkcs11-tool --pi 1234', 'pkcs11-tool --so-pin=1234',
                   'openssl pkeyutl -sign -passin=pass:1234', 'openssl pkeyutl -sign --passin 1234',
                   'token-sign -p1234', 'env -- pkcs11-tool -p1234',
                   'openssl pkeyutl -engine pkcs11 -inkey pkcs11:object=k;pin-value=1234',
                   # Behind wrappers, with their own options (some taking a value), nested.
                   'timeout 60 pkcs11-tool -lp1234', 'nice pkcs11-tool -lp 1234', 'sudo pkcs11-tool --login -p1234x',
                   'timeout -s KILL -k5 --foreground 60 nice -n 10 ionice -c 3 -n7 pkcs11-tool -p 1234',
                   '/usr/bin/sudo -u signer -p prompt -hhost stdbuf -o 0 -eL setsid -w doas -u x pkcs11-tool --pin=1234',
                   'env -S pkcs11-tool -p1234', 'timeout --signal KILL --kill-after=5 60 env -- openssl -passin pass:1234']
        through_env = ['env KZ_TOKEN_PIN=1234 pkcs11-tool --pin env:KZ_TOKEN_PIN', 'env -i -u X PIN=1234 token-sign',
                       'sudo -u signer PIN=1234 token-sign', 'timeout 9 env PIN=1234 token-sign']
        accepted = ['pkcs11-tool --login --pin env:KZ_TOKEN_PIN -m RSA-PKCS', 'pkcs11-tool -m RSA-PKCS -p env:PIN',
                    'pkcs11-tool -lm RSA-PKCS-PSS --mgf MGF1-SHA256 --id 01 --slot 0',
                    'openssl pkeyutl -sign -passin env:KZ_TOKEN_PIN -pkeyopt rsa_padding_mode:pss',
                    'openssl pkeyutl -sign -passin file:/run/pin', 'env pkcs11-tool -p env:PIN',
                    'sudo -p PIN: pkcs11-tool --login -p env:PIN', 'timeout -k 1234 1234 nice -n 1234 token-sign',
                    'doas -u 1234 ionice -p 1234 stdbuf -i 1234 token-sign']
        cases = [(c, b'carry a PIN') for c in refused] + [(c, b'needs the public key') for c in accepted]
        cases += [(c, b"in kzpack's environment instead") for c in through_env]
        cases.append(('openssl pkeyutl -sign -passin stdin', b'carries the digest'))
        for command, message in cases:
            with self.subTest(command=command):
                proc = kz('build', project, '-o', self.path('pin.exe'), '--signer', 'image_root=' + command)
                self.assertEqual(proc.returncode, 2, proc.stderr)
                self.assertEqual(len(proc.stderr.decode().strip().splitlines()), 1, proc.stderr)
                self.assertIn(message, proc.stderr)
                self.assertNotIn(b'1234', proc.stderr)

    def test_project_public_key_serves_a_command_line_signer(self):
        image = self.images.get('32') or self.skipTest('no mingw i686')
        project = self.project('pub.toml', image, image, keys=[
            'bundle_signing = "%s"' % self.key('bundle_signing.key.der'),
            'bundle_root = "%s"' % self.key('bundle_root.key.der'),
            'image_root_public = "%s"' % self.key('image_root.pub.der')])
        signer = ['--signer', 'image_root=openssl pkeyutl -sign -keyform DER -inkey ' + self.key('image_root.key.der')]
        out = self.path('pub.exe')
        proc = kz('build', project, '-o', out, '-q', *signer)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(kz('verify', out, *self.roots()).returncode, 0)
        # The command line wins: the signature is checked against the (RSA-2048) key named there.
        os.remove(out)
        proc = kz('build', project, '-o', out, *signer, '--public-key', 'image_root=' + self.key('bundle_root.pub.der'))
        self.assertIn(b'a signature by the RSA-2048 key is 256 bytes', proc.stderr)
        self.assertFalse(os.path.exists(out))

    def reencoded_dev_key(self, name):
        """The development public key `name` as openssl writes it from its modulus and exponent: a
        SubjectPublicKeyInfo without the algorithm's NULL parameters, other bytes for the same key."""
        text = run(['openssl', 'rsa', '-pubin', '-inform', 'DER', '-in', self.dev(name + '.pub.der'),
                    '-noout', '-text']).stdout.decode()
        modulus = ''.join(text.split('Modulus:')[1].split('Exponent:')[0].split()).replace(':', '')
        exponent = int(text.split('Exponent:')[1].split()[0])
        conf = self.write('reencode.cnf', 'asn1=SEQUENCE:spki\n[spki]\nalg=SEQUENCE:alg\nkey=BITWRAP,SEQUENCE:rsa\n'
                          '[alg]\noid=OID:rsaEncryption\n[rsa]\nn=INTEGER:0x%s\ne=INTEGER:%d\n' % (modulus, exponent))
        reencoded = self.path(name + '.reencoded.der')
        made = run(['openssl', 'asn1parse', '-genconf', conf, '-out', reencoded, '-noout'])
        self.assertEqual(made.returncode, 0, made.stderr)
        self.assertNotEqual(read(reencoded), read(self.dev(name + '.pub.der')))
        same = run(['openssl', 'rsa', '-pubin', '-inform', 'DER', '-in', reencoded, '-noout', '-modulus'])
        self.assertIn(modulus.lstrip('0').upper().encode(), same.stdout)
        return reencoded

    def test_reencoded_development_key_is_still_refused_and_marked(self):
        image = self.images.get('32') or self.skipTest('no mingw i686')
        reencoded = self.reencoded_dev_key('dev_image_root')
        # Refused as a signer's public key ...
        project = self.project('reenc.toml', image, image)
        out = self.path('reenc.exe')
        proc = kz('build', project, '-o', out, '--public-key', 'image_root=' + reencoded, '--signer',
                  'image_root=openssl pkeyutl -sign -keyform DER -inkey ' + self.dev('dev_image_root.key.der'))
        self.assertEqual(proc.returncode, 1, proc.stderr)
        self.assertIn(b'is the development image root key from keys/', proc.stderr)
        self.assertFalse(os.path.exists(out))
        # ... and marked where an image embeds it.
        stub = self.write('reenc-stub.exe', read(image) + read(reencoded))
        found = json.loads(kz('inspect', '--json', stub).stdout)['developmentKeys']
        self.assertIn('the file embeds the development image root key', found)

    # ---- the stub's key block ---------------------------------------------------------

    def block_stub(self, name, block):
        """A mingw-built PE32 image holding `block` in its read-only data, as the stub holds its keys."""
        cc = compiler('i686-w64-mingw32') or self.skipTest('no mingw i686')
        source = self.write(name + '.c', 'static const unsigned char block[] = {%s};\n'
                            'int main(int argc, char **argv) { return block[argc]; }\n' % ','.join(map(str, block)))
        out = self.path(name + '.exe')
        subprocess.run([cc, '-O2', '-s', source, '-o', out], check=True)
        self.assertEqual(read(out).count(MARKER), 1)
        return out

    def dev_stub(self):
        return self.block_stub('devstub', key_block(read(self.dev('dev_bundle_root.pub.der')),
                                                    read(self.dev('dev_image_root.pub.der'))))

    def test_stub_refuses_bad_input_with_one_line_and_writes_nothing(self):
        stub = self.dev_stub()
        data = read(stub)
        at = data.index(MARKER)
        doubled = self.write('doubled.exe', data + MARKER)
        long_length = bytearray(data)
        struct.pack_into('<I', long_length, at + 16 + 294, IMAGE_ROOM + 1)
        long_length = self.write('longlength.exe', bytes(long_length))
        attached = self.path('stub-attached.exe')
        proc = kz('attach', stub, '-o', attached, '--text', 'TYPE=gui', '-q')
        self.assertEqual(proc.returncode, 0, proc.stderr)
        installer = self.path('fromstub.exe')
        project = self.project('fromstub.toml', stub, self.images['32'])
        self.assertEqual(kz('build', project, '-o', installer, '-q').returncode, 0)
        e3 = self.path('e3')
        made = run(['openssl', 'genpkey', '-algorithm', 'RSA', '-pkeyopt', 'rsa_keygen_bits:2048', '-pkeyopt',
                    'rsa_keygen_pubexp:3', '-out', e3 + '.pem'])
        self.assertEqual(made.returncode, 0, made.stderr)
        run(['openssl', 'pkey', '-in', e3 + '.pem', '-pubout', '-outform', 'DER', '-out', e3 + '.pub.der'])
        crt = self.path('x509.crt')
        run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', self.path('x509.key'), '-out', crt,
             '-days', '1', '-subj', '/CN=not a key'])
        garbage = self.write('garbage.der', os.urandom(300))
        image, bundle = self.key('image_root.pub.der'), self.key('bundle_root.pub.der')
        out = self.path('refused.exe')
        cases = [  # (--from, --image-root, --bundle-root, exit code, what the line says)
            (self.images['32'], image, bundle, 1, 'has no key block'),
            (doubled, image, bundle, 1, 'occurs 2 times'),
            (long_length, image, bundle, 1, 'image root in its key block is not'),
            (attached, image, bundle, 1, 'already carries attachments'),
            (installer, image, bundle, 1, 'already has a .KZBNDL section'),
            (stub, bundle, bundle, 1, 'an RSA-2048 key; the stub\'s key block takes RSA-4096'),
            (stub, image, image, 1, 'an RSA-4096 key; the stub\'s key block takes RSA-2048 with exponent 65537'),
            (stub, image, e3 + '.pub.der', 1, 'with exponent 3;'),
            (stub, self.dev('dev_image_root.pub.der'), bundle, 1, '--development-keys'),
            (stub, self.key('image_root.key.der'), bundle, 1, 'is a private key'),
            (stub, image, crt, 1, 'is a certificate'),
            (stub, image, garbage, 1, 'not an RSA public key'),
            (out, image, bundle, 2, 'is the same file as'),
        ]
        for source, image_root, bundle_root, code, says in cases:
            with self.subTest(says=says):
                if source == out:
                    shutil.copy(stub, out)
                before = read(source)
                proc = kz('stub', '--from', source, '--image-root', image_root, '--bundle-root', bundle_root, '-o', out)
                self.assertEqual(proc.returncode, code, proc.stderr)
                self.assertIn(says, proc.stderr.decode())
                self.assertEqual(len(proc.stderr.decode().strip().splitlines()), 1, proc.stderr)
                self.assertEqual(read(source), before)
                if source == out:
                    os.remove(out)
                self.assertFalse(os.path.exists(out))

    def test_stamped_roots_build_pin_and_fingerprints_agree_with_openssl(self):
        stub = self.dev_stub()
        # A PEM public key is stamped in the DER form openssl (and keygen) write.
        pem = self.path('image_root.pub.pem')
        run(['openssl', 'pkey', '-pubin', '-inform', 'DER', '-in', self.key('image_root.pub.der'), '-out', pem])
        stamped = self.path('stamped.exe')
        proc = kz('stub', '--from', stub, '--image-root', pem, '--bundle-root', self.key('bundle_root.pub.der'), '-o',
                  stamped, '-q')
        self.assertEqual(proc.returncode, 0, proc.stderr)
        openssl_der = {}
        for role in ('bundle_root', 'image_root'):
            openssl_der[role] = run(['openssl', 'pkey', '-pubin', '-inform', 'PEM' if role == 'image_root' else 'DER',
                                     '-in', pem if role == 'image_root' else self.key(role + '.pub.der'),
                                     '-outform', 'DER']).stdout
            self.assertEqual(openssl_der[role], read(self.key(role + '.pub.der')))
        before, after = read(stub), read(stamped)
        self.assertEqual(stamped_keys(after), (openssl_der['bundle_root'], openssl_der['image_root']))
        at = before.index(MARKER)
        block_end = at + len(key_block(b'\0' * 294, b''))
        self.assertEqual((before[:at], before[block_end:]), (after[:at], after[block_end:]))
        keys = json.loads(kz('inspect', '--json', stamped).stdout)['rootKeys']
        fingerprint = {role: hashlib.sha256(der).hexdigest() for role, der in openssl_der.items()}
        self.assertEqual((keys['imageRoot']['sha256'], keys['bundleRoot']['sha256']),
                         (fingerprint['image_root'], fingerprint['bundle_root']))

        # No stub = : the installed one (KZ_STUB here), stamped with the project's roots while building.
        project = self.project('nostub.toml', stub, self.images['32'])
        with open(project) as f:
            text = f.read().replace('stub = "%s"\n' % stub, '')
        with open(project, 'w') as f:
            f.write(text)
        installer, sbom = self.path('nostub.exe'), self.path('nostub.cdx.json')
        missing = kz('build', project, '-o', installer)
        self.assertEqual(missing.returncode, 1)
        self.assertIn(b'no stub installed with kzpack', missing.stderr)
        env = dict(os.environ, KZ_STUB=stub)
        built = run([KZPACK, 'build', project, '-o', installer, '--sbom', sbom, '-q'], env=env)
        self.assertEqual(built.returncode, 0, built.stderr)
        self.assertEqual(stamped_keys(read(installer)), (openssl_der['bundle_root'], openssl_der['image_root']))
        properties = {p['name']: p['value'] for p in json.load(open(sbom))['metadata']['properties']}
        self.assertEqual(properties['kzpack:key:imageRoot:sha256'], fingerprint['image_root'])
        self.assertEqual(properties['kzpack:key:bundleRoot:sha256'], fingerprint['bundle_root'])

        # Pinned: the own roots pass (given, or from the project); kzpack's built-in ones do not.
        for pins in (self.roots(), ['--project', project]):
            proc = kz('verify', installer, *pins)
            self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
            self.assertIn(fingerprint['image_root'].encode(), proc.stdout)
        builtin = kz('verify', installer)
        self.assertEqual(builtin.returncode, 1)
        dev_image = hashlib.sha256(read(self.dev('dev_image_root.pub.der'))).hexdigest()
        self.assertIn(('image root %s, pinned %s' % (fingerprint['image_root'], dev_image)).encode(), builtin.stderr)
        self.assertEqual(len(builtin.stderr.decode().strip().splitlines()), 1)
        unpinned = kz('verify', installer, '--unpinned')
        self.assertEqual(unpinned.returncode, 0, unpinned.stderr)
        self.assertIn(b'nothing about who made it', unpinned.stdout)
        # One byte in the middle of the stamped image root: refused, pinned or not.
        broken = bytearray(read(installer))
        broken[broken.index(MARKER) + 16 + 294 + 4 + 275] ^= 0x01
        broken = self.write('broken-key.exe', bytes(broken))
        for pins in (self.roots(), ['--unpinned']):
            proc = kz('verify', broken, *pins)
            self.assertEqual(proc.returncode, 1, proc.stdout)
        # A project with its own certificate must name the root's public half to stamp it.
        cert = self.path('own.cert')
        self.assertEqual(kz('cert', '-k', self.key('bundle_signing.pub.der'), '-r', self.key('bundle_root.key.der'),
                            '-o', cert, '-q').returncode, 0)
        keys = ['bundle_signing = "%s"' % self.key('bundle_signing.key.der'), 'bundle_certificate = "%s"' % cert,
                'image_root = "%s"' % self.key('image_root.key.der')]
        nameless = self.project('certonly.toml', stub, self.images['32'], keys=keys)
        proc = kz('build', nameless, '-o', self.path('certonly.exe'))
        self.assertEqual(proc.returncode, 1)
        self.assertIn(b'keys.bundle_root_public', proc.stderr)
        named = self.project('certnamed.toml', stub, self.images['32'],
                             keys=keys + ['bundle_root_public = "%s"' % self.key('bundle_root.pub.der')])
        proc = kz('build', named, '-o', self.path('certnamed.exe'), '-q')
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(kz('verify', self.path('certnamed.exe'), *self.roots()).returncode, 0)

    def test_usage_errors_exit_2_and_help_has_examples(self):
        self.assertEqual(kz('build').returncode, 2)
        self.assertEqual(kz('frobnicate').returncode, 2)
        for command in (['keygen'], ['cert'], ['bundle', 'create'], ['bundle', 'list'], ['bundle', 'extract'],
                        ['bundle', 'verify'], ['attach'], ['sign-image'], ['stub'], ['build'], ['inspect'], ['verify']):
            with self.subTest(command=command):
                proc = kz(*command, '--help')
                self.assertEqual(proc.returncode, 0)
                self.assertIn(b'Example', proc.stdout)


if __name__ == '__main__':
    if len(sys.argv) < 3:
        print(__doc__)
        sys.exit(2)
    KZPACK, SOURCE = sys.argv[1], sys.argv[2]
    if not compiler('i686-w64-mingw32') and not compiler('x86_64-w64-mingw32'):
        print('no mingw compiler: skipped')
        sys.exit(SKIP)
    result = unittest.main(argv=[sys.argv[0], '-v'], exit=False).result
    sys.exit(0 if result.wasSuccessful() else 1)
