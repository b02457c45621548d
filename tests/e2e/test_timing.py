"""One pnputil.exe run at a time: the next starts when the previous ended,
or at once after a run past five seconds was killed."""

import time
import unittest

import winelab
from e2ecase import ToolTestCase, commands_for

WAIT_MS = 5000

# A start record is taken when the stand-in's main runs, a little after the
# tool's wait began, and the next one a little after the kill, so the gap
# between the two starts can come out somewhat under the bound as well as
# over it.
KILL_EARLY_MS = 500
KILL_LATE_MS = 1000


def starts_of(records):
    return [record for record in records if record.kind == 'start']


class Sequencing(ToolTestCase):
    def test_next_run_starts_after_an_end_or_right_after_a_kill(self):
        cwd = self.scenario('sequence')
        packages = ['inf3b17', 'inf3b18', 'inf3b19']
        winelab.lay_out_packages(cwd, packages)
        plan = {0: ('sleep', 4000), 1: ('sleep', 8000), 'default': ('exit', 0)}
        run, records = self.run_tool(cwd, plan)
        starts = self.assert_walk(run, records, commands_for(winelab.windows_path(cwd), packages))
        ends = {record.index: record for record in records if record.kind == 'end'}

        # Four seconds is within the bound: it ends on its own, and the next
        # one follows its end, not the bound.
        self.assertIn(0, ends)
        follow_ms = (starts[1].us - ends[0].us) / 1000.0
        self.assertLess(follow_ms, 1000, 'the tool waited on after the run ended')

        # Eight seconds is not: it never ends on its own, and the next one
        # starts about five seconds after it did.
        self.assertNotIn(1, ends, 'the eight-second run was not killed')
        kill_delay_ms = (starts[2].us - starts[1].us) / 1000.0 - WAIT_MS
        self.report('tool ran %.0f ms; next start %.1f ms after a run ended; '
                    'kill delay past %d ms: %+.1f ms'
                    % (run.elapsed_ms, follow_ms, WAIT_MS, kill_delay_ms))
        self.assertGreater(kill_delay_ms, -KILL_EARLY_MS)
        self.assertLess(kill_delay_ms, KILL_LATE_MS)
        self.assertIn(2, ends)

        self.assertLess(run.elapsed_ms, 4000 + WAIT_MS + 2000)
        running = [pid for name, pid in self.prefix.processes() if pid == starts[1].pid]
        self.assertEqual(running, [], 'the killed run is still in the process list')


class AllHang(ToolTestCase):
    HANG_MS = 6000

    def test_five_hung_runs_are_each_killed_after_five_seconds(self):
        cwd = self.scenario('hang')
        winelab.lay_out_packages(cwd, winelab.PACKAGES)
        # Just past the bound, so a run that survived its kill would log its
        # end soon after the tool is done.
        plan = {'default': ('sleep', self.HANG_MS)}
        run, records = self.run_tool(cwd, plan)
        starts = self.assert_walk(run, records,
                                  commands_for(winelab.windows_path(cwd), winelab.PACKAGES))
        gaps_ms = [(later.us - earlier.us) / 1000.0 for earlier, later in zip(starts, starts[1:])]
        self.report('five hung runs: tool ran %.0f ms; starts %s ms apart'
                    % (run.elapsed_ms, ', '.join('%.0f' % gap for gap in gaps_ms)))
        for gap in gaps_ms:
            self.assertGreater(gap, WAIT_MS - KILL_EARLY_MS)
            self.assertLess(gap, WAIT_MS + KILL_LATE_MS)
        self.assertGreater(run.elapsed_ms, 5 * WAIT_MS - KILL_EARLY_MS)
        self.assertLess(run.elapsed_ms, 5 * WAIT_MS + 2500)

        # Wait until even the last one would have ended on its own.
        settle_us = starts[-1].us + (self.HANG_MS + 1000) * 1000
        time.sleep(max(0, settle_us - winelab.host_us()) / 1e6)
        late = [record for record in self.prefix.system_log() if record.kind != 'start']
        self.assertEqual(late, [], 'a killed run went on to end by itself')
        pids = {start.pid for start in starts}
        alive = [(name, pid) for name, pid in self.prefix.processes()
                 if pid in pids or name.lower() == 'pnputil.exe']
        self.assertEqual(alive, [])


if __name__ == '__main__':
    unittest.main()
