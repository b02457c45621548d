"""The base of the end-to-end test cases: the shared prefix, a fresh
scenario folder per case, and the checks every tool run must pass."""

import os
import shutil
import sys
import unittest

import winelab


class ToolTestCase(unittest.TestCase):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.prefix = winelab.Prefix(os.environ['BRELMOT_E2E_ROOT'])
        cls.prefix.lock()
        if not cls.prefix.ready:
            raise RuntimeError('no Wine prefix in %s: the e2e.prefix test makes it'
                               % cls.prefix.path)
        cls.image = os.environ['BRELMOT_IMAGE']
        cls.windows_dir = os.environ['BRELMOT_WINDOWS_DIR']
        cls.standin = os.path.join(cls.windows_dir, 'pnputil.exe')
        cls.scenarios = os.path.join(cls.prefix.root, 'scenarios', cls.__name__)
        shutil.rmtree(cls.scenarios, ignore_errors=True)
        os.makedirs(cls.scenarios)

    def scenario(self, name):
        """An empty folder for one case."""
        path = os.path.join(self.scenarios, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        return path

    def report(self, text):
        """A measurement for the test log (ctest keeps it in LastTest.log)."""
        sys.stderr.write('%s: %s\n' % (self.id(), text))

    def run_tool(self, cwd, plan=None, version='win10', locale=None, image=None):
        """Installs the stand-in with plan, runs the tool in cwd and returns
        the run and the system stand-in's records."""
        self.prefix.install_standin(self.standin, plan)
        run = self.prefix.run_tool(image or self.image, cwd, version=version, locale=locale)
        return run, self.prefix.system_log()

    def assert_silent_success(self, run):
        self.assertEqual((run.status, run.stdout, run.stderr), (0, b'', b''),
                         'the tool must exit 0 and print nothing')

    def assert_walk(self, run, records, expected_commands):
        """The tool exited 0 silently, the stand-in in the system directory
        was started once per expected command line, in that order, each
        start after the previous run's own end when it had one, and every
        record falls inside the tool's run."""
        self.assert_silent_success(run)
        starts = [record for record in records if record.kind == 'start']
        self.assertEqual([start.cmdline for start in starts], list(expected_commands))
        self.assertEqual([start.index for start in starts], list(range(len(starts))))
        for start in starts:
            self.assertEqual(start.module, winelab.SYSTEM_PNPUTIL)
        for record in records:
            self.assertTrue(run.began_us <= record.us <= run.ended_us,
                            'record %r outside the tool run %d..%d'
                            % (record, run.began_us, run.ended_us))
        finishes = {record.index: record.us for record in records
                    if record.kind in ('end', 'crash')}
        for earlier, later in zip(starts, starts[1:]):
            if earlier.index in finishes:
                self.assertGreater(later.us, finishes[earlier.index],
                                   'run %d started before run %d ended'
                                   % (later.index, earlier.index))
        return starts


def commands_for(directory_text, packages, encoding='ascii'):
    """The command lines the tool should hand pnputil.exe for the named
    packages under a working directory as Windows sees it."""
    paths = dict(zip(winelab.PACKAGES, winelab.package_inf_paths(directory_text)))
    return [winelab.install_command(paths[package].encode(encoding)) for package in packages]
