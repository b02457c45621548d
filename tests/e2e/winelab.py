"""A private Wine prefix for running BrelmotCp.exe against the stand-in
pnputil.exe, and the means to lay out working directories, run programs
and read what the stand-in logged.

Used by the end-to-end tests (through ctest, which passes the locations in
the environment) and by scripts/run-sample.sh. As a script:

    winelab.py create          make the prefix afresh (the ctest fixture)
    winelab.py stop            stop the prefix's wineserver
    winelab.py sample DIR      run the tool once in a sample folder DIR

Facts about Wine 8 this relies on, checked on Debian 12:
  * The first process in a prefix starts background services that inherit
    its standard handles, so every Wine program here writes to files; a
    pipe would not reach end-of-file until those services exit.
  * QueryPerformanceCounter is the host's CLOCK_MONOTONIC_RAW in 100 ns
    units, the same in every process, so the stand-in's times compare with
    each other and with host_us().
  * The ANSI code page of a process follows its own LANG/LC_ALL, not the
    locale the wineserver was started under.
  * The working directory Wine gives a program is the Unix one under the
    nearest drive letter: Z:\\ for the Unix root unless a dosdevices link
    names a nearer folder. Past 258 characters Wine falls back to
    C:\\windows instead.
"""

import dataclasses
import fcntl
import os
import shutil
import subprocess
import sys
import threading
import time

WINE = '/usr/lib/wine/wine64'
WINESERVER = '/usr/lib/wine/wineserver'

LOG_NAME = 'pnputil-log.txt'
CONTROL_NAME = 'pnputil-control.txt'
INF_NAME = 'WudfBioUsb.inf'

# In the tool's walk order.
PACKAGES = ('inf3b17', 'inf3b18', 'inf3b19', 'inf3b1a', 'inf3b20')

SYSTEM_PNPUTIL = b'C:\\windows\\system32\\pnputil.exe'

C_LOCALE = {'LANG': 'C.UTF-8', 'LC_ALL': 'C.UTF-8'}
CP936_LOCALE = {'LANG': 'zh_CN.UTF-8', 'LC_ALL': 'zh_CN.UTF-8'}

# What a run may take at most before the harness gives up on it.
RUN_TIMEOUT_S = 120

# Prefix locks this process holds, by prefix root: a second flock on a new
# descriptor would wait for the first.
_HELD_LOCKS = {}


def host_us():
    """The clock Wine's performance counter reads, in microseconds."""
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC_RAW) // 1000


def windows_path(unix_path):
    """The path Wine shows a program for a folder outside the prefix's
    drives: the Unix root is Z:. The folder must not sit below another
    drive's folder."""
    return 'Z:' + os.path.realpath(unix_path).replace('/', '\\')


def package_inf_paths(directory):
    """The five paths the tool forms from a working directory as Windows
    sees it (text), in walk order; a drive root keeps its own backslash."""
    return [directory + '\\' + package + '\\' + INF_NAME for package in PACKAGES]


def install_command(path_bytes):
    """The command line the tool hands pnputil.exe for one package path."""
    return b'pnputil.exe /add-driver "' + path_bytes + b'" /install'


def lay_out_packages(directory, packages, inf_text='[Version]\r\nSignature="$Windows NT$"\r\n'):
    """Creates directory with the named package folders, each holding a
    small WudfBioUsb.inf."""
    os.makedirs(directory, exist_ok=True)
    for package in packages:
        os.makedirs(os.path.join(directory, package), exist_ok=True)
        with open(os.path.join(directory, package, INF_NAME), 'w', newline='') as inf:
            inf.write(inf_text)


def control_text(plan):
    """The stand-in's control file for a plan: {index or 'default':
    ('exit', code) | ('sleep', ms) | ('crash',)}."""
    lines = []
    for who, action in plan.items():
        lines.append(' '.join([str(who)] + [str(part) for part in action]))
    return ''.join(line + '\n' for line in lines)


@dataclasses.dataclass
class Record:
    kind: str          # 'start', 'end' or 'crash'
    index: int
    pid: int
    us: int
    module: bytes = None
    cmdline: bytes = None
    code: int = None


def _field(name, raw):
    prefix = name + b'='
    if not raw.startswith(prefix):
        raise ValueError('log field %r lacks %r' % (raw, prefix))
    return raw[len(prefix):]


def read_log(directory):
    """The stand-in's records in the order they were appended; [] when it
    never ran from that directory."""
    try:
        with open(os.path.join(directory, LOG_NAME), 'rb') as log:
            data = log.read()
    except FileNotFoundError:
        return []
    records = []
    for line in data.split(b'\n'):
        if not line:
            continue
        kind, rest = line.split(b'\t', 1)
        if kind == b'start':
            index, pid, us, module, cmdline = rest.split(b'\t', 4)
            record = Record('start', int(_field(b'index', index)), int(_field(b'pid', pid)),
                            int(_field(b'us', us)), module=_field(b'module', module),
                            cmdline=_field(b'cmdline', cmdline))
        elif kind == b'end':
            index, pid, us, code = rest.split(b'\t')
            record = Record('end', int(_field(b'index', index)), int(_field(b'pid', pid)),
                            int(_field(b'us', us)), code=int(_field(b'code', code)))
        elif kind == b'crash':
            index, pid, us = rest.split(b'\t')
            record = Record('crash', int(_field(b'index', index)), int(_field(b'pid', pid)),
                            int(_field(b'us', us)))
        else:
            raise ValueError('unknown log record %r' % line)
        records.append(record)
    return records


@dataclasses.dataclass
class Run:
    status: int
    stdout: bytes
    stderr: bytes
    began_us: int
    ended_us: int

    @property
    def elapsed_ms(self):
        return (self.ended_us - self.began_us) / 1000.0


class Prefix:
    """A Wine prefix kept in root/prefix, with scratch files beside it."""

    def __init__(self, root):
        self.root = os.path.realpath(root)
        self.path = os.path.join(self.root, 'prefix')
        self.system32 = os.path.join(self.path, 'drive_c', 'windows', 'system32')
        self._version_file = os.path.join(self.root, 'app-version')
        self._ready_file = os.path.join(self.path, '.brelmot-ready')

    def env(self, locale=None):
        env = {key: value for key, value in os.environ.items()
               if key not in ('DISPLAY', 'WAYLAND_DISPLAY') and not key.startswith('LC_')}
        env.update(C_LOCALE if locale is None else locale)
        env.update({
            'WINEPREFIX': self.path,
            'WINEDEBUG': '-all',
            # No Mono or Gecko installer prompts and no desktop menu entries.
            'WINEDLLOVERRIDES': 'mscoree,mshtml=;winemenubuilder.exe=d',
        })
        return env

    def lock(self):
        """Holds the prefix for this process until it exits. ctest keeps its
        own tests apart, but two ctest runs in one build tree would
        otherwise remake or stop the prefix under each other's feet."""
        if self.root in _HELD_LOCKS:
            return
        os.makedirs(self.root, exist_ok=True)
        lock = open(os.path.join(self.root, 'lock'), 'w')
        fcntl.flock(lock, fcntl.LOCK_EX)
        _HELD_LOCKS[self.root] = lock

    @property
    def ready(self):
        return os.path.exists(self._ready_file)

    def create(self):
        """Makes the prefix afresh; about ten seconds."""
        self.stop()
        shutil.rmtree(self.path, ignore_errors=True)
        if os.path.exists(self._version_file):
            os.remove(self._version_file)
        os.makedirs(self.root, exist_ok=True)
        run = self.wine(['wineboot', '-i'], cwd=self.root, name='wineboot')
        if run.status != 0 or not os.path.isdir(self.system32):
            raise RuntimeError('wineboot -i failed with %d: %r' % (run.status, run.stderr))
        with open(self._ready_file, 'w'):
            pass

    def ensure(self):
        if not self.ready:
            self.create()

    def stop(self):
        if os.path.isdir(self.path):
            subprocess.run([WINESERVER, '-k'], env=self.env(), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wine(self, args, cwd, locale=None, name='wine', timeout=RUN_TIMEOUT_S):
        """Runs WINE with args in the Unix folder cwd. The output goes
        through files (see the module notes) kept in root as name.out and
        name.err. The wait blocks in waitpid: with a timeout, subprocess
        polls with sleeps growing to 50 ms, which would put every measured
        time on a 50 ms grid. A watchdog kills a run that hangs instead;
        timeout None waits for as long as the run takes."""
        out_path = os.path.join(self.root, name + '.out')
        err_path = os.path.join(self.root, name + '.err')
        command = [WINE] + list(args)
        with open(out_path, 'wb') as out, open(err_path, 'wb') as err:
            began = host_us()
            process = subprocess.Popen(command, cwd=cwd, env=self.env(locale),
                                       stdin=subprocess.DEVNULL, stdout=out, stderr=err)
            fired = threading.Event()
            watchdog = None
            if timeout is not None:
                def kill():
                    fired.set()
                    process.kill()
                watchdog = threading.Timer(timeout, kill)
                watchdog.start()
            status = process.wait()
            ended = host_us()
        if watchdog is not None:
            watchdog.cancel()
        if fired.is_set():
            raise RuntimeError('%s did not end within %d s' % (' '.join(command), timeout))
        with open(out_path, 'rb') as out, open(err_path, 'rb') as err:
            return Run(status, out.read(), err.read(), began, ended)

    def set_version(self, version):
        """Sets the Windows version Wine reports to BrelmotCp.exe (by image
        name, so copies elsewhere get it too). Remembered, so asking for
        the current one again costs nothing."""
        try:
            with open(self._version_file) as current:
                if current.read() == version:
                    return
        except FileNotFoundError:
            pass
        run = self.wine(['reg', 'add', 'HKCU\\Software\\Wine\\AppDefaults\\BrelmotCp.exe',
                         '/v', 'Version', '/d', version, '/f'], cwd=self.root, name='reg')
        if run.status != 0:
            raise RuntimeError('reg add failed with %d: %r' % (run.status, run.stderr))
        with open(self._version_file, 'w') as current:
            current.write(version)

    def run_tool(self, image, cwd, version='win10', locale=None):
        self.set_version(version)
        return self.wine([image], cwd=cwd, locale=locale, name='tool')

    def install_standin(self, standin, plan=None, directory=None):
        """Puts the stand-in as pnputil.exe into directory (the system
        directory by default) with a control file for plan and no log."""
        directory = directory or self.system32
        os.makedirs(directory, exist_ok=True)
        shutil.copyfile(standin, os.path.join(directory, 'pnputil.exe'))
        with open(os.path.join(directory, CONTROL_NAME), 'w') as control:
            control.write(control_text(plan or {'default': ('exit', 0)}))
        log = os.path.join(directory, LOG_NAME)
        if os.path.exists(log):
            os.remove(log)

    def remove_standin(self):
        for name in ('pnputil.exe', CONTROL_NAME, LOG_NAME):
            path = os.path.join(self.system32, name)
            if os.path.exists(path):
                os.remove(path)

    def system_log(self):
        return read_log(self.system32)

    def map_drive(self, letter, target):
        """Gives the Unix folder target the drive letter letter."""
        link = os.path.join(self.path, 'dosdevices', letter.lower() + ':')
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(os.path.realpath(target), link)

    def unmap_drive(self, letter):
        link = os.path.join(self.path, 'dosdevices', letter.lower() + ':')
        if os.path.lexists(link):
            os.remove(link)

    def processes(self):
        """The prefix's Windows processes as (image name, pid) pairs, from
        the Wine process list (Wine 8's tasklist prints nothing; wmic
        works)."""
        run = self.wine(['wmic', 'process', 'get', 'ProcessId,Name'], cwd=self.root,
                        name='wmic')
        text = run.stdout.decode('utf-16') if run.stdout else ''
        listed = []
        for line in text.splitlines()[1:]:
            parts = line.split()
            if len(parts) >= 2 and parts[-1].isdigit():
                listed.append((' '.join(parts[:-1]), int(parts[-1])))
        # An empty list would pass for "nothing left running"; wmic always
        # lists itself.
        if run.status != 0 or not any(name.lower() == 'wmic.exe' for name, _ in listed):
            raise RuntimeError('no process list from wmic (%d): %r %r'
                               % (run.status, run.stdout, run.stderr))
        return listed


def _sample(prefix, image, standin, directory):
    """The newcomer's first run: two packages, the tool once, and what the
    stand-in was asked to do."""
    prefix.ensure()
    prefix.install_standin(standin)
    sample_text = ('; Sample driver package for trying BrelmotCp.exe out; pnputil.exe\r\n'
                   '; here is a stand-in that only records its command line.\r\n'
                   '[Version]\r\nSignature="$Windows NT$"\r\n')
    shutil.rmtree(directory, ignore_errors=True)
    lay_out_packages(directory, ['inf3b18', 'inf3b1a'], sample_text)
    try:
        run = prefix.run_tool(image, cwd=directory, version='win10')
        starts = [record for record in prefix.system_log() if record.kind == 'start']
    finally:
        prefix.stop()
    out = sys.stdout.buffer
    out.write(b'working directory: %s\n' % windows_path(directory).encode())
    out.write(b'exit status: %d\n' % run.status)
    out.write(b'stdout: %d bytes %r\n' % (len(run.stdout), run.stdout))
    out.write(b'stderr: %d bytes %r\n' % (len(run.stderr), run.stderr))
    out.write(b'pnputil.exe runs: %d\n' % len(starts))
    for record in starts:
        out.write(b'  %s  %s\n' % (record.module, record.cmdline))
    out.flush()
    return 0 if run.status == 0 else 1


def main(argv):
    if len(argv) < 2 or argv[1] not in ('create', 'stop', 'sample') or (
            argv[1] == 'sample' and len(argv) != 3):
        sys.stderr.write(__doc__)
        return 2
    prefix = Prefix(os.environ['BRELMOT_E2E_ROOT'])
    prefix.lock()
    if argv[1] == 'create':
        prefix.create()
        return 0
    if argv[1] == 'stop':
        prefix.stop()
        return 0
    return _sample(prefix, os.environ['BRELMOT_IMAGE'],
                   os.path.join(os.environ['BRELMOT_WINDOWS_DIR'], 'pnputil.exe'), argv[2])


if __name__ == '__main__':
    sys.exit(main(sys.argv))
