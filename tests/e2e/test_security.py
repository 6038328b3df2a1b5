"""The security block of a whole gathering, and the firewall service it starts."""
import pathlib
import re
import sys
import unittest
import zipfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "harness"))
import pelmo  # noqa: E402

SERVICE = pelmo.BUILD / "tests" / "FakeService.exe"
STARS = "*" * 81


def service(*args):
    return pelmo.run_wine([SERVICE] + list(args), check=False)


class SecurityBlock(unittest.TestCase):
    def block(self, run):
        with zipfile.ZipFile(run.archive_unix) as z:
            data = z.read("Pelmo_Debug_Info.txt")
        self.assertEqual(data[:2], b"\xff\xfe")
        report = data[2:].decode("utf-16-le").split("\r\n")
        start = report.index("[AntiVirusProduct]")
        self.assertEqual(report[start - 1], STARS)
        end = report.index("[Windows FireWall]", start)
        return report[start:end + 4]

    def test_stopped_manual_firewall_service_is_left_automatic_and_running(self):
        # Wine has no firewall service; a stand-in takes its name.
        self.assertEqual(pelmo.run_wine(["reg", "query", r"HKLM\System\CurrentControlSet\Services\MpsSvc"],
                                        check=False).returncode, 1, "the prefix has a firewall service already")
        self.assertEqual(service("install", "MpsSvc").returncode, 0)
        self.addCleanup(lambda: service("remove", "MpsSvc"))
        self.assertEqual(service("status", "MpsSvc").stdout.decode().strip(), "start=3 state=1")
        run = pelmo.run_gathering([])
        self.assertEqual(service("status", "MpsSvc").stdout.decode().strip(), "start=2 state=4")
        block = self.block(run)
        # Wine's Security Center has no products: each family is its header.
        self.assertEqual(block[:6], ["[AntiVirusProduct]", "", "[AntiSpywareProduct]", "", "[FirewallProduct]", ""])
        self.assertEqual(block[6], "[Windows FireWall]")
        self.assertEqual([re.sub("=(True|False)$", "=", l) for l in block[7:]],
                         ["HomeNetFwEnabled=", "PublicNetFwEnabled=", "FireWallEnabled="])

    def test_without_a_firewall_service_the_run_goes_on(self):
        # The fall-back "sc start" fails here; each query still answers.
        log = pelmo.BUILD / "PelmoHelper.log"
        run = pelmo.run_gathering(["/LOG"])
        self.assertTrue(pathlib.Path(run.archive_unix).exists())
        self.assertEqual(len(self.block(run)), 10)
        texts = pelmo.log_texts(log)
        self.assertIn("GetWSCInfo Succ", texts)
        log.unlink()


if __name__ == "__main__":
    unittest.main()
