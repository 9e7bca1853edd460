// The relay master taking in outbound blocks: the configuration answer, and
// the answer to a transaction reading 1 or 2 DS2430As (status, application
// register, memory each), parsed, examined and handed to the operations.
// The master is a test subclass whose inbound channel goes nowhere; each
// iteration sends a fresh transfer and answers it with a prepared block.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "onewire/AbstractOneWireMaster.h"
#include "onewire/DS2430AMemory.h"
#include "onewire/OneWireMemory.h"
#include "relay/RelayProtocol.h"
#include "relay/RemoteOneWireMaster.h"
#include "testing/RelayAnswers.h"
#include "testing/Roms.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Device = AbstractOneWireMaster::Device;

class BenchRelay : public RemoteOneWireMaster {
 public:
  void Answer(const Bytes& outbound) {
    SentInbound();
    ReceiveOutbound(outbound);
  }
  bool InFlight() const { return transfer != nullptr; }
};

struct Quiet : AbstractOneWireMaster::Listener, AbstractOneWireMaster::Transaction::Listener,
               OneWireMemory::Listener {
  void Ready() override {}
  void Error(const std::string&) override { ++errors; }
  void Finished() override { ++finished; }
  void StatusRetrieved(uint8_t) override {}
  void OTPMemoryRetrieved(const Bytes&) override {}
  void MemoryRetrieved(const Bytes&) override {}
  int errors = 0;
  int finished = 0;
};

const Bytes kConfigAnswer =
    orvtest::ConfigAnswer(0xFF, 0xFF, "1W-RELAY 1.0", "Simulated relay");

Device Rom(uint8_t serial) {
  return Device(
      orvtest::WithCrc({ds2430a::FAMILY_CODE, serial, 0x11, 0x22, 0x33, 0x44, 0x55, 0x00}));
}

// The relay's answer to one read: CMD_DATA_ID loaded (status), CMD_ML_ACCESS
// with presence, CMD_ML_DATA with the two written bytes and the reply.
void AppendRead(Bytes& answer, std::size_t replyLength) {
  using P = RelayProtocol;
  const Bytes head = {P::CMD_STATUS,    P::RC_OK, P::CMD_ML_ACCESS,
                      P::RC_OK,         P::CMD_ML_DATA, static_cast<uint8_t>(2 + replyLength)};
  answer.insert(answer.end(), head.begin(), head.end());
  answer.push_back(ds2430a::READ_MEMORY);
  answer.push_back(0x00);
  answer.insert(answer.end(), replyLength, 0xFC);
}

void ParseConfigurationAnswer(benchmark::State& state) {
  BenchRelay master;
  for (auto _ : state) {
    master.Enable(true);
    master.Answer(kConfigAnswer);
    master.Enable(false);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kConfigAnswer.size()));
}
BENCHMARK(ParseConfigurationAnswer);

void ParseTransactionAnswer(benchmark::State& state) {
  const std::size_t sensors = static_cast<std::size_t>(state.range(0));
  BenchRelay master;
  Quiet quiet;
  master.Enable(true);
  master.Answer(kConfigAnswer);
  std::vector<DS2430AMemory> memories;
  for (std::size_t i = 0; i < sensors; ++i)
    memories.emplace_back(master, Rom(static_cast<uint8_t>(i + 1)), quiet);
  Bytes answer;
  for (std::size_t i = 0; i < sensors; ++i) {
    AppendRead(answer, 1);
    AppendRead(answer, 8);
    AppendRead(answer, 32);
  }
  for (auto _ : state) {
    const auto transaction = master.CreateTransaction(quiet);
    for (DS2430AMemory& memory : memories) {
      memory.RetrieveStatus(transaction);
      memory.RetrieveOTPMemory(transaction, 0, 8);
      memory.RetrieveMemory(transaction, 0, 32);
    }
    transaction->Submit();
    master.Answer(answer);
  }
  if (quiet.errors != 0 || quiet.finished != static_cast<int>(state.iterations()))
    state.SkipWithError("a transaction did not finish cleanly");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * answer.size()));
  state.counters["block_bytes"] = static_cast<double>(answer.size());
}
// Two DS2430As are the most one transfer carries at 255/255: their answers
// may take up to 178 of the 255 bytes an outbound block holds.
BENCHMARK(ParseTransactionAnswer)->Arg(1)->Arg(2);

}  // namespace

BENCHMARK_MAIN();
