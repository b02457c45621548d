"""The version gate: Windows 5.0 to 5.2 and 6.0 to 6.1 are left alone,
every other version gets the walk."""

import unittest

import winelab
from e2ecase import ToolTestCase, commands_for

# Wine's version names and what GetVersionExA reports under each to this
# 64-bit image, which has no compatibility manifest (so 8.1 and 10 read as
# 6.2), as seen under Wine 8.0.
VERSIONS = [
    ('win10', '6.2', True),
    ('win81', '6.2', True),
    ('win8', '6.2', True),
    ('win2008r2', '6.1', False),
    ('win7', '6.1', False),
    ('win2008', '6.0', False),
    ('vista', '6.0', False),
    ('win2003', '5.2', False),
    ('winxp64', '5.2', False),
    ('winxp', '5.1', False),
    ('win2k', '5.0', False),
    # Below the excluded range: the gate is two ranges, not a minimum.
    ('nt40', '4.0', True),
]


class VersionGate(ToolTestCase):
    def test_excluded_versions_start_nothing_and_the_rest_run(self):
        cwd = self.scenario('gate')
        winelab.lay_out_packages(cwd, ['inf3b17', 'inf3b20'])
        expected = commands_for(winelab.windows_path(cwd), ['inf3b17', 'inf3b20'])
        try:
            for version, reported, runs in VERSIONS:
                with self.subTest(version=version, reported=reported):
                    run, records = self.run_tool(cwd, version=version)
                    self.assert_walk(run, records, expected if runs else [])
        finally:
            self.prefix.set_version('win10')


if __name__ == '__main__':
    unittest.main()
