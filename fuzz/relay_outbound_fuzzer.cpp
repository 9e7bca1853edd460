// Feeds arbitrary outbound blocks to a relay master waiting in one of its
// transfer shapes: configuration, first or later search transfer, or a
// transaction reading 1 to 5 DS2430As. The first input byte picks the shape;
// the rest is a run of blocks, each a length byte and that many bytes (a
// zero length is an empty read, which makes the master poll). Whatever comes
// in, every transfer must end and its owner must hear exactly once.
#include <cstddef>
#include <cstdint>

#include "fuzz/RelayHarness.h"

using namespace fuzzing;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  InputReader input(data, size);
  RelayHarness master;
  if (!PrepareFromInput(master, input)) __builtin_trap();
  for (int blocks = 0; blocks < 16 && !input.Empty() && master.InFlight(); ++blocks)
    master.Answer(input.Take(input.Byte()));
  master.Finish();
  return 0;
}
