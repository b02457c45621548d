"""What the other end-to-end tests take for granted about the stand-in
under Wine: its exit status reaches the harness, its clock is the host's,
its start index counts the starts, and its crash stays quiet; and the
start-up's stack guard, through a probe built like the tool."""

import unittest

import winelab
from e2ecase import ToolTestCase


class StandinUnderWine(ToolTestCase):
    def test_plan_exit_status_clock_and_log(self):
        self.prefix.install_standin(self.standin, {0: ('exit', 7), 1: ('crash',),
                                                   'default': ('sleep', 300)})
        cwd = self.scenario('direct')
        program = winelab.SYSTEM_PNPUTIL.decode('ascii')
        runs = [self.prefix.wine([program, '/flag', 'two words'], cwd, name='standin')
                for _ in range(3)]
        # Wine hands on the low byte of the exit code: 0xC0000005 is 5.
        self.assertEqual([(run.status, run.stdout, run.stderr) for run in runs],
                         [(7, b'', b''), (5, b'', b''), (0, b'', b'')])

        records = self.prefix.system_log()
        self.assertEqual([(record.kind, record.index) for record in records],
                         [('start', 0), ('end', 0), ('start', 1), ('crash', 1), ('start', 2),
                          ('end', 2)])
        starts = [record for record in records if record.kind == 'start']
        for start in starts:
            self.assertEqual(start.module, winelab.SYSTEM_PNPUTIL)
            self.assertTrue(start.cmdline.endswith(b' /flag "two words"'), start.cmdline)
        self.assertEqual(records[1].code, 7)
        self.assertGreaterEqual(records[5].us - records[4].us, 300 * 1000)
        self.assertEqual(len({start.pid for start in starts}), 3)

        # The performance counter is the host clock: each process's records
        # fall inside the host's view of that run.
        for run, first, last in [(runs[0], records[0], records[1]),
                                 (runs[1], records[2], records[3]),
                                 (runs[2], records[4], records[5])]:
            self.assertTrue(run.began_us < first.us <= last.us < run.ended_us,
                            (run.began_us, first.us, last.us, run.ended_us))


class GuardDiffers(ToolTestCase):
    DEFAULT_GUARD = b'2b992ddfa23249d6'

    def test_two_runs_seed_different_guards(self):
        probe = self.windows_dir + '/guard_probe.exe'
        cwd = self.scenario('guard')
        guards = []
        for _ in range(2):
            run = self.prefix.wine([probe], cwd, name='guard_probe')
            self.assertEqual((run.status, run.stderr), (0, b''))
            self.assertRegex(run.stdout, rb'^[0-9a-f]{16}\n$')
            guards.append(run.stdout.strip())
        self.report('guards %s' % b', '.join(guards).decode())
        self.assertNotEqual(guards[0], guards[1])
        self.assertNotIn(self.DEFAULT_GUARD, guards)

    def test_smashed_guard_ends_the_process_with_the_overrun_code(self):
        # wine64 passes on only the low byte of an exit code; cmd shows it
        # whole.
        probe = winelab.windows_path(self.windows_dir + '/guard_probe.exe')
        cwd = self.scenario('guard-overrun')
        run = self.prefix.wine(['cmd', '/v:on', '/c', probe + ' overrun & echo status=!errorlevel!'],
                               cwd, name='guard_overrun')
        self.assertEqual(run.stderr, b'')
        # STATUS_STACK_BUFFER_OVERRUN, 0xC0000409, as a signed errorlevel.
        self.assertEqual(run.stdout.strip(), b'xstatus=-1073740791')


if __name__ == '__main__':
    unittest.main()
