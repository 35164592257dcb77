#include "engines/lzh_huffman.h"

#include <initializer_list>

namespace vix::lzh {

namespace {

// A min-heap of symbols keyed by freq, 1-based. Ties keep the left child
// and stop the sift, which fixes the order in which leaves leave the heap
// and therefore which of equally frequent symbols get the longer codes.
struct Heap {
  const uint32_t* freq;
  int size = 0;
  int node[kNC + 1];

  void SiftDown(int i) {
    const int k = node[i];
    int j;
    while ((j = 2 * i) <= size) {
      if (j < size && freq[node[j]] > freq[node[j + 1]]) ++j;
      if (freq[k] <= freq[node[j]]) break;
      node[i] = node[j];
      i = j;
    }
    node[i] = k;
  }
};

}  // namespace

void MakeCode(int n, const uint8_t* len, const uint16_t* counts, uint16_t* code) {
  uint32_t start[kMaxCodeLength + 2];
  start[1] = 0;
  for (int i = 1; i <= kMaxCodeLength; ++i) start[i + 1] = (start[i] + counts[i]) << 1;
  for (int i = 0; i < n; ++i) code[i] = len[i] ? static_cast<uint16_t>(start[len[i]]++) : 0;
}

int MakeTree(int n, uint32_t* freq, uint8_t* len, uint16_t* code) {
  Heap heap;
  heap.freq = freq;
  heap.node[1] = 0;
  for (int i = 0; i < n; ++i) {
    len[i] = 0;
    if (freq[i]) heap.node[++heap.size] = i;
  }
  if (heap.size < 2) {
    code[heap.node[1]] = 0;
    return heap.node[1];
  }
  for (int i = heap.size / 2; i >= 1; --i) heap.SiftDown(i);

  // Combine the two least frequent entries until one is left; the leaves
  // are recorded in the order they are taken (least frequent first).
  uint16_t left[2 * kNC - 1], right[2 * kNC - 1];
  uint16_t leaves[kNC];
  int leafCount = 0;
  int avail = n;
  int k;
  do {
    const int i = heap.node[1];
    if (i < n) leaves[leafCount++] = static_cast<uint16_t>(i);
    heap.node[1] = heap.node[heap.size--];
    heap.SiftDown(1);
    const int j = heap.node[1];
    if (j < n) leaves[leafCount++] = static_cast<uint16_t>(j);
    k = avail++;
    freq[k] = freq[i] + freq[j];
    heap.node[1] = k;
    heap.SiftDown(1);
    left[k] = static_cast<uint16_t>(i);
    right[k] = static_cast<uint16_t>(j);
  } while (heap.size > 1);
  const int root = k;

  // Depth of every leaf; depths beyond 16 count as 16. Internal nodes are
  // numbered after their children, so one pass from the root down works.
  uint16_t depth[2 * kNC - 1];
  uint16_t counts[kMaxCodeLength + 1] = {};
  depth[root] = 0;
  for (int node = root; node >= n; --node) {
    const uint16_t d = static_cast<uint16_t>(depth[node] + 1);
    for (int child : {left[node], right[node]}) {
      if (child < n)
        ++counts[d < kMaxCodeLength ? d : kMaxCodeLength];
      else
        depth[child] = d;
    }
  }

  // Clipping at 16 overfills the code space; move codes down until the
  // Kraft sum is exactly 2^16. Each round lowers the sum by one.
  uint32_t cum = 0;
  for (int i = kMaxCodeLength; i > 0; --i) cum += static_cast<uint32_t>(counts[i]) << (kMaxCodeLength - i);
  while (cum != (1u << kMaxCodeLength)) {
    --counts[kMaxCodeLength];
    for (int i = kMaxCodeLength - 1; i > 0; --i) {
      if (counts[i] != 0) {
        --counts[i];
        counts[i + 1] += 2;
        break;
      }
    }
    --cum;
  }

  // The least frequent leaves get the longest codes.
  int next = 0;
  for (int i = kMaxCodeLength; i > 0; --i)
    for (int c = counts[i]; c > 0; --c) len[leaves[next++]] = static_cast<uint8_t>(i);

  MakeCode(n, len, counts, code);
  return root;
}

}  // namespace vix::lzh
