#!/usr/bin/python3
"""Times BrelmotCp.exe under Wine against the floor and the batch file a user
would write instead, and measures its time-out and its image size.

    bench.py                    the full run, a few minutes on two cores
    bench.py --rounds 400       more rounds for tighter figures
    bench.py --quick            one round of everything: a smoke check that
                                every program starts the children it should

Programs, all started with the stand-in pnputil.exe in the prefix's
system32, exiting at once, and five package folders in the working folder:
  A   BrelmotCp.exe
  B   reference_launcher.exe: the same five CreateProcessA calls, nothing else
  C   cmd /c bench.cmd: five `if exist ... pnputil.exe /add-driver ...` lines
  A0  BrelmotCp.exe in a folder with no package
  B0  reference_idle.exe: the same start-up, no children

Two clocks:
  inside Wine  timing_driver.exe times CreateProcess to the end of the wait
               with QueryPerformanceCounter. This is what a setup program
               starting the tool pays, and it leaves out the start-up of the
               wine64 command itself, so it is the headline.
  host wall    the host's monotonic clock around one wine64 process per run. It
               adds the wine64 command's own start-up, which is not the
               same for every program (cmd.exe started that way costs tens
               of ms more than when a Windows process starts it), so it is
               the less faithful of the two.
Everything Wine runs is pinned to one CPU (the benchmark pins itself before
it starts the wineserver, and every process inherits that): on this
two-CPU virtual machine, wake-ups across CPUs stall Wine's process start-up
by 15 to 30 ms at random, which tripled the spread and doubled the times of
every program alike. --no-pin measures without it.

Each round runs A B C A0 B0 in that order, after warm-up rounds; ratios are
taken round by round and then summarised (median, quartiles, extremes).
The "fastest" column is the ratio of the two programs' fastest runs: other
work on the machine only ever adds time, so it is the figure least moved by
a busy host, a second opinion beside the median.

The figures go to a table on stdout and, as JSON, to build/bench/results.json
(build/bench/smoke.json with --quick), so a later change can be compared.
The process exits non-zero only when the benchmark itself could not be run
faithfully (a program failed, or started the wrong children); a missed
target is reported, not an error.
"""

import argparse
import datetime
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
sys.path.insert(0, os.path.join(ROOT, 'tests', 'e2e'))

import winelab  # noqa: E402  (the end-to-end harness's prefix helpers)

PACKAGE_COUNT = len(winelab.PACKAGES)
INSTALL_WAIT_MS = 5000

# Where the benchmark lives inside the prefix's C: drive.
BENCH_DOS = 'C:\\bench'
BIN_DOS = BENCH_DOS + '\\bin'
WORK_DOS = BENCH_DOS + '\\work'
EMPTY_DOS = BENCH_DOS + '\\empty'
SYSTEM32_DOS = 'C:\\windows\\system32'

BATCH_NAME = 'bench.cmd'


class Variant:
    def __init__(self, key, title, image, folder, children, driver_args=None, host_args=None):
        self.key = key
        self.title = title
        self.image = image            # file name in the build tree, None for cmd
        self.folder = folder          # WORK_DOS or EMPTY_DOS
        self.children = children      # stand-in starts one run must make
        self.driver_args = driver_args
        self.host_args = host_args


VARIANTS = [
    Variant('A', 'BrelmotCp.exe, five packages', 'BrelmotCp.exe', WORK_DOS, PACKAGE_COUNT),
    Variant('B', 'reference launcher, five children', 'bench/reference_launcher.exe', WORK_DOS,
            PACKAGE_COUNT),
    # A user would drop bench.cmd beside the packages and run it there.
    Variant('C', 'cmd /c bench.cmd, five packages', None, WORK_DOS, PACKAGE_COUNT,
            driver_args=(SYSTEM32_DOS + '\\cmd.exe', 'cmd.exe /c ' + BATCH_NAME),
            host_args=['cmd', '/c', BATCH_NAME]),
    Variant('A0', 'BrelmotCp.exe, no package', 'BrelmotCp.exe', EMPTY_DOS, 0),
    Variant('B0', 'reference, no children', 'bench/reference_idle.exe', EMPTY_DOS, 0),
]
VARIANT_BY_KEY = {variant.key: variant for variant in VARIANTS}

RATIOS = [('A/B', 'A', 'B'), ('A/C', 'A', 'C'), ('A0/B0', 'A0', 'B0')]
DIFFERENCES = [('A-B', 'A', 'B'), ('A0-B0', 'A0', 'B0')]

TARGETS = {
    'A/B': 'median per-round ratio A/B at most 1.02 (inside Wine)',
    'A/C': 'median per-round ratio A/C well under 1 (inside Wine)',
    'kill_delay': 'every time-out run of A under 20 ms past 5000 ms',
    'image': 'BrelmotCp.exe under 16 KiB',
}


def batch_text():
    """The batch file a user would write instead of the tool. pnputil.exe
    is named by full path, as the tool names it: a bare name would have cmd
    search the working folder before PATH, which is both slower and the
    planted-program hole the tool avoids, so it is not the fair rival."""
    lines = ['@echo off']
    for package in winelab.PACKAGES:
        inf = '"%CD%\\' + package + '\\' + winelab.INF_NAME + '"'
        lines.append('if exist ' + inf + ' "%SystemRoot%\\System32\\pnputil.exe" /add-driver '
                     + inf + ' /install')
    return ''.join(line + '\r\n' for line in lines)


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = os.path.realpath(args.build_dir)
        self.prefix = winelab.Prefix(args.prefix_root)
        self.drive_c = os.path.join(self.prefix.path, 'drive_c')
        self.bench_dir = os.path.join(self.drive_c, 'bench')
        self.work_dir = os.path.join(self.bench_dir, 'work')
        self.empty_dir = os.path.join(self.bench_dir, 'empty')
        self.log_path = os.path.join(self.prefix.system32, winelab.LOG_NAME)

    # -- the prefix -------------------------------------------------------

    def built(self, name):
        path = os.path.join(self.build, name)
        if not os.path.isfile(path):
            raise SystemExit('missing %s: build the mingw preset first (bench/run.sh does)'
                             % path)
        return path

    def host_folder(self, dos_folder):
        return {WORK_DOS: self.work_dir, EMPTY_DOS: self.empty_dir}[dos_folder]

    def set_up(self):
        images = {name: self.built(name) for name in
                  ('BrelmotCp.exe', 'pnputil.exe', 'bench/reference_launcher.exe',
                   'bench/reference_idle.exe', 'bench/timing_driver.exe')}
        self.prefix.ensure()
        # A server that stays up for the whole run, started afresh: the
        # background services then start once, inside the warm-up, instead
        # of again whenever a gap lets the server's idle time-out lapse.
        self.prefix.stop()
        subprocess.run([winelab.WINESERVER, '-p'], env=self.prefix.env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        self.prefix.set_version('win10')
        self.prefix.install_standin(images['pnputil.exe'])

        shutil.rmtree(self.bench_dir, ignore_errors=True)
        os.makedirs(os.path.join(self.bench_dir, 'bin'))
        for name, path in images.items():
            if name != 'pnputil.exe':
                shutil.copyfile(path, os.path.join(self.bench_dir, 'bin', os.path.basename(name)))
        winelab.lay_out_packages(self.work_dir, winelab.PACKAGES)
        os.makedirs(self.empty_dir)
        with open(os.path.join(self.work_dir, BATCH_NAME), 'w', newline='') as batch:
            batch.write(batch_text())
        self.images = images

    def tear_down(self):
        self.prefix.stop()

    # -- running ------------------------------------------------------------

    def wine(self, args, cwd, name, timeout=winelab.RUN_TIMEOUT_S):
        """One wine64 process with its output in files; returns its status
        and the seconds it took by the host's clock."""
        try:
            run = self.prefix.wine(args, cwd, name=name, timeout=timeout)
        except RuntimeError as hung:
            raise SystemExit(str(hung))
        return run.status, run.elapsed_ms / 1000.0

    def host_args(self, variant):
        if variant.host_args is not None:
            return variant.host_args
        return [BIN_DOS + '\\' + os.path.basename(variant.image)]

    def driver_args(self, variant):
        if variant.driver_args is not None:
            return variant.driver_args
        name = os.path.basename(variant.image)
        return BIN_DOS + '\\' + name, name

    def reset_log(self):
        if os.path.exists(self.log_path):
            os.remove(self.log_path)

    def starts(self):
        return [record for record in winelab.read_log(self.prefix.system32)
                if record.kind == 'start']

    def check_children(self):
        """Runs every program once and checks that it started what it
        should: A and B the same five command lines, exactly the tool's,
        C five starts of the same pnputil.exe, A0 and B0 none. A floor that
        did less than the tool, or a batch file that silently found nothing,
        would make every figure below a lie."""
        seen = {}
        for variant in VARIANTS:
            self.reset_log()
            status, _ = self.wine(self.host_args(variant), self.host_folder(variant.folder),
                                  'check-' + variant.key)
            starts = self.starts()
            if status != 0 or len(starts) != variant.children:
                raise SystemExit('%s (%s) exited %d and started %d children, not %d'
                                 % (variant.key, variant.title, status, len(starts),
                                    variant.children))
            for record in starts:
                if record.module.lower() != winelab.SYSTEM_PNPUTIL.lower():
                    raise SystemExit('%s started %r, not the system pnputil.exe'
                                     % (variant.key, record.module))
            seen[variant.key] = [record.cmdline for record in starts]
        expected = [winelab.install_command(path.encode('ascii'))
                    for path in winelab.package_inf_paths(WORK_DOS)]
        for key in ('A', 'B'):
            if seen[key] != expected:
                raise SystemExit('%s ran %r, expected %r' % (key, seen[key], expected))
        return {key: [line.decode('latin-1') for line in lines] for key, lines in seen.items()
                if lines}

    def time_inside_wine(self, rounds, warmup):
        plan_path = os.path.join(self.bench_dir, 'plan.txt')
        result_path = os.path.join(self.bench_dir, 'driver-results.txt')
        lines = ['rounds\t%d' % rounds, 'warmup\t%d' % warmup,
                 'log\t%s\\%s' % (SYSTEM32_DOS, winelab.LOG_NAME)]
        for variant in VARIANTS:
            application, command_line = self.driver_args(variant)
            lines.append('\t'.join(['run', variant.key, variant.folder, application,
                                    command_line]))
        with open(plan_path, 'w', newline='') as plan:
            plan.write(''.join(line + '\r\n' for line in lines))
        status, _ = self.wine([BIN_DOS + '\\timing_driver.exe', BENCH_DOS + '\\plan.txt',
                               BENCH_DOS + '\\driver-results.txt'], self.bench_dir, 'driver',
                              timeout=None)
        if status != 0:
            raise SystemExit('timing_driver.exe failed with %d; see %s'
                             % (status, os.path.join(self.prefix.root, 'driver.err')))
        samples = {variant.key: [] for variant in VARIANTS}
        with open(result_path) as results:
            for line in results:
                key, round_text, microseconds, code, starts = line.rstrip('\r\n').split('\t')
                variant = VARIANT_BY_KEY[key]
                if int(code) != 0 or int(starts) != variant.children:
                    raise SystemExit('inside Wine, %s exited %s with %s children in round %s'
                                     % (key, code, starts, round_text))
                if int(round_text) >= 0:
                    samples[key].append(int(microseconds) / 1000.0)
        for key, values in samples.items():
            if len(values) != rounds:
                raise SystemExit('inside Wine, %s has %d of %d rounds' % (key, len(values),
                                                                          rounds))
        return samples

    def time_host_wall(self, rounds, warmup):
        samples = {variant.key: [] for variant in VARIANTS}
        for round_index in range(-warmup, rounds):
            for variant in VARIANTS:
                self.reset_log()
                status, seconds = self.wine(self.host_args(variant),
                                            self.host_folder(variant.folder), 'host-run')
                starts = len(self.starts())
                if status != 0 or starts != variant.children:
                    raise SystemExit('host wall, %s exited %d with %d children in round %d'
                                     % (variant.key, status, starts, round_index))
                if round_index >= 0:
                    samples[variant.key].append(seconds * 1000.0)
        return samples

    def time_kill_delay(self, runs):
        """The first child sleeps well past the bound and the rest exit at
        once. The gap between the first two starts, both stamped by the
        stand-in with the shared performance counter, less the bound, is
        what the time-out costs beyond itself: the wait's lateness, the kill
        and the next launch. The stamps are taken at each child's first
        instruction, so the gap also holds the next child's start-up and
        lacks the part of the hung child's start-up that overlaps the wait;
        under Wine those are each around 10 ms and need not cancel, so a
        run can even come out below 5000 ms. The reference launcher waits with
        the same bound and kills the same way: its figure, taken the same
        way in alternate runs, is this measure's floor. The gaps between the
        later, ordinary starts of the same runs show a plain launch for
        comparison."""
        sleeper = {0: ('sleep', 3 * INSTALL_WAIT_MS), 'default': ('exit', 0)}
        delays = {'A': [], 'B': []}
        ordinary_gaps = {'A': [], 'B': []}
        try:
            for run in range(runs):
                for key in ('A', 'B'):
                    variant = VARIANT_BY_KEY[key]
                    self.prefix.install_standin(self.images['pnputil.exe'], sleeper)
                    status, _ = self.wine(self.host_args(variant), self.work_dir, 'kill-delay')
                    records = winelab.read_log(self.prefix.system32)
                    starts = sorted((record for record in records if record.kind == 'start'),
                                    key=lambda record: record.index)
                    ended = {record.index for record in records if record.kind == 'end'}
                    if status != 0 or len(starts) != PACKAGE_COUNT or 0 in ended:
                        raise SystemExit('time-out run %d of %s: exit %d, %d starts, first '
                                         'child %s' % (run, key, status, len(starts),
                                                       'ended on its own' if 0 in ended
                                                       else 'killed'))
                    delays[key].append((starts[1].us - starts[0].us) / 1000.0
                                       - INSTALL_WAIT_MS)
                    ordinary_gaps[key].extend((later.us - earlier.us) / 1000.0
                                              for earlier, later in zip(starts[1:], starts[2:]))
        finally:
            self.prefix.install_standin(self.images['pnputil.exe'])
        return delays, ordinary_gaps


# -- figures ------------------------------------------------------------------

def summary(values):
    ordered = sorted(values)
    if len(ordered) >= 2:
        q1, median, q3 = statistics.quantiles(ordered, n=4, method='inclusive')
    else:
        q1 = median = q3 = ordered[0]
    return {'n': len(ordered), 'median': median, 'q1': q1, 'q3': q3, 'iqr': q3 - q1,
            'min': ordered[0], 'max': ordered[-1]}


def median_ci95(values, resamples=2000):
    """A bootstrap 95% interval of the median: how far the figure could
    move if the rounds were run again. Seeded, so the same samples always
    give the same interval."""
    draw = random.Random(20240601)
    count = len(values)
    medians = sorted(statistics.median(draw.choices(values, k=count))
                     for _ in range(resamples))
    return [medians[int(0.025 * resamples)], medians[int(0.975 * resamples) - 1]]


def ratio_summary(values):
    figures = summary(values)
    figures['median_ci95'] = median_ci95(values)
    return figures


def clock_figures(samples):
    figures = {'ms': {key: summary(values) for key, values in samples.items()}}
    figures['ratios'] = {
        name: ratio_summary([a / b for a, b in zip(samples[top], samples[bottom])])
        for name, top, bottom in RATIOS}
    # Interference from other work only ever adds time, so the fastest run
    # of each is the least disturbed; their ratio is a second opinion when
    # the machine was busy.
    figures['ratios_of_fastest'] = {name: min(samples[top]) / min(samples[bottom])
                                    for name, top, bottom in RATIOS}
    figures['differences_ms'] = {
        name: summary([a - b for a, b in zip(samples[top], samples[bottom])])
        for name, top, bottom in DIFFERENCES}
    figures['samples_ms'] = {key: [round(value, 3) for value in values]
                             for key, values in samples.items()}
    return figures


def wine_version():
    try:
        completed = subprocess.run([winelab.WINE, '--version'], capture_output=True, text=True,
                                   timeout=30)
        return completed.stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return 'unknown'


def git_head():
    try:
        completed = subprocess.run(['git', '-C', ROOT, 'rev-parse', 'HEAD'], capture_output=True,
                                   text=True, timeout=30)
        return completed.stdout.strip() or 'unknown'
    except (OSError, subprocess.SubprocessError):
        return 'unknown'


def print_clock(title, figures):
    print(title)
    print('  %-40s %9s %9s %9s %9s %9s' % ('[ms]', 'median', 'q1', 'q3', 'min', 'max'))
    for variant in VARIANTS:
        row = figures['ms'][variant.key]
        print('  %-40s %9.2f %9.2f %9.2f %9.2f %9.2f'
              % ('%-3s %s' % (variant.key, variant.title), row['median'], row['q1'], row['q3'],
                 row['min'], row['max']))
    print('  %-40s %9s %9s %9s %9s %9s %9s  %s' % ('per round', 'median', 'q1', 'q3', 'min',
                                                   'max', 'fastest', 'median 95% CI'))
    for name, _, _ in RATIOS:
        row = figures['ratios'][name]
        print('  %-40s %9.4f %9.4f %9.4f %9.4f %9.4f %9.4f  %.4f-%.4f'
              % (name, row['median'], row['q1'], row['q3'], row['min'], row['max'],
                 figures['ratios_of_fastest'][name], row['median_ci95'][0],
                 row['median_ci95'][1]))
    for name, _, _ in DIFFERENCES:
        row = figures['differences_ms'][name]
        print('  %-40s %9.2f %9.2f %9.2f %9.2f %9.2f'
              % (name + ' [ms]', row['median'], row['q1'], row['q3'], row['min'], row['max']))
    print()


def report(results):
    meta = results['meta']
    print('BrelmotCp.exe benchmark: %s, %d CPUs; %d rounds inside Wine and %d by the host '
          'clock, each after %d warm-up; order %s'
          % (meta['wine'], meta['cpus'], meta['rounds'], meta['host_rounds'], meta['warmup'],
             ' '.join(variant.key for variant in VARIANTS)))
    for variant in VARIANTS:
        print('  %-3s %s' % (variant.key, variant.title))
    print('Wine pinned to %s; host load average (1, 5, 15 min) before %s, after %s; %.0f s in '
          'all' % ('CPU %d' % meta['pinned_cpu'] if meta['pinned_cpu'] is not None
                   else 'no CPU (--no-pin)', meta['load_average_before'],
                   meta['load_average_after'], meta['seconds']))
    print()
    print_clock('Inside Wine (timing_driver.exe, QueryPerformanceCounter around CreateProcess '
                'and the wait) - the headline', results['inside_wine'])
    print_clock('Host wall (monotonic clock around one wine64 process; includes the wine64 '
                'start-up)', results['host_wall'])
    print('Time-out: next child\'s start past %d ms after a hung child\'s start (stand-in '
          'stamps)' % INSTALL_WAIT_MS)
    print('  %-40s %9s %9s %9s %9s %9s' % ('[ms]', 'runs', 'median', 'min', 'max', 'plain gap'))
    for key in ('A', 'B'):
        kill = results['kill_delay_ms'][key]
        print('  %-40s %9d %9.2f %9.2f %9.2f %9.2f'
              % ('%-3s %s' % (key, VARIANT_BY_KEY[key].title), kill['n'], kill['median'],
                 kill['min'], kill['max'], results['ordinary_start_gap_ms'][key]['median']))
    print()
    image = results['image_bytes']
    print('Image: BrelmotCp.exe %d bytes (reference_launcher.exe %d, reference_idle.exe %d)'
          % (image['BrelmotCp.exe'], image['reference_launcher.exe'],
             image['reference_idle.exe']))
    print()
    print('Targets:')
    for name, target in results['targets'].items():
        sure = ''
        if target['met'] and 'sure' in target:
            sure = ('  (so is the whole median 95% CI)' if target['sure']
                    else '  (not resolved: the median 95% CI crosses the limit)')
        print('  %-4s %-58s %s%s' % ('met' if target['met'] else 'MISS', target['what'],
                                     target['value'], sure))
    print()
    print('JSON: %s' % meta['output'])


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--rounds', type=int, default=None,
                        help='measured rounds inside Wine (default 150; 1 with --quick)')
    parser.add_argument('--host-rounds', type=int, default=None,
                        help='measured rounds by the host clock (default half of --rounds)')
    parser.add_argument('--warmup', type=int, default=None,
                        help='warm-up rounds before each clock (default 5; 1 with --quick)')
    parser.add_argument('--kill-runs', type=int, default=None,
                        help='time-out runs of A and of B, about 5 s each (default 4; 1 with '
                             '--quick)')
    parser.add_argument('--quick', action='store_true',
                        help='one round of everything, to check the benchmark still runs')
    parser.add_argument('--cpu', type=int, default=None,
                        help='the CPU to pin the benchmark and Wine to (default the last one '
                             'this process may use)')
    parser.add_argument('--no-pin', action='store_true',
                        help='let the scheduler place Wine\'s processes on any CPU')
    parser.add_argument('--build-dir', default=os.path.join(ROOT, 'build', 'mingw'),
                        help='the mingw build tree (default build/mingw)')
    parser.add_argument('--prefix-root', default=None,
                        help='where the Wine prefix is kept (default build/bench-wine, '
                             'build/bench-wine-quick with --quick)')
    parser.add_argument('--output', default=None,
                        help='the JSON file (default build/bench/results.json, '
                             'build/bench/smoke.json with --quick)')
    args = parser.parse_args(argv)

    quick = args.quick
    args.rounds = args.rounds if args.rounds is not None else (1 if quick else 150)
    args.host_rounds = (args.host_rounds if args.host_rounds is not None
                        else max(1, args.rounds // 2))
    args.warmup = args.warmup if args.warmup is not None else (1 if quick else 5)
    args.kill_runs = args.kill_runs if args.kill_runs is not None else (1 if quick else 4)
    if min(args.rounds, args.host_rounds, args.kill_runs) < 1 or args.warmup < 0:
        parser.error('rounds and runs must be at least 1, --warmup at least 0')
    args.prefix_root = args.prefix_root or os.path.join(
        ROOT, 'build', 'bench-wine-quick' if quick else 'bench-wine')
    args.output = os.path.realpath(args.output or os.path.join(
        ROOT, 'build', 'bench', 'smoke.json' if quick else 'results.json'))

    if args.no_pin:
        pinned = None
    else:
        pinned = args.cpu if args.cpu is not None else max(os.sched_getaffinity(0))
        os.sched_setaffinity(0, {pinned})

    bench = Bench(args)
    started = time.perf_counter()
    load_before = os.getloadavg()
    try:
        bench.set_up()
        commands = bench.check_children()
        inside = bench.time_inside_wine(args.rounds, args.warmup)
        host = bench.time_host_wall(args.host_rounds, args.warmup)
        kill, ordinary_gaps = bench.time_kill_delay(args.kill_runs)
    finally:
        bench.tear_down()

    results = {
        'meta': {
            'date': datetime.datetime.now(datetime.timezone.utc).isoformat(timespec='seconds'),
            'git_head': git_head(),
            'wine': wine_version(),
            'host': platform.platform(),
            'cpus': os.cpu_count(),
            'rounds': args.rounds,
            'host_rounds': args.host_rounds,
            'warmup': args.warmup,
            'kill_runs': args.kill_runs,
            'quick': quick,
            'pinned_cpu': pinned,
            'seconds': round(time.perf_counter() - started, 1),
            # Other work on the machine widens every spread; a reader
            # comparing two runs should know how busy each one's host was.
            'load_average_before': [round(load, 2) for load in load_before],
            'load_average_after': [round(load, 2) for load in os.getloadavg()],
            'output': args.output,
            'order': [variant.key for variant in VARIANTS],
            'variants': {variant.key: variant.title for variant in VARIANTS},
            'headline': 'inside_wine',
            'child_command_lines': commands,
        },
        'inside_wine': clock_figures(inside),
        'host_wall': clock_figures(host),
        'kill_delay_ms': {
            key: dict(summary(delays), runs=[round(delay, 3) for delay in delays])
            for key, delays in kill.items()},
        'ordinary_start_gap_ms': {key: summary(gaps) for key, gaps in ordinary_gaps.items()},
        'image_bytes': {os.path.basename(name): os.path.getsize(bench.images[name])
                        for name in ('BrelmotCp.exe', 'bench/reference_launcher.exe',
                                     'bench/reference_idle.exe')},
    }
    ratio_ab = results['inside_wine']['ratios']['A/B']['median']
    ratio_ac = results['inside_wine']['ratios']['A/C']['median']
    ci_ab = results['inside_wine']['ratios']['A/B']['median_ci95']
    ci_ac = results['inside_wine']['ratios']['A/C']['median_ci95']
    worst_kill = results['kill_delay_ms']['A']['max']
    image_size = results['image_bytes']['BrelmotCp.exe']
    results['targets'] = {
        # "sure" when the whole interval is on the right side of the limit,
        # not only the median.
        'A/B': {'what': TARGETS['A/B'], 'value': round(ratio_ab, 4), 'limit': 1.02,
                'met': ratio_ab <= 1.02, 'sure': ci_ab[1] <= 1.02},
        'A/C': {'what': TARGETS['A/C'], 'value': round(ratio_ac, 4), 'limit': 1.0,
                'met': ratio_ac < 1.0, 'sure': ci_ac[1] < 1.0},
        'kill_delay': {'what': TARGETS['kill_delay'], 'value': round(worst_kill, 3),
                       'limit': 20.0, 'met': worst_kill < 20.0},
        'image': {'what': TARGETS['image'], 'value': image_size, 'limit': 16384,
                  'met': image_size < 16384},
    }

    os.makedirs(os.path.dirname(args.output), exist_ok=True)
    with open(args.output, 'w') as output:
        json.dump(results, output, indent=1)
        output.write('\n')
    report(results)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
