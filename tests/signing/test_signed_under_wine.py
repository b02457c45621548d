"""The signed image still does its job: under Wine, with two package
folders present, it starts the system pnputil.exe once for each and exits
0 without a word. Runs in the end-to-end tests' shared prefix."""

import unittest

import winelab
from e2ecase import ToolTestCase, commands_for

import signlab


class SignedImageUnderWine(ToolTestCase):
    def test_signed_image_installs_two_packages(self):
        for form in ("pkcs12", "pem"):
            with self.subTest(form):
                cwd = self.scenario("signed-" + form)
                winelab.lay_out_packages(cwd, ["inf3b1a", "inf3b18"])
                run, records = self.run_tool(cwd, image=signlab.image(form))
                starts = self.assert_walk(run, records, commands_for(
                    winelab.windows_path(cwd), ["inf3b18", "inf3b1a"]))
                self.assertEqual(len(starts), 2)


if __name__ == "__main__":
    unittest.main()
