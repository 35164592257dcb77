"""Archives written on 1, 2 and 8 threads are the same bytes, for every
format and method, over the interop tree and the shared corpus; one of each is
also read back by an independent reader."""

import hashlib
import os
import unittest
import zipfile

from interop import CORPUS, TreeCase, arcwrite, file_digests, have, make_tree, run

THREADS = ["1", "2", "8"]
TREE_RUNS = [
    ("zip", "a.zip", ["--method", "deflate", "--deflate", "S"]),
    ("zip", "a.zip", ["--method", "deflate", "--deflate", "N"]),
    ("zip", "a.zip", ["--method", "deflate", "--deflate", "X"]),
    ("zip", "a.zip", ["--method", "store"]),
    ("lzh", "a.lzh", ["--method", "lh5"]),
    ("lzh", "a.lzh", ["--method", "lh6"]),
    ("tar", "a.tar", ["--method", "tar"]),
    ("tar", "a.tar", ["--method", "tgz"]),
    ("cab", "a.cab", ["--method", "mszip"]),
    ("cab", "a.cab", ["--method", "lzx", "--lzx-level", "16"]),
]
CORPUS_RUNS = [
    ("zip", "c.zip", ["--method", "deflate", "--deflate", "N"]),
    ("lzh", "c.lzh", ["--method", "lh5"]),
    ("cab", "c.cab", ["--method", "mszip"]),
]


def written(path):
    """The bytes to compare: a gzip member's without its header time."""
    with open(path, "rb") as f:
        data = f.read()
    if path.endswith(".gz"):
        return data[:4] + data[8:]
    return data


class ThreadsTest(TreeCase):
    def write_all(self, fmt, name, options, source, specs):
        digests = {}
        for threads in THREADS:
            out = self.fresh_dir("out-" + threads)
            archive = os.path.join(out, name)
            arcwrite(fmt, archive, "--threads", threads, "--recurse", "--paths", "relative",
                     *options, *specs, cwd=source)
            outputs = sorted(os.listdir(out))
            self.assertEqual(len(outputs), 1, outputs)
            digests[threads] = hashlib.sha256(written(os.path.join(out, outputs[0]))).hexdigest()
        self.assertEqual(digests["2"], digests["1"], "%s %s: 2 threads" % (fmt, options))
        self.assertEqual(digests["8"], digests["1"], "%s %s: 8 threads" % (fmt, options))
        return os.path.join(self.path("out-8"), sorted(os.listdir(self.path("out-8")))[0])

    def test_interop_tree_is_the_same_on_every_thread_count(self):
        source = make_tree(self.path("tree"))
        for fmt, name, options in TREE_RUNS:
            with self.subTest(fmt=fmt, options=options):
                self.write_all(fmt, name, options, source, ["*"])

    def test_corpus_is_the_same_on_every_thread_count_and_reads_back(self):
        if not os.path.isdir(CORPUS):
            self.skipTest("no corpus at " + CORPUS)
        expected = file_digests(CORPUS)
        for fmt, name, options in CORPUS_RUNS:
            with self.subTest(fmt=fmt, options=options):
                archive = self.write_all(fmt, name, options, CORPUS, ["*"])
                out = self.fresh_dir("x")
                if fmt == "zip":
                    with zipfile.ZipFile(archive) as z:
                        z.extractall(out)
                elif fmt == "lzh":
                    if not have("lhasa"):
                        continue
                    run(["lhasa", "xq", archive], cwd=out)
                else:
                    if not have("cabextract"):
                        continue
                    run(["cabextract", "-q", "-d", out, archive])
                got = file_digests(out)
                for rel, digest in expected.items():
                    if rel in ("README.md", "SHA256SUMS"):
                        continue
                    self.assertEqual(got.get(rel), digest, rel)


if __name__ == "__main__":
    unittest.main()
