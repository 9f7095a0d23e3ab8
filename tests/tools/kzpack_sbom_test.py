#!/usr/bin/env python3
"""kzpack's bill of materials (build --sbom, inspect --sbom), checked with tools
nobody here wrote: the CycloneDX library's strict schema validator (npm, which
scripts/bootstrap.sh installs under $KZ_CACHE/node-cyclonedx), `sha256sum` of
the files `kzpack bundle extract` writes, and the independent chain reader of
kzpack_cli_test.

Usage: kzpack_sbom_test.py --kzpack K --stub Stub.exe --setup setup.exe --source DIR --work DIR
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kzpack_cli_test import last_section_end, payload  # noqa: E402

ARGS = None
EPOCH = '1700000000'  # 2023-11-14T22:13:20Z
IDENTITY_FIELDS = ('version', 'purl', 'licenses', 'supplier')


def node_modules():
    cache = os.environ.get('KZ_CACHE') or os.path.join(
        os.environ.get('XDG_CACHE_HOME') or os.path.expanduser('~/.cache'), 'kzinstaller')
    return os.path.join(cache, 'node-cyclonedx', 'node_modules')


def run(args, env=None):
    full = dict(os.environ, SOURCE_DATE_EPOCH=EPOCH)
    full.update(env or {})
    return subprocess.run([str(a) for a in args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=full,
                          timeout=600)


def kz(*args, env=None):
    return run([ARGS.kzpack] + list(args), env=env)


def sha256sum(*paths):
    out = subprocess.run(['sha256sum', '--'] + list(paths), stdout=subprocess.PIPE, check=True).stdout.decode()
    return [line.split()[0] for line in out.splitlines()]


def props(component, name):
    return [p['value'] for p in component.get('properties', []) if p['name'] == 'kzpack:' + name]


def prop(component, name):
    values = props(component, name)
    assert len(values) == 1, (name, values)
    return values[0]


def entries(doc):
    return {prop(c, 'entry'): c for c in doc['components'][0]['components']}


def without_identities(doc):
    """The document as it is without a project file: entries by name and hashes only."""
    doc = json.loads(json.dumps(doc))
    for c in doc['components'][0]['components']:
        c['name'] = prop(c, 'entry')
        for field in IDENTITY_FIELDS:
            c.pop(field, None)
    return doc


def differences(a, b, path=''):
    """Paths where two JSON values differ."""
    if isinstance(a, dict) and isinstance(b, dict) and a.keys() == b.keys():
        return [d for k in a for d in differences(a[k], b[k], path + '/' + k)]
    if isinstance(a, list) and isinstance(b, list) and len(a) == len(b):
        return [d for i, (x, y) in enumerate(zip(a, b)) for d in differences(x, y, '%s/%d' % (path, i))]
    return [] if a == b else [path]


class Sbom(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = ARGS.work
        shutil.rmtree(cls.work, ignore_errors=True)
        os.makedirs(cls.work)
        cls.keys = os.path.join(ARGS.source, 'keys')

    def path(self, *names):
        return os.path.join(self.work, *names)

    def ok(self, proc):
        self.assertEqual(proc.returncode, 0, proc.stderr.decode(errors='replace'))
        return proc

    def validate(self, *files):
        modules = node_modules()
        self.assertTrue(os.path.isdir(modules), modules + ' is missing: run scripts/bootstrap.sh')
        proc = run(['node', os.path.join(ARGS.source, 'tests', 'tools', 'validate_cyclonedx.js')] + list(files),
                   env={'NODE_PATH': modules})
        self.assertEqual(proc.returncode, 0, (proc.stdout + proc.stderr).decode(errors='replace'))
        self.assertEqual(proc.stdout.decode().count('valid CycloneDX 1.5'), len(files))

    def load(self, path):
        with open(path, encoding='utf-8') as f:
            return json.load(f)

    def unpack(self, installer, name):
        """setup.exe and the bundle's files as the installer carries them, without kzpack's chain reader."""
        with open(installer, 'rb') as f:
            data = f.read()
        setup = payload(data, last_section_end(data)[1], 'LOAD')
        bundle = payload(setup, len(setup), 'IBND')
        folder = self.path(name)
        os.makedirs(folder)
        with open(os.path.join(folder, 'setup.exe'), 'wb') as f:
            f.write(setup)
        with open(os.path.join(folder, 'bundle.ibnd'), 'wb') as f:
            f.write(bundle)
        self.ok(kz('bundle', 'extract', os.path.join(folder, 'bundle.ibnd'), '-d', os.path.join(folder, 'files')))
        return folder

    def check_hashes(self, doc, installer, folder):
        self.assertEqual(doc['metadata']['component']['hashes'], [{'alg': 'SHA-256', 'content': sha256sum(installer)[0]}])
        self.assertEqual(prop(doc['metadata']['component'], 'size'), str(os.path.getsize(installer)))
        setup = doc['components'][0]
        self.assertEqual(setup['hashes'][0]['content'], sha256sum(os.path.join(folder, 'setup.exe'))[0])
        self.assertEqual(prop(setup, 'size'), str(os.path.getsize(os.path.join(folder, 'setup.exe'))))
        files = sorted(os.listdir(os.path.join(folder, 'files')))
        self.assertEqual(sorted(entries(doc)), files)
        sums = sha256sum(*[os.path.join(folder, 'files', n) for n in files])
        for name, digest in zip(files, sums):
            component = entries(doc)[name]
            self.assertEqual(component['hashes'], [{'alg': 'SHA-256', 'content': digest}], name)
            self.assertEqual(prop(component, 'size'), str(os.path.getsize(os.path.join(folder, 'files', name))))

    def test_demo_installer_build_and_inspect_agree(self):
        project = os.path.join(ARGS.source, 'demo', 'project.toml')
        installer, built = self.path('Demo.exe'), self.path('Demo.cdx.json')
        self.ok(kz('build', project, '-o', installer, '--stub', ARGS.stub, '--setup', ARGS.setup, '--development-keys',
                   '--quiet', '--sbom', built))
        self.ok(kz('inspect', installer, '--sbom', self.path('inspected.cdx.json')))
        self.ok(kz('inspect', installer, '--sbom', self.path('inspected-project.cdx.json'), '--project', project))
        self.validate(built, self.path('inspected.cdx.json'), self.path('inspected-project.cdx.json'))
        doc = self.load(built)

        # Identities come from the project file only; otherwise the two agree in everything but the serial.
        inspected = self.load(self.path('inspected-project.cdx.json'))
        self.assertEqual(differences(doc, inspected), ['/serialNumber'])
        plain = self.load(self.path('inspected.cdx.json'))
        self.assertEqual(differences(without_identities(doc), plain), ['/serialNumber'])
        self.assertTrue(doc != without_identities(doc), 'the demo project names no identity')

        self.check_hashes(doc, installer, self.unpack(installer, 'demo-unpacked'))
        self.assertEqual(doc['metadata']['timestamp'], '2023-11-14T22:13:20Z')
        installer_component = doc['metadata']['component']
        self.assertEqual(installer_component['name'], 'Demo.exe')
        self.assertEqual(prop(installer_component, 'runType'), 'silent')
        self.assertEqual(prop(installer_component, 'signature'), 'valid (header-excluded)')
        self.assertEqual(prop(doc['components'][0], 'bundle:signature'), 'valid')
        # The keys' fingerprints against sha256sum of the public halves; all are development keys.
        meta = {'imageRoot': 'dev_image_root', 'bundleRoot': 'dev_bundle_root', 'bundleSigning': 'dev_bundle_signing'}
        for role, stem in meta.items():
            self.assertEqual(prop(doc['metadata'], 'key:%s:sha256' % role),
                             sha256sum(os.path.join(self.keys, stem + '.pub.der'))[0], role)
            self.assertEqual(prop(doc['metadata'], 'key:%s:verifies' % role), 'true')
            self.assertEqual(prop(doc['metadata'], 'key:%s:development' % role), 'true')
        # Targets and conditions as the project states them.
        by_name = entries(doc)
        self.assertEqual(props(by_name['engine-x64.txt'], 'target'), ['engine.txt'])
        self.assertRegex(prop(by_name['engine-x64.txt'], 'condition'),
                         r'^architecture x64, Windows any, run type silent \(script line \d+\)$')
        self.assertRegex(prop(by_name['engine-x86.txt'], 'condition'), r'^architecture x86, ')
        self.assertEqual(props(by_name['readme.txt'], 'target'), ['docs\\readme.txt'])
        self.assertRegex(prop(by_name['readme.txt'], 'condition'), r'^architecture any, Windows any, run type silent')
        self.assertEqual(prop(by_name['install_script'], 'role'), 'install script')

        # Signed afterwards with Authenticode (osslsigncode): described alike, the installer's hash is the new file's.
        key, cert, signed = self.path('ac.key'), self.path('ac.crt'), self.path('Demo-signed.exe')
        quiet = {'stdout': subprocess.DEVNULL, 'stderr': subprocess.DEVNULL, 'check': True}
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out', cert,
                        '-days', '2', '-subj', '/CN=kzpack sbom test'], **quiet)
        subprocess.run(['osslsigncode', 'sign', '-certs', cert, '-key', key, '-h', 'sha256', '-in', installer,
                        '-out', signed], **quiet)
        self.ok(kz('inspect', signed, '--sbom', self.path('signed.cdx.json')))
        self.validate(self.path('signed.cdx.json'))
        after = self.load(self.path('signed.cdx.json'))
        self.assertEqual(after['components'], plain['components'])
        self.assertEqual(after['metadata']['component']['hashes'][0]['content'], sha256sum(signed)[0])
        self.assertEqual(prop(after['metadata']['component'], 'signature'), 'valid (header-excluded)')
        self.assertRegex(prop(after['metadata']['component'], 'authenticode'), r'^present \(\d+-byte')

    def write_project(self, folder, files, extra=''):
        os.makedirs(folder, exist_ok=True)
        lines = ['stub = "%s"' % ARGS.stub, 'setup = "%s"' % ARGS.setup, 'type = "gui"', extra, '', '[keys]',
                 'bundle_signing = "%s/dev_bundle_signing.key.der"' % self.keys,
                 'bundle_root = "%s/dev_bundle_root.key.der"' % self.keys,
                 'image_root = "%s/dev_image_root.key.der"' % self.keys]
        for name, (content, identity) in files.items():
            with open(os.path.join(folder, name), 'wb') as f:
                f.write(content)
            lines += ['', '[[file]]', 'source = "%s"' % name]
            if identity:
                lines += ['[file.identity]'] + ['%s = "%s"' % kv for kv in identity.items()]
        project = os.path.join(folder, 'app.toml')
        with open(project, 'w') as f:
            f.write('\n'.join(lines) + '\n')
        return project

    def test_identities_from_the_project_file_and_refusals(self):
        folder = self.path('app')
        full = {'name': 'zlib', 'version': '1.3.1', 'purl': 'pkg:generic/zlib@1.3.1', 'license': 'Zlib',
                'supplier': 'The zlib authors'}
        project = self.write_project(folder, {'zlib1.dll': (b'Z' * 70000, full),
                                              'notes.txt': (b'notes\n', {'version': '2'}),
                                              'plain.txt': (b'plain\n', None)},
                                     extra='sbom = "out/App.cdx.json"')
        installer = os.path.join(folder, 'out', 'App.exe')
        self.ok(kz('build', project, '-o', installer, '--development-keys', '--quiet'))
        built = os.path.join(folder, 'out', 'App.cdx.json')  # the project key, relative to the project file
        self.ok(kz('inspect', installer, '--sbom', self.path('app-inspected.cdx.json'), '--project', project))
        self.validate(built, self.path('app-inspected.cdx.json'))
        doc = self.load(built)
        self.assertEqual(differences(doc, self.load(self.path('app-inspected.cdx.json'))), ['/serialNumber'])
        self.check_hashes(doc, installer, self.unpack(installer, 'app-unpacked'))

        by_name = entries(doc)
        zlib = by_name['zlib1.dll']
        self.assertEqual((zlib['name'], zlib['version'], zlib['purl'], zlib['licenses'], zlib['supplier']),
                         ('zlib', '1.3.1', 'pkg:generic/zlib@1.3.1', [{'expression': 'Zlib'}],
                          {'name': 'The zlib authors'}))
        self.assertEqual((by_name['notes.txt']['name'], by_name['notes.txt']['version']), ('notes.txt', '2'))
        self.assertFalse(set(IDENTITY_FIELDS) & set(by_name['notes.txt']) - {'version'})
        # Without an identity: the entry's name and hashes, never a guess.
        self.assertFalse(set(IDENTITY_FIELDS) & set(by_name['plain.txt']))
        self.assertEqual(by_name['plain.txt']['name'], 'plain.txt')

        # A source that no longer matches the installer's entry gives no identity.
        with open(os.path.join(folder, 'zlib1.dll'), 'ab') as f:
            f.write(b'changed')
        proc = self.ok(kz('inspect', installer, '--sbom', self.path('changed.cdx.json'), '--project', project))
        self.assertIn(b'its identity is left out', proc.stderr)
        changed = entries(self.load(self.path('changed.cdx.json')))['zlib1.dll']
        self.assertEqual(changed['name'], 'zlib1.dll')
        self.assertFalse(set(IDENTITY_FIELDS) & set(changed))
        with open(os.path.join(folder, 'zlib1.dll'), 'wb') as f:
            f.write(b'Z' * 70000)

        # Two builds of the same inputs differ where the installer does (the bundle signature's salt
        # changes the setup program and the installer) and in the serial number.
        again = os.path.join(folder, 'out', 'Again.exe')
        self.ok(kz('build', project, '-o', again, '--development-keys', '--quiet', '--sbom', self.path('again.cdx.json')))
        second = self.load(self.path('again.cdx.json'))
        second['metadata']['component']['name'] = 'App.exe'
        self.assertEqual(sorted(differences(doc, second)), ['/components/0/hashes/0/content',
                                                            '/metadata/component/hashes/0/content', '/serialNumber'])
        self.ok(kz('build', project, '-o', again, '--development-keys', '--quiet', '--sbom', self.path('now.cdx.json'),
                   env={'SOURCE_DATE_EPOCH': ''}))
        self.assertNotEqual(self.load(self.path('now.cdx.json'))['metadata']['timestamp'], doc['metadata']['timestamp'])

        # Refusals: exit 2 before any work, nothing written.
        os.makedirs(self.path('a-folder'), exist_ok=True)
        fresh = self.path('never.exe')
        for args, env in ((['--sbom', self.path('a-folder')], None),
                          (['--sbom', self.path('no-such-folder') + '/'], None),
                          (['--sbom', fresh], None),
                          (['--sbom', project], None),
                          (['--sbom', self.path('x.cdx.json')], {'SOURCE_DATE_EPOCH': 'yesterday'})):
            with self.subTest(args=args, env=env):
                proc = kz('build', project, '-o', fresh, '--development-keys', '--quiet', *args, env=env)
                self.assertEqual(proc.returncode, 2, proc.stderr)
                self.assertFalse(os.path.exists(fresh))
        self.assertEqual(kz('inspect', installer, '--sbom', installer).returncode, 2)
        self.assertEqual(kz('inspect', installer, '--project', project).returncode, 2)
        # A failed build leaves neither installer nor document nor temporary files.
        before = sorted(os.listdir(self.work))
        proc = kz('build', project, '-o', fresh, '--development-keys', '--quiet', '--stub', installer,
                  '--sbom', self.path('late.cdx.json'))
        self.assertEqual(proc.returncode, 1, proc.stderr)
        self.assertEqual(sorted(os.listdir(self.work)), before)

    def test_conditions_follow_the_run_type_and_stop_at_the_first_failing_line(self):
        folder = self.path('stops')
        os.makedirs(folder)
        f = lambda name: os.path.join(folder, name)
        key = lambda name: os.path.join(self.keys, name)
        for name in ('a.txt', 'c.txt'):
            with open(f(name), 'w') as out:
                out.write(name)
        # Line 2 names an entry the bundle lacks: 32-bit Windows stops there, 64-bit Windows never selects it.
        with open(f('script'), 'w') as out:
            out.write('dep-x64-gui,a.txt,a.txt\ndep-x86-gui,missing.txt,m.txt\ndep-gui,c.txt,c.txt\n')
        self.ok(kz('cert', '-k', key('dev_bundle_signing.key.der'), '-r', key('dev_bundle_root.key.der'), '-o',
                   f('cert'), '--development-keys', '-q'))
        self.ok(kz('bundle', 'create', '-o', f('ibnd'), '-s', key('dev_bundle_signing.key.der'), '-c', f('cert'),
                   '--script', f('script'), '--entry', 'a.txt=' + f('a.txt'), '--entry', 'c.txt=' + f('c.txt'),
                   '--development-keys', '-q'))
        self.ok(kz('attach', ARGS.setup, '-o', f('setup.exe'), '--file', 'IBND=' + f('ibnd'), '-q'))
        docs = {}
        for name, run_type in (('gui', ['--text', 'TYPE=gui']), ('blank', ['--text', 'TYPE= \t']), ('none', [])):
            self.ok(kz('attach', ARGS.stub, '-o', f(name + '.exe'), '--section', *run_type, '--file',
                       'LOAD=' + f('setup.exe'), '-q'))
            self.ok(kz('inspect', f(name + '.exe'), '--sbom', f(name + '.cdx.json')))
            docs[name] = self.load(f(name + '.cdx.json'))
        self.validate(*[f(name + '.cdx.json') for name in docs])

        def conditions(doc):
            return {name: props(c, 'condition') for name, c in entries(doc).items() if name != 'install_script'}
        written = lambda run_type: {'a.txt': ['architecture x64, Windows any, run type %s (script line 1)' % run_type],
                                    'c.txt': ['architecture x64, Windows any, run type %s (script line 3)' % run_type]}
        self.assertEqual(conditions(docs['gui']), written('gui'))
        self.assertEqual(conditions(docs['blank']), written('"" (blank: silent mode)'))
        self.assertEqual(prop(docs['blank']['metadata']['component'], 'runType'), '')
        stops = 'script line 2: the bundle has no entry "missing.txt"'
        self.assertEqual(props(docs['gui']['components'][0], 'script:stops'),
                         ['32-bit Windows 6+: ' + stops, '32-bit Windows <6: ' + stops])
        none = 'none: the installer has no run type (no "TYPE" attachment) and exits with code 1'
        self.assertEqual(conditions(docs['none']), {'a.txt': [none], 'c.txt': [none]})
        self.assertRegex(prop(docs['none']['metadata']['component'], 'runType'), '^none: ')
        self.assertFalse(props(entries(docs['none'])['c.txt'], 'target'))

    def test_version_is_the_projects_one_version_string_with_the_stubs_digest(self):
        with open(os.path.join(ARGS.source, 'CMakeLists.txt')) as f:
            version = re.search(r'project\(kzinstaller VERSION (\S+)', f.read()).group(1)
        # The second and third lines name the installed stub and its SHA-256 as sha256sum gives it.
        lines = self.ok(kz('--version', env=dict(os.environ, KZ_STUB=ARGS.stub))).stdout.decode().splitlines()
        self.assertEqual(lines, ['kzpack ' + version, 'stub: ' + ARGS.stub, 'stub SHA-256: ' + sha256sum(ARGS.stub)[0]])
        with open(os.path.join(ARGS.source, 'README.md')) as f:
            notes = f.read().split('## Release notes', 1)[1]
        self.assertEqual(re.search(r'^### (\S+)', notes, re.M).group(1), version)
        self.assertIn(b'--sbom', kz('build', '--help').stdout)


if __name__ == '__main__':
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for option in ('--kzpack', '--stub', '--setup', '--source', '--work'):
        parser.add_argument(option, required=True)
    ARGS = parser.parse_args()
    for key in ('kzpack', 'stub', 'setup', 'source', 'work'):
        setattr(ARGS, key, os.path.abspath(getattr(ARGS, key)))
    result = unittest.main(argv=[sys.argv[0], '-v'], exit=False).result
    sys.exit(0 if result.wasSuccessful() else 1)
