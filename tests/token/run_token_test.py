#!/usr/bin/env python3
"""A release build with every private key in a token (SoftHSM2).

Keys are generated inside the token, sensitive and never extractable (the
token itself is asked; reading a private exponent must fail). kzpack signs
through external signers: OpenSC's pkcs11-tool for the image root and the
bundle signing key, `openssl pkeyutl` with the PKCS#11 engine for the bundle
root. A stub is built whose root public keys are the token's (KZ_RELEASE on),
the installer is built with it, checked with `kzpack verify`, Authenticode-
signed by osslsigncode with a separate token key and its X.509 certificate,
checked again, and run under wine.

The token and the stub's build folder are kept in the work folder: the stub
is built in full once (its root keys are the token's), later runs only bring
it up to date and sign.

Exit status: 0 passed, 1 failed, 77 the tools are missing here.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pkcs11_probe

SKIP = 77
MODULE = '/usr/lib/softhsm/libsofthsm2.so'
ENGINE_DIRS = ('/usr/lib/x86_64-linux-gnu/engines-3', '/usr/lib/x86_64-linux-gnu/engines-1.1')
LABEL = 'kz-release'
# Test fixture only: the token is made here. The signers read it from the
# environment (KZ_TOKEN_PIN); it never reaches kzpack's arguments.
PIN, SO_PIN = '246810', '13579111'
KEYS = {  # role: (id, bits, label)
    'image_root': ('01', 4096, 'image-root'),
    'bundle_root': ('02', 2048, 'bundle-root'),
    'bundle_signing': ('03', 2048, 'bundle-signing'),
    'codesign': ('04', 2048, 'codesign'),
}


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def run(args, env, timeout=600, **kw):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=timeout, **kw)


def timed(label, timings, args, env, **kw):
    start = time.monotonic()
    proc = run(args, env, **kw)
    timings.append((label, time.monotonic() - start))
    check(proc.returncode == 0, '%s failed (%d): %s' % (label, proc.returncode, proc.stderr.decode()[-400:]))
    return proc


def pkcs11_tool(*args):
    return ['pkcs11-tool', '--module', MODULE, '--token-label', LABEL] + list(args)


def login(*args):
    return pkcs11_tool('--login', '--pin', 'env:KZ_TOKEN_PIN', *args)


def make_token(work, env, timings):
    """A fresh token with the four key pairs and the code-signing certificate."""
    tokens = os.path.join(work, 'tokens')
    shutil.rmtree(tokens, ignore_errors=True)
    os.makedirs(tokens)
    run(['softhsm2-util', '--init-token', '--free', '--label', LABEL, '--pin', PIN, '--so-pin', SO_PIN], env,
        check=True)
    for role, (key_id, bits, label) in KEYS.items():
        timed('generate %s (RSA-%d) in the token' % (role, bits), timings,
              login('--keypairgen', '--key-type', 'rsa:%d' % bits, '--id', key_id, '--label', label,
                    '--usage-sign', '--sensitive'), env)
        run(pkcs11_tool('--read-object', '--type', 'pubkey', '--id', key_id, '-o',
                        os.path.join(work, role + '.pub.der')), env, check=True)
    # The code-signing certificate: self-signed by its own token key, stored in the token beside it.
    cert = os.path.join(work, 'codesign.pem')
    timed('certificate for the code-signing key', timings,
          ['openssl', 'req', '-new', '-x509', '-engine', 'pkcs11', '-keyform', 'engine', '-key',
           'pkcs11:token=%s;object=codesign;type=private' % LABEL, '-passin', 'env:KZ_TOKEN_PIN', '-subj',
           '/CN=kz token release test', '-days', '3650', '-addext', 'extendedKeyUsage=codeSigning', '-out', cert],
          env)
    der = os.path.join(work, 'codesign.der')
    run(['openssl', 'x509', '-in', cert, '-outform', 'DER', '-out', der], env, check=True)
    run(login('--write-object', der, '--type', 'cert', '--id', KEYS['codesign'][0], '--label', 'codesign'), env,
        check=True)


def check_keys_stay_inside(env):
    """The token refuses to give out any private key; the same read of a
    public attribute works, so the refusal is the token's."""
    os.environ['SOFTHSM2_CONF'] = env['SOFTHSM2_CONF']  # the module is loaded into this process
    token = pkcs11_probe.Token(MODULE, LABEL, PIN)
    try:
        for role, (key_id, _, _) in KEYS.items():
            handle = token.private_key(bytes.fromhex(key_id))
            check(token.flag(handle, pkcs11_probe.CKA_SENSITIVE), '%s: not sensitive' % role)
            check(not token.flag(handle, pkcs11_probe.CKA_EXTRACTABLE), '%s: extractable' % role)
            check(token.read(handle, pkcs11_probe.CKA_MODULUS), '%s: the modulus cannot be read' % role)
            for secret in (pkcs11_probe.CKA_PRIVATE_EXPONENT, pkcs11_probe.CKA_PRIME_1):
                check(token.read(handle, secret) is None, '%s: the token gave out a private value' % role)
    finally:
        token.close()


def configure_stub(args, work, timings):
    """A build folder of its own for the stub with the token's root public keys."""
    configure = ['cmake', '-S', args.source, '-B', os.path.join(work, 'stub-build'), '-G', 'Unix Makefiles',
                 '-DCMAKE_TOOLCHAIN_FILE=' + args.toolchain, '-DCMAKE_BUILD_TYPE=Release',
                 '-DKZ_CRYPTOPP_ROOT=' + args.cryptopp_root,
                 '-DKZ_LIBDEFLATE_ROOT=' + args.libdeflate_root, '-DKZ_BUILD_TESTS=OFF', '-DKZ_RELEASE=ON',
                 '-DKZ_BUNDLE_ROOT_KEY=' + os.path.join(work, 'bundle_root.pub.der'),
                 '-DKZ_IMAGE_ROOT_KEY=' + os.path.join(work, 'image_root.pub.der')]
    timed('configure the token stub', timings, configure, dict(os.environ))


def build_stub(work, timings):
    """Brought up to date on every run (the sources may have changed)."""
    build = os.path.join(work, 'stub-build')
    timed('build the token stub', timings, ['cmake', '--build', build, '--target', 'Stub', '-j2'], dict(os.environ),
          timeout=3600)
    return os.path.join(build, 'InstallerLogic', 'Stub.exe')


def windows_path(path):
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ('kzpack', 'source', 'setup', 'toolchain', 'cryptopp-root', 'libdeflate-root', 'wine-run', 'work'):
        parser.add_argument('--' + name, required=True)
    args = parser.parse_args()
    engine = next((os.path.join(d, 'pkcs11.so') for d in ENGINE_DIRS if os.path.exists(os.path.join(d, 'pkcs11.so'))),
                  None)
    missing = [t for t in ('softhsm2-util', 'pkcs11-tool', 'openssl', 'osslsigncode') if not shutil.which(t)]
    if missing or not os.path.exists(MODULE) or not engine:
        print('skipped: missing %s (Debian: softhsm2 opensc libengine-pkcs11-openssl osslsigncode)' %
              ', '.join(missing + ([MODULE] if not os.path.exists(MODULE) else []) + ([] if engine else ['pkcs11 engine'])))
        return SKIP
    if not os.access(args.kzpack, os.X_OK):
        print('skipped: native kzpack not built (%s)' % args.kzpack)
        return SKIP
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    env = dict(os.environ, SOFTHSM2_CONF=os.path.join(work, 'softhsm2.conf'), KZ_TOKEN_PIN=PIN)
    with open(env['SOFTHSM2_CONF'], 'w') as f:
        f.write('directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n'
                % os.path.join(work, 'tokens'))
    timings = []
    try:
        ready = os.path.join(work, 'token-ready')
        if not os.path.exists(ready):
            make_token(work, env, timings)
            configure_stub(args, work, timings)
            with open(ready, 'w') as f:
                f.write('token made, stub configured\n')
        stub = build_stub(work, timings)
        check_keys_stay_inside(env)
        print('keys are sensitive and never extractable; the token refuses their private values')

        # One signature of each kind, timed on its own.
        digest32, info35 = os.urandom(32), bytes.fromhex('3021300906052b0e03021a05000414') + os.urandom(20)
        image_signer = login('--sign', '--id', KEYS['image_root'][0], '-m', 'RSA-PKCS')
        signing_signer = login('--sign', '--id', KEYS['bundle_signing'][0], '-m', 'RSA-PKCS-PSS', '--hash-algorithm',
                               'SHA256', '--mgf', 'MGF1-SHA256', '--salt-len', '32')
        root_signer = ['openssl', 'pkeyutl', '-sign', '-engine', 'pkcs11', '-keyform', 'engine', '-inkey',
                       'pkcs11:token=%s;object=bundle-root;type=private' % LABEL, '-passin', 'env:KZ_TOKEN_PIN',
                       '-pkeyopt', 'rsa_padding_mode:pss', '-pkeyopt', 'rsa_pss_saltlen:32', '-pkeyopt',
                       'digest:sha256']
        for label, signer, data in (('image: pkcs11-tool RSA-PKCS, RSA-4096', image_signer, info35),
                                    ('bundle: pkcs11-tool RSA-PKCS-PSS, RSA-2048', signing_signer, digest32),
                                    ('certificate: openssl pkeyutl + pkcs11 engine, RSA-2048', root_signer, digest32)):
            proc = timed('one signature, ' + label, timings, signer, env, input=data)
            check(len(proc.stdout) in (256, 512), '%s: %d bytes' % (label, len(proc.stdout)))

        # The installer: every key in the token, named on the command line.
        folder = tempfile.mkdtemp(prefix='build-', dir=work)
        payload = os.path.join(folder, 'payload.bin')
        with open(payload, 'wb') as f:
            f.write(os.urandom(200000))
        project = os.path.join(folder, 'app.toml')
        with open(project, 'w') as f:
            f.write("stub = '%s'\nsetup = '%s'\ntype = 'silent'\n\n[keys]\ncertificate_expiry = 2035-01-01\n\n"
                    "[[file]]\nsource = '%s'\ntarget = 'data\\\\payload.bin'\n" % (stub, args.setup, payload))
        installer = os.path.join(folder, 'App.exe')
        build = [args.kzpack, 'build', project, '-o', installer,
                 '--signer', 'image_root=' + ' '.join(image_signer),
                 '--signer', 'bundle_signing=' + ' '.join(signing_signer),
                 '--signer', 'bundle_root=' + ' '.join(root_signer)]
        for role in ('image_root', 'bundle_signing', 'bundle_root'):
            build += ['--public-key', '%s=%s' % (role, os.path.join(work, role + '.pub.der'))]
        proc = timed('kzpack build with three token signers (4 signatures)', timings, build, env)
        check(b'DEVELOPMENT' not in proc.stderr, 'development keys reported: %s' % proc.stderr.decode())
        check(PIN.encode() not in proc.stdout + proc.stderr, 'the PIN appeared in kzpack\'s output')
        roots = ['--bundle-root', os.path.join(work, 'bundle_root.pub.der'),
                 '--image-root', os.path.join(work, 'image_root.pub.der')]
        proc = timed('kzpack verify', timings, [args.kzpack, 'verify', installer] + roots, env)
        check(b'DEVELOPMENT' not in proc.stdout, 'verify reports development keys')

        # Authenticode with the separate code-signing key and its certificate, both from the token.
        pin_file = os.path.join(work, 'pin.txt')
        with open(os.open(pin_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), 'w') as f:
            f.write(PIN)
        signed = os.path.join(folder, 'App-signed.exe')
        timed('osslsigncode sign (pkcs11 engine, token key and certificate)', timings,
              ['osslsigncode', 'sign', '-pkcs11engine', engine, '-pkcs11module', MODULE,
               '-pkcs11cert', 'pkcs11:token=%s;object=codesign;type=cert' % LABEL,
               '-key', 'pkcs11:token=%s;object=codesign;type=private' % LABEL, '-readpass', pin_file,
               '-h', 'sha256', '-n', 'kz token test', '-in', installer, '-out', signed], env)
        os.remove(pin_file)
        timed('osslsigncode verify', timings,
              ['osslsigncode', 'verify', '-CAfile', os.path.join(work, 'codesign.pem'), '-in', signed], env)
        timed('kzpack verify (Authenticode-signed)', timings, [args.kzpack, 'verify', signed] + roots, env)

        # And it runs: setup starts and finds its file.
        report = os.path.join(folder, 'report.txt')
        wine_env = dict(os.environ, KZ_SETUP_REPORT=windows_path(report))
        proc = subprocess.Popen([args.wine_run, signed, '/S'], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=wine_env, start_new_session=True)
        try:
            proc.communicate(timeout=300)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.communicate()
            raise Failure('the installer did not end within 300 s')
        if proc.returncode == 126:
            print('skipped the run: this machine cannot run %s' % stub)
        else:
            check(proc.returncode == 0, 'installer exit code %d' % proc.returncode)
            check(os.path.exists(report), 'setup did not run')
            with open(report, encoding='utf-8') as f:
                text = f.read()
            check('data\\payload.bin size=200000' in text, 'setup did not receive its file: %s' % text[-300:])
            print('the token-signed installer ran setup under wine')
        shutil.rmtree(folder, ignore_errors=True)
    except Failure as e:
        print('FAILED: %s' % e)
        return 1
    finally:
        for label, seconds in timings:
            print('  %7.2f s  %s' % (seconds, label))
    print('passed')
    return 0


if __name__ == '__main__':
    sys.exit(main())
