"""Which packages the tool hands pnputil.exe, with which command line, and
which pnputil.exe it starts."""

import os
import shutil
import unittest

import winelab
from e2ecase import ToolTestCase, commands_for


class PackageWalk(ToolTestCase):
    def test_present_packages_run_once_each_in_table_order(self):
        cases = [
            ('none', [], []),
            ('two', ['inf3b1a', 'inf3b18'], ['inf3b18', 'inf3b1a']),
            ('all', list(reversed(winelab.PACKAGES)), list(winelab.PACKAGES)),
        ]
        for name, layout, expected in cases:
            with self.subTest(name):
                cwd = self.scenario(name)
                winelab.lay_out_packages(cwd, layout)
                run, records = self.run_tool(cwd)
                self.assert_walk(run, records,
                                 commands_for(winelab.windows_path(cwd), expected))

    def test_package_folder_without_its_inf_is_skipped(self):
        cwd = self.scenario('empty-folder')
        winelab.lay_out_packages(cwd, ['inf3b20'])
        os.makedirs(os.path.join(cwd, 'inf3b17'))
        with open(os.path.join(cwd, 'inf3b17', 'Other.inf'), 'w') as other:
            other.write('[Version]\n')
        run, records = self.run_tool(cwd)
        self.assert_walk(run, records, commands_for(winelab.windows_path(cwd), ['inf3b20']))


class ChildOutcomes(ToolTestCase):
    def test_failed_and_crashed_runs_do_not_stop_the_walk(self):
        cwd = self.scenario('outcomes')
        winelab.lay_out_packages(cwd, winelab.PACKAGES)
        # pnputil's own failure codes: 1 for a plain error, 3010 when a
        # reboot is needed, 0xE0000235 for an inf without an x64 section.
        plan = {0: ('exit', 1), 1: ('crash',), 2: ('exit', 3010), 3: ('exit', 0xE0000235),
                'default': ('exit', 0)}
        run, records = self.run_tool(cwd, plan)
        self.assert_walk(run, records, commands_for(winelab.windows_path(cwd), winelab.PACKAGES))
        ends = {record.index: record.code for record in records if record.kind == 'end'}
        crashes = [record.index for record in records if record.kind == 'crash']
        self.assertEqual(ends, {0: 1, 2: 3010, 3: 0xE0000235, 4: 0})
        self.assertEqual(crashes, [1])


class InstallerLocation(ToolTestCase):
    def plant(self, name):
        """A working directory with two packages and a pnputil.exe of its
        own, and a copy of the tool in a folder with another one."""
        cwd = self.scenario(name + '-cwd')
        winelab.lay_out_packages(cwd, ['inf3b17', 'inf3b19'])
        self.prefix.install_standin(self.standin, directory=cwd)
        tool_dir = self.scenario(name + '-tool')
        tool_copy = os.path.join(tool_dir, 'BrelmotCp.exe')
        shutil.copyfile(self.image, tool_copy)
        self.prefix.install_standin(self.standin, directory=tool_dir)
        return cwd, tool_dir, tool_copy

    def test_only_the_system_directory_pnputil_runs(self):
        cwd, tool_dir, tool_copy = self.plant('planted')
        run, records = self.run_tool(cwd, image=tool_copy)
        self.assert_walk(run, records,
                         commands_for(winelab.windows_path(cwd), ['inf3b17', 'inf3b19']))
        self.assertEqual(winelab.read_log(cwd), [], 'the working directory one ran')
        self.assertEqual(winelab.read_log(tool_dir), [], 'the one beside the tool ran')

    def test_without_a_system_pnputil_nothing_runs(self):
        cwd, tool_dir, tool_copy = self.plant('missing')
        self.prefix.remove_standin()
        try:
            run = self.prefix.run_tool(tool_copy, cwd)
            self.assert_silent_success(run)
            self.assertEqual(winelab.read_log(cwd), [], 'the working directory one ran')
            self.assertEqual(winelab.read_log(tool_dir), [], 'the one beside the tool ran')
            self.assertFalse(os.path.exists(os.path.join(self.prefix.system32, 'pnputil.exe')))
        finally:
            self.prefix.install_standin(self.standin)


class WorkingDirectoryForms(ToolTestCase):
    def test_directory_with_spaces_stays_one_quoted_argument(self):
        cwd = self.scenario('Brelmot  Driver Kit (x64) 1.0')
        winelab.lay_out_packages(cwd, ['inf3b17', 'inf3b20'])
        run, records = self.run_tool(cwd)
        starts = self.assert_walk(run, records, commands_for(winelab.windows_path(cwd),
                                                             ['inf3b17', 'inf3b20']))
        self.assertIn(b' Driver Kit (x64) 1.0\\inf3b17\\WudfBioUsb.inf" /install',
                      starts[0].cmdline)

    def test_drive_root_keeps_the_doubled_backslash(self):
        root = self.scenario('drive-root')
        winelab.lay_out_packages(root, ['inf3b17', 'inf3b20'])
        self.prefix.map_drive('r', root)
        try:
            run, records = self.run_tool(root)
        finally:
            self.prefix.unmap_drive('r')
        self.assert_walk(run, records, [
            b'pnputil.exe /add-driver "R:\\\\inf3b17\\WudfBioUsb.inf" /install',
            b'pnputil.exe /add-driver "R:\\\\inf3b20\\WudfBioUsb.inf" /install',
        ])

    def test_any_entry_named_like_the_inf_counts_and_a_file_is_no_folder(self):
        cwd = self.scenario('odd-entries')
        winelab.lay_out_packages(cwd, ['inf3b1a'])
        # A file where the inf3b17 folder belongs: its inf cannot exist.
        with open(os.path.join(cwd, 'inf3b17'), 'w') as not_a_folder:
            not_a_folder.write('WudfBioUsb.inf\n')
        # A folder named like the inf is an existing entry all the same.
        os.makedirs(os.path.join(cwd, 'inf3b19', winelab.INF_NAME))
        run, records = self.run_tool(cwd)
        self.assert_walk(run, records,
                         commands_for(winelab.windows_path(cwd), ['inf3b19', 'inf3b1a']))


if __name__ == '__main__':
    unittest.main()
