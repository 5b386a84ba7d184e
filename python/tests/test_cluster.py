"""compress_tree on a local Dask cluster gives what `pixtrim batch -r -j 2`
gives, file for file, also when a worker is killed under way.

PIXTRIM_LIBRARY names the library, PIXTRIM_CLI the pixtrim command."""

import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from images import write_bmp, write_png

try:
    import distributed
    from talmora_pixtrim.cluster import _tasks, compress_tree
except ImportError as error:  # Debian's python3-distributed; scripts/setup.sh installs it
    distributed = None
    MISSING = "Dask's distributed package is not installed (%s)" % error


def make_tree(root):
    """208 files in three levels, with a damaged one, names with spaces
    and non-ASCII letters, and extensions in mixed case."""
    for top in range(3):
        for middle in range(2):
            folder = root / ("album %d" % top) / ("día %d" % middle)
            folder.mkdir(parents=True)
            for k in range(34):
                write_png(folder / ("p%02d.png" % k), 60 + k, 40 + top)
    write_png(root / "Top Photo.JpG", 50, 30)
    write_bmp(root / "album 0" / "scan.BMP", 31, 17)
    write_png(root / "album 1" / "größe ü.PNG", 41, 23)
    (root / "album 2" / "broken.png").write_bytes(b"\x89PNG not really")
    (root / "album 2" / "notes.txt").write_text("not an image")


def tree(root):
    return {str(path.relative_to(root)): path.read_bytes()
            for path in sorted(root.rglob("*")) if path.is_file()}


def command_results(source, output):
    """What `pixtrim batch -r -j 2 --verbose` says of each file, and its count."""
    run = subprocess.run([os.environ["PIXTRIM_CLI"], "-r", "-j", "2", "--verbose", "batch",
                          str(source), str(output), "60"], capture_output=True, text=True,
                         timeout=300)
    lines = run.stderr.splitlines()
    results = {}
    for line in lines[:-1]:
        path, said = line.split(": ", 1)
        ok = said.endswith(" bytes") and " -> " in said
        results[path] = (ok, "" if ok else said)
    return results, int(run.stdout.split()[0])


@unittest.skipIf(distributed is None, MISSING if distributed is None else "")
class ClusterTree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._dir = tempfile.TemporaryDirectory(prefix="pixtrim-cluster-")
        cls.dir = pathlib.Path(cls._dir.name)
        cls.source = cls.dir / "photos"
        make_tree(cls.source)
        cls.expected, cls.count = command_results(cls.source, cls.dir / "by-command")
        cls.cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                               dashboard_address=None)
        cls.client = distributed.Client(cls.cluster)

    @classmethod
    def tearDownClass(cls):
        cls.client.close()
        cls.cluster.close()
        cls._dir.cleanup()

    def assert_like_the_command(self, summary, output):
        paths = [r.path for r in summary.results]
        self.assertEqual(len(paths), len(set(paths)), "a file reported twice")
        self.assertEqual({r.path: (r.ok, r.message) for r in summary.results}, self.expected)
        self.assertEqual((summary.compressed, summary.failed), (self.count, 1))
        self.assertEqual(tree(output), tree(self.dir / "by-command"))

    def test_the_tree_comes_out_as_the_command_writes_it(self):
        self.assertEqual(len(self.expected), 208)
        output = self.dir / "by-cluster"
        summary = compress_tree(self.client, str(self.source), str(output), 60, chunk=16)
        self.assertGreater(summary.bytes_in, summary.bytes_out)
        self.assert_like_the_command(summary, output)

    def test_a_worker_killed_under_way_changes_nothing(self):
        output = self.dir / "killed"
        pids = list(self.client.run(os.getpid).values())
        done = []
        run = threading.Thread(target=lambda: done.append(
            compress_tree(self.client, str(self.source), str(output), 60, chunk=2)))
        run.start()
        deadline = time.monotonic() + 60
        while not any(output.rglob("*.png")) and time.monotonic() < deadline:
            time.sleep(0.005)
        os.kill(pids[0], signal.SIGKILL)
        written_before_the_kill = len([p for p in output.rglob("*") if p.is_file()])
        run.join(timeout=300)
        self.assertEqual(len(done), 1, "the run did not complete")
        self.assertLess(written_before_the_kill, self.count, "the run was over before the kill")
        self.assert_like_the_command(done[0], output)


@unittest.skipIf(distributed is None, MISSING if distributed is None else "")
class Tasks(unittest.TestCase):
    def test_every_file_once_in_order_and_the_last_tasks_small(self):
        files = ["f%d" % i for i in range(1000)]
        for chunk, workers in ((64, 2), (64, 7), (1, 2), (5000, 3)):
            tasks = _tasks(files, chunk, workers)
            self.assertEqual([f for task in tasks for f in task], files)
            sizes = [len(task) for task in tasks]
            self.assertLessEqual(max(sizes), chunk)
            # The last round gives every worker a single file, so none
            # idles long behind one that took a full task late.
            self.assertEqual(sizes[-workers:], [1] * workers)
        self.assertEqual(_tasks([], 64, 2), [])


if __name__ == "__main__":
    if distributed is None:
        print("SKIPPED: " + MISSING)
        sys.exit(77)  # CTest reports it as skipped
    unittest.main()
