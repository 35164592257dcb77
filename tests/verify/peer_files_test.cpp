// The verifier's readers on files of the peers, made in the test by the
// tools where they are installed: zip -9, gzip -9, gcab (MSZIP), bsdtar
// in pax and GNU forms with a long name. A tool that is missing skips its
// case.
#include <gtest/gtest.h>

#include <cstdlib>

#include "verify_support.h"

namespace vix::verifytest {
namespace {

#ifndef _WIN32
bool Have(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

TEST(PeerFiles, ReadersDecodeWhatPeersWrite) {
  test::TempDir dir;
  const std::string longName =
      "a-folder-name-long-enough/that-the-whole-path-needs-more-than-one-hundred-bytes/file.txt";
  const Files files = {{"text.txt", Words(200000, 11)}, {"noise.bin", Noise(50000)},
                       {longName, Words(3000, 12)}};
  for (const auto& f : files) dir.WriteFile("src/" + f.first, f.second);
  const std::string cd = "cd '" + dir.Join("src") + "' && ";
  struct Peer {
    const char* Tool;
    std::string Command, Archive, Format;
  };
  const Peer peers[] = {
      {"zip", "zip -q -9 -r ../p.zip text.txt noise.bin a-folder-name-long-enough", "p.zip", "zip"},
      {"gzip", "gzip -9 -c text.txt > ../p.gz", "p.gz", "gzip"},
      {"gcab", "gcab -c -z ../p.cab text.txt noise.bin", "p.cab", "cab"},
      {"bsdtar", "bsdtar --format pax -cf ../pax.tar text.txt noise.bin " + longName, "pax.tar", "tar"},
      {"bsdtar", "bsdtar --format gnutar -cf ../gnu.tar text.txt " + longName, "gnu.tar", "tar"},
  };
  int ran = 0;
  for (const Peer& p : peers) {
    SCOPED_TRACE(p.Command);
    if (!Have(p.Tool)) continue;
    ASSERT_EQ(std::system((cd + p.Command).c_str()), 0);
    ++ran;
    const verify::ReadResult r = ReadBytes(p.Format, Slurp(dir.Join(p.Archive)));
    ASSERT_TRUE(r.Ok()) << r.FailedEntry << ": " << r.Error;
    int checked = 0;
    for (const auto& e : r.Entries) {
      for (const auto& f : files) {
        // gzip stores no name with -c: its one member is text.txt.
        const bool same = e.Name == f.first || (p.Format == "gzip" && f.first == "text.txt");
        if (!same || !e.HasData) continue;
        EXPECT_EQ(e.Size, f.second.size()) << e.Name;
        EXPECT_EQ(e.Crc32, BitCrc32(f.second)) << e.Name;
        ++checked;
      }
    }
    EXPECT_EQ(checked, p.Format == "gzip" ? 1 : p.Format == "cab" ? 2
                       : p.Archive == "gnu.tar"                     ? 2
                                                                    : 3);
  }
  if (ran == 0) GTEST_SKIP() << "none of the peers' tools is installed";
}
#endif

}  // namespace
}  // namespace vix::verifytest
