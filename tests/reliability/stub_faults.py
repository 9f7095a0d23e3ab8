#!/usr/bin/env python3
"""Runs of the real Stub.exe under wine for the
reliability checks: refused installers from the corruption sweep, a setup
program that cannot start, interrupted runs, the stub's memory while setup
waits, and a LOAD of more than 1 GiB with the stub's peak working set.

Each run looks at what a user sees: the exit code (the whole code, printed
on the Windows side by the launcher: wine hands a Unix parent only its low 8
bits), whether setup started (the demo setup writes KZ_SETUP_REPORT), and
which "ITMPD_" workspaces are left in wine's temporary folder. The private wine prefix (WINEPREFIX, a copy
of the project's) means every wine process in it belongs to these runs.

  stub_faults.py --stub Stub.exe --setup setup.exe --sleeper sleeper_setup.exe
                 --launcher peakmem.exe --kzpack kzpack --wine-run scripts/wine-run --work DIR
                 [--probe memory_probe.exe] [--refused DIR] [--large] [--scenarios a,b,...]
Prints one line per run and a table at the end; exit 1 when a run shows a
fault (setup started from a refused installer, a workspace left where the
process could clean up, an exit code that reports a failure as a success).
"""
import argparse
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
DEBUGSTR = re.compile(r'(?:trace|warn):debugstr:OutputDebugStringA "(.*)"$')
LAUNCHER_LINE = re.compile(r'^elapsed_ms=\S+ peak_ws_kib=\d+ exit=(\d+) ', re.M)


def windows_path(path):
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


class Runner:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        os.makedirs(self.work, exist_ok=True)
        self.prefix = os.environ['WINEPREFIX']
        self.report = os.path.join(self.work, 'report.txt')
        self.temp_dir = None
        self.rows = []
        self.faults = 0

    def env(self, debug=True):
        env = dict(os.environ)
        env['WINEDEBUG'] = '-all,+debugstr' if debug else '-all'
        env['KZ_SETUP_REPORT'] = windows_path(self.report)
        return env

    def wine(self, *args):
        return subprocess.run([self.args.wine_run] + list(args), stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, env=self.env(False),
                              timeout=180).stdout.decode('utf-8', 'replace')

    def find_temp(self):
        text = self.wine('cmd', '/c', 'echo', '%TEMP%').strip().splitlines()[-1].strip()
        drive = os.path.join(self.prefix, 'dosdevices', text[0].lower() + ':')
        self.temp_dir = os.path.realpath(os.path.join(drive, *text[3:].split('\\')))
        self.wine('reg', 'add', 'HKLM\\Software\\Tolvekar', '/v', 'KZSTR', '/t', 'REG_SZ', '/d', '!Diagnose!', '/f',
                  '/reg:64')

    def workspaces(self):
        if not os.path.isdir(self.temp_dir):
            return set()
        return {n for n in os.listdir(self.temp_dir) if n.startswith('ITMPD_')}

    def our_wine_pids(self, name):
        """Linux pids of wine processes in our private prefix whose command line names `name`."""
        pids = []
        for pid in os.listdir('/proc'):
            if not pid.isdigit():
                continue
            try:
                # Windows programs only: their Linux executable is wine's
                # loader, or qemu running the 32-bit loader.
                exe = os.readlink('/proc/%s/exe' % pid)
                if int(pid) == os.getpid() or not (exe.startswith('/usr/lib/wine/')
                                                   or os.path.basename(exe).startswith('qemu-')):
                    continue
                with open('/proc/%s/environ' % pid, 'rb') as f:
                    if ('WINEPREFIX=' + self.prefix).encode() not in f.read().split(b'\0'):
                        continue
                with open('/proc/%s/cmdline' % pid, 'rb') as f:
                    command = f.read()
                # The launcher's command line names the installer too.
                if name.encode() in command and os.path.basename(self.args.launcher).encode() not in command:
                    pids.append(int(pid))
            except OSError:
                continue
        return pids

    @staticmethod
    def peak_kib(pid):
        try:
            with open('/proc/%d/status' % pid) as f:
                for line in f:
                    if line.startswith('VmHWM:'):
                        return int(line.split()[1])
        except OSError:
            pass
        return 0

    def run(self, exe, args=('/S',), timeout=600, during=None):
        """Runs an installer; `during(proc)` is called every 0.2 s while it runs."""
        if os.path.exists(self.report):
            os.remove(self.report)
        before = self.workspaces()
        start = time.monotonic()
        proc = subprocess.Popen([self.args.wine_run, self.args.launcher, windows_path(exe)] + list(args),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                env=self.env(), start_new_session=True)
        err_chunks, out_chunks = [], []
        import threading
        reader = threading.Thread(target=lambda: err_chunks.append(proc.stderr.read()))
        reader.start()
        out_reader = threading.Thread(target=lambda: out_chunks.append(proc.stdout.read()))
        out_reader.start()
        peak = 0
        while proc.poll() is None:
            for pid in self.our_wine_pids(os.path.basename(exe)):
                peak = max(peak, self.peak_kib(pid))
            if during:
                during(proc)
            if time.monotonic() - start > timeout:
                os.killpg(proc.pid, signal.SIGKILL)
                break
            time.sleep(0.2)
        proc.wait()
        reader.join()
        out_reader.join()
        # None when the launcher itself was killed.
        codes = LAUNCHER_LINE.findall(out_chunks[0].decode('utf-8', 'replace'))
        lines = [DEBUGSTR.search(l).group(1) for l in err_chunks[0].decode('utf-8', 'replace').splitlines()
                 if DEBUGSTR.search(l)]
        left = self.workspaces() - before
        return {'code': int(codes[-1]) if codes else None, 'started': os.path.exists(self.report), 'left': sorted(left),
                'lines': lines, 'seconds': time.monotonic() - start, 'peak_kib': peak}

    def record(self, scenario, result, expect_started, expect_left, note='', expect_codes=None):
        ok = result['started'] == expect_started and bool(result['left']) == expect_left and \
            (expect_codes is None or result['code'] in expect_codes)
        if not ok:
            self.faults += 1
        row = '%-44s exit %-4s setup %-11s workspace %-8s %5.1f s %s%s' % (
            scenario, result['code'], 'started' if result['started'] else 'not started',
            'LEFT' if result['left'] else 'removed', result['seconds'], note, '' if ok else '  <-- FAULT')
        print(row, flush=True)
        if os.environ.get('KZ_REL_VERBOSE'):
            for line in result['lines'][-8:]:
                print('    | ' + line, flush=True)
        self.rows.append(row)

    def remove_left(self, result):
        for name in result['left']:
            shutil.rmtree(os.path.join(self.temp_dir, name), ignore_errors=True)

    def build(self, name, setup, files, run_type='silent', chunk_size=1048576, compression=9):
        folder = os.path.join(self.work, name)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        keys = os.path.join(ROOT, 'keys')
        lines = ['stub = "%s"' % os.path.abspath(self.args.stub), 'setup = "%s"' % setup, 'type = "%s"' % run_type,
                 'chunk_size = %d' % chunk_size, 'compression = %d' % compression, '', '[keys]',
                 'bundle_signing = "%s/dev_bundle_signing.key.der"' % keys,
                 'bundle_root = "%s/dev_bundle_root.key.der"' % keys,
                 'image_root = "%s/dev_image_root.key.der"' % keys]
        for entry, source in files.items():
            lines += ['', '[[file]]', 'source = "%s"' % source, 'name = "%s"' % entry]
        project = os.path.join(folder, 'project.toml')
        with open(project, 'w') as f:
            f.write('\n'.join(lines) + '\n')
        out = os.path.join(folder, name + '.exe')
        proc = subprocess.run([self.args.kzpack, 'build', project, '-o', out, '--development-keys'], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=1800)
        if proc.returncode != 0:
            raise SystemExit('kzpack build %s failed:\n%s' % (name, proc.stdout.decode('utf-8', 'replace')))
        return out

    def small_files(self):
        path = os.path.join(self.work, 'readme.txt')
        with open(path, 'w') as f:
            f.write('read me\r\n' * 20)
        return {'readme.txt': path}


def scenario_pristine(r):
    exe = r.build('small', os.path.abspath(r.args.setup), r.small_files())
    res = r.run(exe)
    r.record('pristine installer', res, True, False, expect_codes=[0])


def scenario_refused(r):
    if not r.args.refused:
        return
    for name in sorted(os.listdir(r.args.refused)):
        res = r.run(os.path.join(r.args.refused, name), timeout=300)
        # Refused by the installer's own signature (2) or by the worker (1603).
        r.record('refused: ' + name[:60], res, False, False, expect_codes=[1, 2, 1603])
        r.remove_left(res)


def scenario_setup_cannot_start(r):
    # A setup program for a processor this machine does not have: signed and
    # packed like any other, but CreateProcessW refuses it.
    with open(os.path.abspath(r.args.setup), 'rb') as f:
        data = bytearray(f.read())
    nt = struct.unpack_from('<I', data, 0x3c)[0]
    struct.pack_into('<H', data, nt + 4, 0xAA64)
    bad = os.path.join(r.work, 'arm64_setup.exe')
    with open(bad, 'wb') as f:
        f.write(data)
    exe = r.build('nostart', bad, r.small_files())
    res = r.run(exe)
    r.record('setup fails to start (ARM64 image)', res, False, False, expect_codes=[1603])
    r.remove_left(res)


def scenario_interrupted(r):
    exe = r.build('sleeper', os.path.abspath(r.args.sleeper), r.small_files())

    # Setup ended from outside while it runs (TerminateProcess, as a task
    # manager does it): the stub sees it end and cleans up, though the image
    # file may stay held for a moment after the process handle is signalled.
    killed = []

    def kill_setup(proc):
        if os.path.exists(r.report) and not killed:
            killed.append(r.wine('taskkill', '/F', '/IM', 'setup.exe'))
    res = r.run(exe, during=kill_setup, timeout=300)
    r.record('interrupted: setup killed while running', res, True, False)
    r.remove_left(res)

    # The stub itself killed while setup runs: nothing can clean up after a
    # killed process; the workspace stays (with setup still running in it).
    def kill_stub(proc):
        if os.path.exists(r.report):
            for pid in r.our_wine_pids(os.path.basename(exe)):
                os.kill(pid, signal.SIGKILL)
            for pid in r.our_wine_pids('setup.exe'):
                os.kill(pid, signal.SIGKILL)
    res = r.run(exe, during=kill_stub, timeout=300)
    r.record('interrupted: stub killed while setup runs', res, True, True, '(by design: no cleanup after a kill)')
    r.remove_left(res)


def scenario_large(r):
    if not r.args.large:
        return
    big = os.path.join(r.work, 'big.bin')
    size = (1 << 30) + 4096
    if not os.path.exists(big) or os.path.getsize(big) != size:
        with open(big, 'wb') as f:
            block = os.urandom(1 << 20)
            for i in range(size >> 20):
                f.write(bytes([i & 0xFF]) + block[1:])
            f.write(os.urandom(size & 0xFFFFF))
    t = time.monotonic()
    exe = r.build('large', os.path.abspath(r.args.setup), {'big.bin': big}, compression=0)
    print('large installer: %d bytes, built in %.0f s' % (os.path.getsize(exe), time.monotonic() - t), flush=True)
    res = r.run(exe, timeout=3600)
    note = 'peak working set %.1f MiB' % (res['peak_kib'] / 1024.0)
    r.record('LOAD of %.2f GiB' % (os.path.getsize(exe) / float(1 << 30)), res, True, False, note)
    if res['peak_kib'] >= 64 * 1024:
        r.faults += 1
        print('  <-- FAULT: peak working set reached 64 MiB')
    r.remove_left(res)
    os.remove(exe)


def scenario_memory(r):
    """Once the script has run, the stub lets go of its chunk buffers and
    compute threads: while setup waits, its working set and private bytes are
    back within a few MiB of where they were before the extraction."""
    if not r.args.probe:
        return
    data = os.path.join(r.work, 'memory.bin')
    with open(data, 'wb') as f:
        f.write(os.urandom(24 << 20))
    # Chunks of 4 MiB: the slots alone hold tens of MiB while they exist.
    exe = r.build('memory', os.path.abspath(r.args.sleeper), {'memory.bin': data}, chunk_size=4 << 20,
                  compression=1)
    probe = subprocess.Popen([r.args.wine_run, os.path.abspath(r.args.probe), os.path.basename(exe), 'memory.bin'],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                             env=r.env(False))
    killed = []

    def end_setup(proc):
        if os.path.exists(r.report) and probe.poll() is not None and not killed:
            killed.append(r.wine('taskkill', '/F', '/IM', 'setup.exe'))
    res = r.run(exe, during=end_setup, timeout=300)
    out = probe.communicate(timeout=60)[0].decode('utf-8', 'replace').strip()
    figures = dict((k, int(v)) for k, v in re.findall(r'(\w+)_kib=(\d+)', out))
    allowed = 8 << 10
    grew = [what for what in ('ws', 'private') if 'after_' + what not in figures
            or figures['after_' + what] > figures['before_' + what] + allowed]
    note = out if out else 'no reading'
    r.record('memory while setup waits', res, True, False, note)
    if grew:
        r.faults += 1
        print('  <-- FAULT: %s more than 8 MiB above the level before the extraction' % ' and '.join(grew))
    r.remove_left(res)
    os.remove(data)


SCENARIOS = {'pristine': scenario_pristine, 'refused': scenario_refused, 'nostart': scenario_setup_cannot_start,
             'interrupted': scenario_interrupted, 'large': scenario_large, 'memory': scenario_memory}


def main():
    p = argparse.ArgumentParser()
    p.add_argument('--stub', required=True)
    p.add_argument('--setup', required=True)
    p.add_argument('--sleeper', required=True, help='a setup program that runs until it is killed')
    p.add_argument('--launcher', required=True, help='runs its arguments and prints "... exit=<code> ..."')
    p.add_argument('--kzpack', required=True)
    p.add_argument('--wine-run', required=True)
    p.add_argument('--machine', type=lambda text: int(text, 0),
                   help='the PE machine the stub must have (0x14c: the shipped 32-bit build)')
    p.add_argument('--probe', help='memory_probe.exe: the stub\'s memory before and after the extraction')
    p.add_argument('--work', required=True)
    p.add_argument('--refused')
    p.add_argument('--large', action='store_true')
    p.add_argument('--scenarios', default=','.join(SCENARIOS))
    args = p.parse_args()
    if 'WINEPREFIX' not in os.environ:
        raise SystemExit('set WINEPREFIX to a private copy of the project prefix')
    args.wine_run = os.path.abspath(args.wine_run)
    args.launcher = os.path.abspath(args.launcher)
    if args.machine is not None:
        with open(args.stub, 'rb') as f:
            head = f.read(4096)
        machine = struct.unpack_from('<H', head, struct.unpack_from('<I', head, 0x3c)[0] + 4)[0]
        if machine != args.machine:
            raise SystemExit('%s has PE machine 0x%x, expected 0x%x' % (args.stub, machine, args.machine))
    r = Runner(args)
    r.find_temp()
    for name in args.scenarios.split(','):
        SCENARIOS[name](r)
    print('\n%d runs, %d faults' % (len(r.rows), r.faults))
    return 1 if r.faults else 0


if __name__ == '__main__':
    sys.exit(main())
