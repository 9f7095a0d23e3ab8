#!/usr/bin/env python3
"""End-to-end runs of the real Stub.exe under wine.

Each scenario builds an installer with kzpack, runs it under wine with a
time-out (killing only the process group it started), and looks only at what
a user can see: the exit code, the debug-channel lines (WINEDEBUG=+debugstr),
the report the demo setup program writes (KZ_SETUP_REPORT), and what is left
in the temporary folder. wine hands a Unix parent only the low 8 bits of an
exit code, so every run goes through a launcher that prints the whole code as
GetExitCodeProcess gives it ("... exit=<code> ...").

Exit status: 0 all scenarios passed, 1 a scenario failed, 77 nothing could run.
"""
import argparse
import contextlib
import hashlib
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import time

SKIP = 77
RUN_TIMEOUT = 180


class Failure(Exception):
    pass


class Skip(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def windows_path(path):
    """Wine's Z: drive maps the Unix root."""
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


def pe_machine(path):
    with open(path, 'rb') as f:
        data = f.read(4096)
    offset = struct.unpack_from('<I', data, 0x3c)[0]
    return struct.unpack_from('<H', data, offset + 4)[0]


def pe_sections(data):
    """(name, raw offset, raw size) of every section."""
    nt = struct.unpack_from('<I', data, 0x3c)[0]
    count = struct.unpack_from('<H', data, nt + 6)[0]
    optional = struct.unpack_from('<H', data, nt + 20)[0]
    first = nt + 24 + optional
    out = []
    for i in range(count):
        entry = first + 40 * i
        name = data[entry:entry + 8].rstrip(b'\0').decode('latin-1')
        size, offset = struct.unpack_from('<II', data, entry + 16)
        out.append((name, offset, size))
    return out


DEBUGSTR = re.compile(r'(?:trace|warn):debugstr:OutputDebugStringA "(.*)"$')
LAUNCHER_LINE = re.compile(r'^elapsed_ms=\S+ peak_ws_kib=\d+ exit=(\d+) ')


def launched_exit_code(status, out):
    """The run's whole exit code from the launcher's line, and stdout without it."""
    lines = out.splitlines()
    found = [i for i, line in enumerate(lines) if LAUNCHER_LINE.match(line)]
    check(status == 0 and found, 'the launcher gave no exit code (status %d): %r' % (status, out[-300:]))
    code = int(LAUNCHER_LINE.match(lines[found[-1]]).group(1))
    return code, '\n'.join(lines[:found[-1]] + lines[found[-1] + 1:])


def unescape(text):
    """Undoes wine's escaping of debug strings."""
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == '\\' and i + 1 < len(text):
            n = text[i + 1]
            if n == 'n':
                out.append('\n')
            elif n == 'r':
                out.append('\r')
            elif n == 't':
                out.append('\t')
            elif n == 'x' and i + 3 < len(text) + 1:
                out.append(chr(int(text[i + 2:i + 4], 16)))
                i += 2
            else:
                out.append(n)
            i += 2
            continue
        out.append(c)
        i += 1
    return ''.join(out)


class Result:
    def __init__(self, code, stdout, lines, seconds):
        self.code = code
        self.stdout = stdout
        self.lines = lines          # debug-channel lines, unescaped
        self.seconds = seconds

    def has(self, text):
        return any(text in line for line in self.lines)

    def messages(self):
        """Diagnostic lines without their "[T xxxxxxxx] " prefix."""
        return [line[13:] if re.match(r'\[T [0-9a-f]{8}\] ', line) else line for line in self.lines]


def kz_cache():
    """The cache folder the bootstrap used, which holds both wine prefixes."""
    return os.environ.get('KZ_CACHE') or os.path.join(
        os.environ.get('XDG_CACHE_HOME') or os.path.expanduser('~/.cache'), 'kzinstaller')


class Harness:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        self.stub = os.path.abspath(args.stub)
        self.launcher = os.path.abspath(args.launcher)
        self.setup = os.path.abspath(args.setup)
        self.kzpack = args.kzpack
        self.keys = os.path.abspath(args.keys)
        self.wine_run = os.path.abspath(args.wine_run)
        self.prefix = os.environ.get('WINEPREFIX') or os.path.join(kz_cache(), 'wine64')
        self.prefix32 = os.path.abspath(args.prefix32)
        self.how = subprocess.run([self.wine_run, '--how'], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                  check=True).stdout.decode().strip()
        self.temp_dir = None
        self.report = os.path.join(self.work, 'report.txt')

    # ---- wine -----------------------------------------------------------------

    def wine_env(self, extra=None):
        env = dict(os.environ)
        env['WINEPREFIX'] = self.prefix
        env['WINEDEBUG'] = '-all,+debugstr'
        env['KZ_SETUP_REPORT'] = windows_path(self.report)
        if extra:
            env.update(extra)
        return env

    def launch_command(self, exe, args):
        return [self.wine_run, self.launcher, windows_path(exe)] + list(args)

    def run(self, exe, args=(), timeout=RUN_TIMEOUT, extra_env=None, while_running=None):
        """`while_running()` is called every 0.2 s until the run ends (a gui run's boxes)."""
        if os.path.exists(self.report):
            os.remove(self.report)
        start = time.monotonic()
        proc = subprocess.Popen(self.launch_command(exe, args), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, env=self.wine_env(extra_env),
                                start_new_session=True)
        try:
            while while_running and proc.poll() is None and time.monotonic() - start < timeout:
                while_running()
                time.sleep(0.2)
            out, err = proc.communicate(timeout=max(1, timeout - (time.monotonic() - start)))
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)  # only the group this run started
            proc.communicate()
            raise Failure('%s did not end within %d s' % (os.path.basename(exe), timeout))
        lines = []
        for raw in err.decode('utf-8', 'replace').splitlines():
            m = DEBUGSTR.search(raw)
            if m:
                lines.append(unescape(m.group(1)))
        code, stdout = launched_exit_code(proc.returncode, out.decode('utf-8', 'replace'))
        return Result(code, stdout, lines, time.monotonic() - start)

    def wine_command(self, *args):
        env = self.wine_env()
        env['WINEDEBUG'] = '-all'
        return subprocess.run([self.wine_run] + list(args), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              stdin=subprocess.DEVNULL, env=env, timeout=120).stdout.decode('utf-8', 'replace')

    def find_temp_dir(self):
        text = self.wine_command('cmd', '/c', 'echo', '%TEMP%').strip().splitlines()
        check(text, 'wine cmd gave no temporary folder')
        windows = text[-1].strip()
        check(re.match(r'^[A-Za-z]:\\', windows), 'odd temporary folder %r' % windows)
        drive = os.path.join(self.prefix, 'dosdevices', windows[0].lower() + ':')
        self.temp_dir = os.path.realpath(os.path.join(drive, *windows[3:].split('\\')))

    def start_server(self, display=None):
        """wine's server and services up, detached from our pipes."""
        env = dict(self.wine_env(), WINEDEBUG='-all')
        if display:
            env['DISPLAY'] = display
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        subprocess.run(['wineserver', '-p'], timeout=60, **quiet)
        subprocess.run([self.wine_run, 'cmd', '/c', 'exit'], timeout=180, **quiet)

    def use_prefix(self, prefix, display=None):
        """Switches the runs to another prefix; returns the one in use before."""
        before = self.prefix
        self.prefix = prefix
        self.start_server(display)
        self.find_temp_dir()
        return before

    def workspaces(self):
        if not self.temp_dir or not os.path.isdir(self.temp_dir):
            return set()
        return {name for name in os.listdir(self.temp_dir) if name.startswith('ITMPD_')}

    def set_diag_switch(self, on):
        key = 'HKLM\\Software\\Tolvekar'
        if on:
            self.wine_command('reg', 'add', key, '/v', 'KZSTR', '/t', 'REG_SZ', '/d', '!Diagnose!', '/f', '/reg:64')
        else:
            self.wine_command('reg', 'delete', key, '/v', 'KZSTR', '/f', '/reg:64')

    # ---- installers -----------------------------------------------------------

    def have_kzpack(self):
        return self.kzpack and os.path.isfile(self.kzpack) and os.access(self.kzpack, os.X_OK)

    def build_installer(self, name, run_type, files, script, setup=None, key_dir=None):
        """Builds an installer with kzpack from a project file; returns its path.

        files: {entry name: bytes}; script: the install script text; key_dir:
        keys from `kzpack keygen` (default: the development keys)."""
        if not self.have_kzpack():
            raise Skip('kzpack not built (%s)' % self.kzpack)
        folder = os.path.join(self.work, name)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        # TOML literal strings: backslashes in paths and script lines stay as they are.
        q = "'"
        lines = [
            'stub = ' + q + self.stub + q,
            'setup = ' + q + (setup or self.setup) + q,
            'type = ' + q + run_type + q,
            'script = ' + q * 3 + '\n' + script + q * 3,
            '',
            '[keys]',
        ]
        for role in ('bundle_signing', 'bundle_root', 'image_root'):
            key = os.path.join(key_dir, role + '.key.der') if key_dir else os.path.join(self.keys, 'dev_%s.key.der' % role)
            lines.append(role + ' = ' + q + key + q)
        for entry, content in files.items():
            source = os.path.join(folder, 'src_' + re.sub(r'[^A-Za-z0-9_.-]', '_', entry))
            with open(source, 'wb') as f:
                f.write(content)
            lines += ['', '[[file]]', 'name = ' + q + entry + q, 'source = ' + q + source + q]
        project = os.path.join(folder, 'project.toml')
        with open(project, 'w') as f:
            f.write('\n'.join(lines) + '\n')
        out = os.path.join(folder, name + '.exe')
        proc = subprocess.run([self.kzpack, 'build', project, '-o', out, '--quiet'] + ([] if key_dir else ['--development-keys']),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
        check(proc.returncode == 0, 'kzpack build failed: %s' % proc.stdout.decode('utf-8', 'replace'))
        return out

    def read_report(self):
        if not os.path.exists(self.report):
            return None
        with open(self.report, 'rb') as f:
            text = f.read().decode('utf-8')
        report = {'args': [], 'files': {}}
        for line in text.splitlines():
            key, _, value = line.partition('=')
            if key.startswith('arg['):
                report['args'].append(value)
            elif key == 'cwd':
                report['cwd'] = value
            elif key == 'file':
                path, _, size = value.rpartition(' size=')
                report['files'][path] = int(size)
        return report


# ---- scenarios ------------------------------------------------------------------

DEPS = {
    'common.dll': b'common' * 100,
    'x64.dll': b'x64 only',
    'x86.dll': b'x86 only',
    'new.dll': b'w6+ only',
    'old.dll': b'w<6 only',
    'gui.dll': b'gui only',
    'nested.txt': 'caf\u00e9\n'.encode('utf-8'),
}

SCRIPT = '\n'.join([
    '# dependencies of the demo',
    '',
    'dep-silent,common.dll,common.dll',
    '  dep-x64-silent,x64.dll,bin\\x64.dll',
    'dep-x86-silent,x86.dll,bin\\x86.dll',
    'dep-w6+-silent,new.dll,new.dll',
    'dep-w<6-silent,old.dll,old.dll',
    'dep-gui,gui.dll,gui.dll',
    'dep-x86-x64-silent,x86.dll,never.dll',
    'dep-silent,nested.txt,one\\two\\caf\u00e9.txt',
]) + '\n'

# What that script selects on 64-bit Windows 6+ in silent mode.
SELECTED = {'common.dll': len(DEPS['common.dll']), 'bin\\x64.dll': len(DEPS['x64.dll']),
            'new.dll': len(DEPS['new.dll']), 'one\\two\\caf\u00e9.txt': len(DEPS['nested.txt'])}

# And on 32-bit Windows XP.
SELECTED_XP = {'common.dll': len(DEPS['common.dll']), 'bin\\x86.dll': len(DEPS['x86.dll']),
               'old.dll': len(DEPS['old.dll']), 'one\\two\\caf\u00e9.txt': len(DEPS['nested.txt'])}

ARGS = ['/S', 'with blank', 'tab\there', 'say "hi"', 'C:\\dir\\', '', 'last']


def scenario_no_type(h):
    """The bare stub carries no TYPE attachment: exit 1, nothing written."""
    before = h.workspaces()
    result = h.run(h.stub)
    check(result.code == 1, 'exit code %d, expected 1' % result.code)
    check(not result.has('Type is'), 'an ungated line appeared: %r' % result.lines)
    check(not any(line.startswith('Progress') for line in result.lines), 'progress reported')
    check(h.workspaces() == before, 'a workspace was left behind')


def scenario_silent_install(h, selected=SELECTED):
    """Silent run: setup gets every argument and the installer path, runs in
    the workspace, finds exactly the selected files; the workspace is gone."""
    installer = h.build_installer('silent', 'silent', DEPS, SCRIPT)
    before = h.workspaces()
    result = h.run(installer, ARGS)
    check(result.code == 0, 'exit code %d, expected 0; lines %r' % (result.code, result.lines[-5:]))
    check(result.has('Type is silent\n'), 'no "Type is silent" line')
    progress = [int(m.group(1)) for m in (re.match(r'Progress (\d+)%$', line) for line in result.lines) if m]
    check(progress[:1] == [0] and 85 in progress and max(progress) < 100, 'progress %r' % progress)
    script_lines = len(SCRIPT.splitlines())
    expected = [85 + (15 * i) // script_lines for i in range(script_lines)]
    check(progress[-script_lines:] == expected, 'script progress %r, expected %r' % (progress[-script_lines:], expected))
    report = h.read_report()
    check(report is not None, 'setup did not run')
    check(report['args'][1:-1] == ARGS, 'setup arguments %r, expected %r' % (report['args'][1:-1], ARGS))
    check(report['args'][-1] == windows_path(installer) or report['args'][-1].lower().endswith('silent.exe'),
          'last argument %r is not the installer' % report['args'][-1])
    check(re.search(r'\\ITMPD_\d+_\d+_\d+$', report['cwd']), 'setup ran in %r' % report['cwd'])
    check(report['args'][0].lower() == (report['cwd'] + '\\setup.exe').lower(), 'setup path %r' % report['args'][0])
    files = dict(report['files'])
    check('setup.exe' in files and 'ibnd' in files, 'setup.exe or ibnd missing: %r' % files)
    del files['setup.exe'], files['ibnd']
    check(files == selected, 'files %r, expected %r' % (files, selected))
    check(h.workspaces() == before, 'workspace left behind: %r' % (h.workspaces() - before))
    return os.path.basename(report['cwd'])


def scenario_windows_xp_32bit(h):
    """The same silent run in a 32-bit prefix that reports Windows XP: the
    lines for 32-bit Windows and for major versions below 6 are chosen."""
    if pe_machine(h.stub) != 0x14c:
        raise Skip('a 64-bit stub does not run on 32-bit Windows')
    check(os.path.exists(os.path.join(h.prefix32, 'system.reg')),
          'no 32-bit prefix %s (scripts/bootstrap.sh makes it)' % h.prefix32)
    before = h.use_prefix(h.prefix32)
    try:
        version = h.wine_command('cmd', '/c', 'ver')
        check('Windows XP' in version or ' 5.1' in version, 'the 32-bit prefix reports %r' % version.strip())
        scenario_silent_install(h, SELECTED_XP)
    finally:
        subprocess.run(['wineserver', '-k'], env=dict(os.environ, WINEPREFIX=h.prefix32), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        h.prefix = before
        h.find_temp_dir()


def scenario_random_names(h):
    """Two runs pick different random numbers for their workspace names."""
    installer = h.build_installer('names', 'silent', {'a.dll': b'a'}, 'dep-silent,a.dll,a.dll\n')
    names = []
    for _ in range(2):
        result = h.run(installer, ['/S'])
        check(result.code == 0, 'exit code %d' % result.code)
        report = h.read_report()
        check(report is not None, 'setup did not run')
        names.append(os.path.basename(report['cwd'].replace('\\', '/')))
    randoms = [name.rsplit('_', 1)[1] for name in names]
    check(randoms[0] != randoms[1], 'both runs drew %s' % randoms[0])


def scenario_failures(h):
    """Worker failures the stub must catch itself (kzpack refuses to build
    such installers, so the bundle is put in by hand): exit 1603, setup not
    started, workspace removed."""
    cases = {
        'escape': 'dep-silent,a.dll,..\\a.dll\n',
        'absolute': 'dep-silent,a.dll,C:\\a.dll\n',
        'short': 'dep-silent,a.dll\n',
        'missing_entry': 'dep-silent,a.dll,a.dll\ndep-silent,none.dll,none.dll\n',
    }
    splice = BundleSplicer(h, 'failures_good')
    # The splice itself must not be what stops setup.
    result = h.run(splice.installer('control', 'dep-silent,a.dll,a.dll\n'), ['/S'])
    check(result.code == 0 and h.read_report() is not None, 'a spliced good bundle did not start setup')
    for name, script in cases.items():
        installer = splice.installer(name, script)
        before = h.workspaces()
        result = h.run(installer, ['/S'])
        check(result.code == 1603, '%s: exit code %d, expected 1603' % (name, result.code))
        check(h.read_report() is None, '%s: setup was started' % name)
        check(h.workspaces() == before, '%s: workspace left behind' % name)
        escaped = [os.path.join(h.temp_dir, 'a.dll'), os.path.join(h.temp_dir, '..', '..', '..', 'a.dll')]
        check(not any(os.path.exists(p) for p in escaped), '%s: a.dll written outside the workspace' % name)


KEY_BLOCK_MARKER = b'KZ-ROOTS' + bytes([0x9d, 0x3b, 0xe1, 0x47, 0x06, 0xc2, 0x58, 0x01])


def scenario_own_keys(h):
    """Fresh keys from `kzpack keygen`, stamped into the stub by kzpack build:
    the installer runs and setup sees its files (a stub still checking with
    its compiled-in development roots would refuse it); verify passes pinned
    to those roots and fails pinned to the development ones. One byte changed
    in the middle of the stamped image root: exit 2, and verify refuses."""
    keys = os.path.join(h.work, 'own_keys_keys')
    shutil.rmtree(keys, ignore_errors=True)
    made = subprocess.run([h.kzpack, 'keygen', '--out-dir', keys, '-q'], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    check(made.returncode == 0, 'kzpack keygen: %s' % made.stdout.decode('utf-8', 'replace'))
    installer = h.build_installer('own_keys', 'silent', {'a.dll': b'own'}, 'dep-silent,a.dll,a.dll\n', key_dir=keys)
    result = h.run(installer, ['/S'])
    check(result.code == 0, 'exit code %d, expected 0' % result.code)
    report = h.read_report()
    check(report is not None and report['files'].get('a.dll') == 3, 'setup did not see a.dll: %r' % report)

    def verify(path, root_dir, prefix=''):
        pins = ['--image-root', os.path.join(root_dir, prefix + 'image_root.pub.der'),
                '--bundle-root', os.path.join(root_dir, prefix + 'bundle_root.pub.der')]
        return subprocess.run([h.kzpack, 'verify', path] + pins, stdout=subprocess.PIPE, stderr=subprocess.STDOUT).returncode
    check(verify(installer, keys) == 0, 'kzpack verify refuses the installer pinned to its own roots')
    check(verify(installer, h.keys, 'dev_') == 1, 'kzpack verify accepts it pinned to the development roots')
    with open(installer, 'rb') as f:
        data = bytearray(f.read())
    check(data.count(KEY_BLOCK_MARKER) == 1, 'the key block marker is not in the installer exactly once')
    data[data.index(KEY_BLOCK_MARKER) + 16 + 294 + 4 + 275] ^= 0x01
    broken = installer[:-4] + '_key.exe'
    with open(broken, 'wb') as f:
        f.write(data)
    result = h.run(broken, ['/S'])
    check(result.code == 2, 'a changed stamped key: exit code %d, expected 2' % result.code)
    check(h.read_report() is None, 'a changed stamped key: setup was started')
    check(verify(broken, keys) == 1, 'kzpack verify accepts a changed stamped key')


def tamper_signed_bytes(data):
    """Changes one byte that the installer's own signature covers and that no
    code runs: the DOS stub's text. A changed byte in code that runs before
    the check (the RSA arithmetic itself, say) crashes the stub instead."""
    at = data.find(b'This program cannot be run in DOS mode')
    check(0 < at < 0x200, 'no DOS stub text in the header')
    data[at] ^= 0x01


def scenario_tampered(h):
    """A changed byte in front of the "_SG2" record: exit 2, no setup."""
    installer = h.build_installer('tamper', 'silent', {'a.dll': b'a'}, 'dep-silent,a.dll,a.dll\n')
    with open(installer, 'rb') as f:
        data = bytearray(f.read())
    tamper_signed_bytes(data)
    tampered = installer[:-4] + '_tampered.exe'
    with open(tampered, 'wb') as f:
        f.write(data)
    before = h.workspaces()
    result = h.run(tampered, ['/S'])
    check(result.code == 2, 'exit code %d, expected 2' % result.code)
    check(result.has('Type is silent'), 'no "Type is" line before the check')
    check(h.read_report() is None, 'setup was started')
    check(h.workspaces() == before, 'a workspace was created')


def scenario_diag_switch(h):
    """The registry switch turns on the thread-tagged lines and the cleanup lines."""
    installer = h.build_installer('diag', 'silent', {'a.dll': b'a'}, 'dep-silent,a.dll,sub\\a.dll\n')
    h.set_diag_switch(True)
    try:
        result = h.run(installer, ['/S'])
    finally:
        h.set_diag_switch(False)
    check(result.code == 0, 'exit code %d' % result.code)
    tagged = [line for line in result.lines if re.match(r'\[T [0-9a-f]{8}\] ', line)]
    check(tagged, 'no "[T xxxxxxxx] " lines')
    messages = result.messages()
    for expected in ('Begin cleanup of 0 files\n', 'Begin cleanup of 1 dirs\n', 'Done\n'):
        check(expected in messages, 'missing %r' % expected)
    check(any(m.startswith('setup.exe: ') for m in messages), 'no "setup.exe: " line')
    deletes = [m for m in messages if m.startswith('Delete ')]
    check(any(m.endswith('\\sub\\a.dll\n') for m in deletes), 'no delete line for sub\\a.dll: %r' % deletes)
    sub = [i for i, m in enumerate(messages) if m.startswith('Delete Dir') and m.endswith('\\sub\n')]
    root = [i for i, m in enumerate(messages) if re.match(r'Delete Dir .*ITMPD_\d+_\d+_\d+\n$', m)]
    check(sub and root and sub[0] < root[0], 'subdirectory not removed before the workspace')


def scenario_authenticode(h):
    """An installer Authenticode-signed by osslsigncode still runs."""
    if not shutil.which('osslsigncode') or not shutil.which('openssl'):
        raise Skip('osslsigncode or openssl missing')
    installer = h.build_installer('signed', 'silent', {'a.dll': b'a'}, 'dep-silent,a.dll,a.dll\n')
    folder = os.path.dirname(installer)
    key, cert = os.path.join(folder, 'test.key'), os.path.join(folder, 'test.crt')
    subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out', cert,
                    '-days', '30', '-subj', '/CN=kz e2e test'], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    signed = installer[:-4] + '_signed.exe'
    subprocess.run(['osslsigncode', 'sign', '-certs', cert, '-key', key, '-in', installer, '-out', signed],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    result = h.run(signed, ['/S'])
    check(result.code == 0, 'exit code %d' % result.code)
    report = h.read_report()
    check(report is not None and 'a.dll' in report['files'], 'setup did not receive a.dll')


def chain_records(data, end):
    """[(type, payload start, size)] of the chain ending at `end`, first record first."""
    records = []
    pos = end - 28
    while pos >= 0 and data[pos + 24:pos + 28] == b'ABD2':
        size = struct.unpack_from('<I', data, pos + 16)[0]
        records.append((data[pos + 20:pos + 24].decode('latin-1'), pos - size, size))
        pos -= size + 28
    return records[::-1]


def record(kind, payload):
    return bytes(b ^ 0xC6 for b in payload) + hashlib.md5(payload).digest() + struct.pack('<I', len(payload)) + \
        kind.encode('latin-1') + b'ABD2'


def replace_in_chain(data, kind, payload, in_section):
    """The file with the `kind` record's payload replaced. Records behind the
    signature record are not signed; in an installer the last section's sizes
    and SizeOfImage, which its header-excluded signature leaves out, follow."""
    data = bytes(data)
    if not in_section:
        records = chain_records(data, len(data))
        start = records[0][1]
        body = b''.join(record(k, payload if k == kind else
                               bytes(b ^ 0xC6 for b in data[p:p + n])) for k, p, n in records)
        return data[:start] + body
    nt = struct.unpack_from('<I', data, 0x3c)[0]
    count = struct.unpack_from('<H', data, nt + 6)[0]
    optional = struct.unpack_from('<H', data, nt + 20)[0]
    entry = nt + 24 + optional + 40 * (count - 1)
    address, = struct.unpack_from('<I', data, entry + 12)
    raw_size, raw_pointer = struct.unpack_from('<II', data, entry + 16)
    check(data[entry:entry + 8].rstrip(b'\0') == b'.KZBNDL', 'last section is not .KZBNDL')
    records = chain_records(data, raw_pointer + raw_size)
    body = b''.join(record(k, payload if k == kind else bytes(b ^ 0xC6 for b in data[p:p + n])) for k, p, n in records)
    out = bytearray(data[:raw_pointer] + body + data[raw_pointer + raw_size:])
    struct.pack_into('<I', out, entry + 8, len(body))
    struct.pack_into('<I', out, entry + 16, len(body))
    alignment = struct.unpack_from('<I', out, nt + 24 + 32)[0]
    struct.pack_into('<I', out, nt + 24 + 56, (address + len(body) + alignment - 1) // alignment * alignment)
    return bytes(out)


class BundleSplicer:
    """A good installer (one entry, a.dll) whose bundle is swapped for one made
    by hand with `kzpack bundle create`, which packs any script as it is."""

    def __init__(self, h, name, run_type='silent'):
        self.h = h
        self.good = h.build_installer(name, run_type, {'a.dll': b'a'}, 'dep-%s,a.dll,a.dll\n' % run_type)
        self.folder = os.path.dirname(self.good)
        with open(self.good, 'rb') as f:
            self.data = f.read()
        load = [r for r in chain_records(self.data, sum(pe_sections(self.data)[-1][1:])) if r[0] == 'LOAD'][0]
        self.setup = bytes(b ^ 0xC6 for b in self.data[load[1]:load[1] + load[2]])

    def installer(self, name, script, edit_bundle=None, edit_setup=None):
        """`edit_bundle(bytearray)` and `edit_setup(bytearray)` may change the
        bundle file and the setup program before they are put in."""
        script_file = os.path.join(self.folder, 'script.txt')
        with open(script_file, 'wb' if isinstance(script, bytes) else 'w') as f:
            f.write(script)
        bundle = os.path.join(self.folder, 'bad.ibnd')
        keys = self.h.keys
        subprocess.run([self.h.kzpack, 'bundle', 'create', '-o', bundle, '--force', '--development-keys',
                        '-s', os.path.join(keys, 'dev_bundle_signing.key.der'),
                        '-r', os.path.join(keys, 'dev_bundle_root.key.der'), '--script', script_file,
                        '-e', 'a.dll=' + os.path.join(self.folder, 'src_a.dll'), '--quiet'], check=True)
        with open(bundle, 'rb') as f:
            bundle_bytes = bytearray(f.read())
        setup = bytearray(self.setup)
        if edit_bundle:
            edit_bundle(bundle_bytes)
        if edit_setup:
            edit_setup(setup)
        new_setup = replace_in_chain(bytes(setup), 'IBND', bytes(bundle_bytes), False)
        installer = os.path.join(self.folder, name + '.exe')
        with open(installer, 'wb') as f:
            f.write(replace_in_chain(self.data, 'LOAD', new_setup, True))
        return installer


def scenario_device_targets(h):
    """Script targets naming NUL or CON (any case, extension, trailing dots or
    blanks, in a folder): kzpack refuses to build them, and an installer
    carrying one anyway ends without writing to the device or starting setup."""
    splice = BundleSplicer(h, 'device_good')
    for target in ('NUL', 'nul.txt', 'NUL.', 'Con .log', 'sub\\CON'):
        script = 'dep-silent,a.dll,%s\n' % target
        bad_project = os.path.join(splice.folder, 'bad.toml')
        with open(os.path.join(splice.folder, 'project.toml')) as f:
            text = f.read()
        with open(bad_project, 'w') as f:
            f.write(text.replace('dep-silent,a.dll,a.dll', script.strip()))
        bad = os.path.join(splice.folder, 'bad.exe')
        build = subprocess.run([h.kzpack, 'build', bad_project, '-o', bad, '--quiet', '--development-keys'],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        check(build.returncode == 1 and b'names a Windows device' in build.stdout,
              '%s: kzpack build did not refuse it: %r' % (target, build.stdout))
        check(not os.path.exists(bad), '%s: kzpack left an output file' % target)
        installer = splice.installer('device', script)
        before = h.workspaces()
        result = h.run(installer, ['/S'])
        check(result.code == 1603, '%s: exit code %d, expected 1603' % (target, result.code))
        check(h.read_report() is None, '%s: setup was started' % target)
        check(h.workspaces() == before, '%s: workspace left behind' % target)


def scenario_unwritable_targets(h):
    """Targets the stub cannot write: the workspace's own setup.exe or ibnd in
    another spelling, a name used as a file and then as a folder, a line cut
    at a zero byte into a device name, a target that is not UTF-8. kzpack
    verify refuses each installer, and the stub ends without starting setup."""
    cases = {
        'setup_upper': b'dep-silent,a.dll,SETUP.EXE\n',
        'ibnd_dot': b'dep-silent,a.dll,ibnd.\n',
        'dot_setup': b'dep-silent,a.dll,.\\setup.exe\n',
        'file_then_folder': b'dep-silent,a.dll,lib\ndep-silent,a.dll,lib\\a.dll\n',
        'zero_cut': b'dep-silent,a.dll,NUL\x00.txt\n',
        'not_utf8': b'dep-silent,a.dll,.\xc3.\\x.dll\n',
    }
    splice = BundleSplicer(h, 'unwritable_good')
    for name, script in cases.items():
        installer = splice.installer(name, script)
        verify = subprocess.run([h.kzpack, 'verify', installer], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        check(verify.returncode == 1 and b'would not run setup: script on' in verify.stderr,
              '%s: kzpack verify said %d: %r' % (name, verify.returncode, verify.stderr))
        before = h.workspaces()
        result = h.run(installer, ['/S'])
        check(result.code == 1603, '%s: exit code %d, expected 1603' % (name, result.code))
        check(h.read_report() is None, '%s: setup was started' % name)
        check(h.workspaces() == before, '%s: workspace left behind' % name)


def scenario_read_only_leftovers(h):
    """A setup program that leaves 200 read-only files next to itself: the
    workspace is gone and the stub ends within 5 s of setup's end."""
    installer = h.build_installer('read_only', 'silent', {'a.dll': b'a'}, 'dep-silent,a.dll,a.dll\n')
    before = h.workspaces()
    result = h.run(installer, ['/S'], extra_env={'KZ_SETUP_READONLY_FILES': '200'})
    ended = time.time()
    check(result.code == 0, 'exit code %d' % result.code)
    report = h.read_report()
    check(report is not None, 'setup did not run')
    left = [name for name in report['files'] if name.startswith('left')]
    check(len(left) == 200, 'setup left %d files, expected 200' % len(left))
    lag = ended - os.path.getmtime(h.report)
    check(lag < 5, 'the stub ended %.1f s after setup' % lag)
    check(h.workspaces() == before, 'workspace left behind: %r' % (h.workspaces() - before))


def scenario_huge_type(h):
    """A "TYPE" record above the string readers' cap: exit 1 at once, no workspace."""
    good = h.build_installer('huge_type', 'silent', {'a.dll': b'a'}, 'dep-silent,a.dll,a.dll\n')
    with open(good, 'rb') as f:
        data = f.read()
    installer = good[:-4] + '_type.exe'
    with open(installer, 'wb') as f:
        f.write(replace_in_chain(data, 'TYPE', b'silent' + b' ' * (1 << 20), True))
    before = h.workspaces()
    result = h.run(installer, ['/S'], timeout=60)
    check(result.code == 1, 'exit code %d, expected 1' % result.code)
    check(h.read_report() is None and h.workspaces() == before, 'setup started or a workspace was made')


class Xvfb:
    """A private X server for the gui scenarios; stopped by its own pid."""

    def __init__(self, work):
        self.display = None
        self.proc = None
        self.work = work

    def __enter__(self):
        if self.proc:
            return self
        if not shutil.which('Xvfb'):
            raise Skip('Xvfb missing')
        for number in range(91, 120):
            if not os.path.exists('/tmp/.X11-unix/X%d' % number) and not os.path.exists('/tmp/.X%d-lock' % number):
                self.display = ':%d' % number
                break
        self.proc = subprocess.Popen(['Xvfb', self.display, '-screen', '0', '1024x768x24', '-nolisten', 'tcp'],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        for _ in range(50):
            if os.path.exists('/tmp/.X11-unix/X' + self.display[1:]):
                return self
            time.sleep(0.1)
        raise Failure('Xvfb did not start')

    def __exit__(self, *exc):
        pass

    def stop(self):
        if self.proc:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()

    def screenshot(self, name):
        path = os.path.join(self.work, name + '.png')
        subprocess.run(['import', '-display', self.display, '-window', 'root', path], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)
        return path if os.path.exists(path) else None

    def colours(self, path):
        out = subprocess.run(['convert', path, '-format', '%k', 'info:'], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, timeout=30).stdout.decode().strip()
        return int(out) if out.isdigit() else 0

    def find_window(self, name):
        out = subprocess.run(['xdotool', 'search', '--name', name], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             env=dict(os.environ, DISPLAY=self.display), timeout=10).stdout.decode().split()
        return out[0] if out else None

    def press_enter(self, window):
        # No window manager runs here: give the window the focus directly.
        env = dict(os.environ, DISPLAY=self.display)
        for command in (['xdotool', 'windowfocus', window], ['xdotool', 'key', 'Return']):
            try:
                subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env, timeout=10)
            except subprocess.TimeoutExpired:
                pass


def gui_prefix(h):
    """A wine prefix of our own for the gui runs: wine's desktop process stays
    bound to the display it first met, and the shared prefix may have met
    another one. Made once (wineboot, about 20 s) and kept in the work folder;
    its wineserver is ours to stop."""
    prefix = os.path.join(h.work, 'wine-gui')
    if not os.path.exists(os.path.join(prefix, 'system.reg')):
        env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG='-all')
        env.pop('DISPLAY', None)
        subprocess.run([h.wine_run, 'wineboot', '-i'], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL, timeout=300)
        # The registry files appear only when the server writes them out, at
        # the latest when it exits.
        subprocess.run(['wineserver', '-w'], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       stdin=subprocess.DEVNULL, timeout=300)
    check(os.path.exists(os.path.join(prefix, 'system.reg')), 'could not make the gui wine prefix')
    return prefix


def stop_gui_prefix(h):
    prefix = os.path.join(h.work, 'wine-gui')
    if os.path.exists(prefix):
        subprocess.run(['wineserver', '-k'], env=dict(os.environ, WINEPREFIX=prefix), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)


def start_gui_run(h, x, installer, args):
    if os.path.exists(h.report):
        os.remove(h.report)
    env = h.wine_env({'DISPLAY': x.display, 'WINEPREFIX': gui_prefix(h)})
    return subprocess.Popen(h.launch_command(installer, args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            stdin=subprocess.DEVNULL, env=env, start_new_session=True)


def wait_gui_run(proc, timeout=RUN_TIMEOUT):
    try:
        # setup inherits nothing, but wine's children may hold the pipes: wait for the process first.
        proc.wait(timeout=timeout)
        out, err = proc.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        raise Failure('gui run did not end within %d s' % timeout)
    lines = [unescape(m.group(1)) for m in (DEBUGSTR.search(r) for r in err.decode('utf-8', 'replace').splitlines()) if m]
    return launched_exit_code(proc.returncode, out.decode('utf-8', 'replace'))[0], lines


def scenario_gui(h):
    """Gui mode under Xvfb: the "Please Wait..." window with its bar while
    the work runs (screenshot), setup's own window dismissed by the test."""
    if not shutil.which('xdotool') or not shutil.which('import'):
        raise Skip('xdotool or ImageMagick missing')
    # Enough payload that the window is up for a moment.
    big = {'big%d.bin' % i: os.urandom(4 << 20) for i in range(6)}
    script = ''.join('dep-gui,%s,%s\n' % (name, name) for name in big)
    installer = h.build_installer('gui', 'gui', big, script)
    with h.xvfb as x:
        prefix = gui_prefix(h)
        gui_temp = os.path.join(prefix, os.path.relpath(h.temp_dir, h.prefix)) if h.temp_dir else None
        listing = lambda: {n for n in os.listdir(gui_temp) if n.startswith('ITMPD_')} if gui_temp and os.path.isdir(gui_temp) else set()
        before = listing()
        # /S keeps the demo setup from waiting for a click.
        proc = start_gui_run(h, x, installer, ['/S'])
        shots = 0
        best = None
        deadline = time.monotonic() + RUN_TIMEOUT
        while proc.poll() is None and time.monotonic() < deadline and shots < 40:
            shot = x.screenshot('gui_progress_%02d' % shots)
            shots += 1
            if shot and (best is None or x.colours(shot) > x.colours(best)):
                best = shot
        code, lines = wait_gui_run(proc)
        check(code == 0, 'exit code %d' % code)
        for line in ('Type is gui\n', 'iccRes 1', 'dlg is ', 'hwndProgress is '):
            check(any(l.startswith(line) for l in lines), 'missing ungated line %r' % line)
        bars = [l.split(' is ', 1)[1] for l in lines if l.startswith('hwndProgress is ')]
        check(bars and re.match(r'^[0-9A-Fa-f]+$', bars[0]) and int(bars[0], 16) != 0, 'no progress bar: %r' % bars)
        check(best and x.colours(best) > 2, 'no window seen on the screen')
        print('    progress screenshot: %s' % best)
        check(listing() == before, 'workspace left behind')
        report = h.read_report()
        check(report is not None and 'big0.bin' in report['files'], 'setup did not receive the files')


def scenario_gui_corrupted(h):
    """Gui mode with an invalid own signature: the message box, then exit 2."""
    if not shutil.which('xdotool'):
        raise Skip('xdotool missing')
    installer = h.build_installer('gui_tamper', 'gui', {'a.dll': b'a'}, 'dep-gui,a.dll,a.dll\n')
    with open(installer, 'rb') as f:
        data = bytearray(f.read())
    tamper_signed_bytes(data)
    tampered = installer[:-4] + '_tampered.exe'
    with open(tampered, 'wb') as f:
        f.write(data)
    with h.xvfb as x:
        proc = start_gui_run(h, x, tampered, [])
        window = None
        deadline = time.monotonic() + 60
        while proc.poll() is None and time.monotonic() < deadline and not window:
            window = x.find_window('^Error$')
            time.sleep(0.2)
        check(window, 'no "Error" message box')
        x.screenshot('gui_corrupted')
        x.press_enter(window)
        code, _ = wait_gui_run(proc, 60)
        check(code == 2, 'exit code %d, expected 2' % code)



# Setup's own codes: success, "reboot required", an access violation.
SETUP_EXIT_CODES = [0, 3010, 0xC0000005]
INSTALL_FAILED = 1603


def flip_middle_byte(data):
    data[len(data) // 2] ^= 0x01


@contextlib.contextmanager
def full_temp_folder(h):
    """A small file system over the prefix's temporary folder, filled to the
    last byte; yields None, or why it could not be made."""
    if os.geteuid() != 0:
        yield 'mounting a file system over the temporary folder needs root'
        return
    mounted = subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=1m', 'kz-full-temp', h.temp_dir],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if mounted.returncode != 0:
        yield 'mount refused: %s' % mounted.stdout.decode('utf-8', 'replace').strip()
        return
    try:
        try:
            with open(os.path.join(h.temp_dir, 'filler'), 'wb') as f:
                while True:
                    f.write(b'\0' * 65536)
                    f.flush()
        except OSError:
            pass
        yield None
    finally:
        if subprocess.run(['umount', h.temp_dir], stderr=subprocess.DEVNULL).returncode != 0:
            subprocess.run(['umount', '-l', h.temp_dir], stderr=subprocess.DEVNULL)


def exit_code_runs(h, run_type, display=None, while_running=None):
    """Both prefixes: setup's codes come back exactly; a refused bundle, a
    setup program with a bad signature and a full temporary folder give 1603,
    start no setup, leave no workspace, and end with the one ungated line
    (the diagnostic switch is off). `while_running(pressed)` may dismiss
    message boxes and notes each in `pressed`."""
    splice = BundleSplicer(h, 'codes_' + run_type, run_type)
    script = 'dep-%s,a.dll,a.dll\n' % run_type
    failures = [
        ('refused bundle', splice.installer('refused', script, edit_bundle=flip_middle_byte),
         r'opening the bundle', False),
        ('bad setup signature', splice.installer('bad_setup', script, edit_setup=tamper_signed_bytes),
         r'checking the signature of setup\.exe', True),
    ]
    places = [('64-bit prefix', gui_prefix(h) if display else h.prefix)]
    if pe_machine(h.stub) == 0x14c:
        check(os.path.exists(os.path.join(h.prefix32, 'system.reg')),
              'no 32-bit prefix %s (scripts/bootstrap.sh makes it)' % h.prefix32)
        places.append(('XP prefix', h.prefix32))
    env = {'DISPLAY': display} if display else {}

    def run(what, installer, extra=None, box=False):
        before = h.workspaces()
        pressed = []
        look = (lambda: while_running(pressed)) if while_running else None
        result = h.run(installer, ['/S'], extra_env=dict(env, **(extra or {})), while_running=look)
        check(h.workspaces() == before, '%s: workspace left behind' % what)
        check(bool(pressed) == (box and bool(display)), '%s: message boxes %r' % (what, pressed))
        return result

    def expect_failure(what, result, step):
        check(result.code == INSTALL_FAILED, '%s: exit code %d, expected %d' % (what, result.code, INSTALL_FAILED))
        check(h.read_report() is None, '%s: setup was started' % what)
        check(re.fullmatch('Installation failed: %s\n' % step, result.lines[-1] if result.lines else ''),
              '%s: last line %r' % (what, result.lines[-1:]))

    notes = []
    home = h.prefix
    try:
        for place, prefix in places:
            if prefix == h.prefix32:
                stop_server(prefix)  # its desktop must meet our display, not an earlier one
            h.use_prefix(prefix, display)
            for code in SETUP_EXIT_CODES:
                what = '%s, %s, setup exits 0x%x' % (place, run_type, code)
                result = run(what, splice.good, {'KZ_SETUP_EXIT_CODE': '0x%x' % code})
                check(result.code == code, '%s: exit code 0x%x' % (what, result.code))
                check(h.read_report() is not None, '%s: setup did not run' % what)
            for name, installer, step, box in failures:
                what = '%s, %s, %s' % (place, run_type, name)
                expect_failure(what, run(what, installer, box=box), step)
            what = '%s, %s, full temporary folder' % (place, run_type)
            with full_temp_folder(h) as skipped:
                if skipped:
                    notes.append('%s skipped: %s' % (what, skipped))
                else:
                    expect_failure(what, run(what, splice.good), r'writing setup\.exe \(error 112\)')
            if prefix == h.prefix32:
                stop_server(prefix)
    finally:
        h.prefix = home
        h.find_temp_dir()
    for note in notes:
        print('    ' + note)


def stop_server(prefix):
    subprocess.run(['wineserver', '-k'], env=dict(os.environ, WINEPREFIX=prefix), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60)


def scenario_exit_codes(h):
    """Silent runs in both prefixes: the exit codes deployment tools act on."""
    exit_code_runs(h, 'silent')


def scenario_exit_codes_gui(h):
    """The same in gui mode under Xvfb; the "Error" box of a bad setup
    signature is dismissed by the test."""
    if not shutil.which('xdotool'):
        raise Skip('xdotool missing')
    with h.xvfb as x:
        def dismiss(pressed):
            window = x.find_window('^Error$')
            if window:
                x.press_enter(window)
                pressed.append(window)
        exit_code_runs(h, 'gui', x.display, dismiss)

SCENARIOS = [
    ('no_type', scenario_no_type),
    ('silent_install', scenario_silent_install),
    ('windows_xp_32bit', scenario_windows_xp_32bit),
    ('random_names', scenario_random_names),
    ('failures', scenario_failures),
    ('tampered', scenario_tampered),
    ('own_keys', scenario_own_keys),
    ('device_targets', scenario_device_targets),
    ('unwritable_targets', scenario_unwritable_targets),
    ('read_only_leftovers', scenario_read_only_leftovers),
    ('huge_type', scenario_huge_type),
    ('diag_switch', scenario_diag_switch),
    ('authenticode', scenario_authenticode),
    ('gui', scenario_gui),
    ('gui_corrupted', scenario_gui_corrupted),
    ('exit_codes', scenario_exit_codes),
    ('exit_codes_gui', scenario_exit_codes_gui),
]


def can_run(h):
    return pe_machine(h.stub) != 0x14c or h.how != 'none'


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--stub', required=True)
    parser.add_argument('--launcher', required=True,
                        help='a Windows program that runs its arguments and prints "... exit=<code> ..."')
    parser.add_argument('--setup', required=True)
    parser.add_argument('--kzpack', default='')
    parser.add_argument('--keys', required=True)
    parser.add_argument('--wine-run', required=True)
    parser.add_argument('--work', required=True)
    parser.add_argument('--machine', type=lambda text: int(text, 0),
                        help='the PE machine the stub must have (0x14c: the shipped 32-bit build)')
    parser.add_argument('--prefix32', default=os.path.join(kz_cache(), 'wine32'),
                        help='a 32-bit wine prefix that reports Windows XP')
    parser.add_argument('-k', '--only', action='append',
                        help='run only scenarios whose name contains this (may be given more than once)')
    args = parser.parse_args()
    h = Harness(args)
    if args.machine is not None and pe_machine(h.stub) != args.machine:
        print('FAILED: %s has PE machine 0x%x, expected 0x%x' % (h.stub, pe_machine(h.stub), args.machine))
        return 1
    print('stub: %s (PE machine 0x%x), 32-bit programs run: %s' % (h.stub, pe_machine(h.stub), h.how))
    if not can_run(h):
        print('skip: %s is a 32-bit program and this machine cannot execute 32-bit code' % h.stub)
        return SKIP
    os.makedirs(h.work, exist_ok=True)
    h.find_temp_dir()
    h.xvfb = Xvfb(h.work)
    passed = failed = skipped = 0
    total_start = time.monotonic()
    for name, scenario in SCENARIOS:
        if args.only and not any(part in name for part in args.only):
            continue
        start = time.monotonic()
        try:
            scenario(h)
            passed += 1
            status = 'ok'
        except Skip as e:
            skipped += 1
            status = 'skipped: %s' % e
        except Failure as e:
            failed += 1
            status = 'FAILED: %s' % e
        print('%-16s %6.1f s  %s' % (name, time.monotonic() - start, status), flush=True)
    stop_gui_prefix(h)
    h.xvfb.stop()
    print('%d passed, %d failed, %d skipped in %.1f s' % (passed, failed, skipped, time.monotonic() - total_start))
    if failed:
        return 1
    return 0 if passed else SKIP


if __name__ == '__main__':
    sys.exit(main())
