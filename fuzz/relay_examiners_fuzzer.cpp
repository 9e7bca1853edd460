// Answers each transfer of a relay master with blocks that parse: for every
// request the input chooses an answer of the right form (echo, length and
// data; CMD_STATUS with a return code; or nothing for a write), with lengths,
// return codes and contents taken from the input. So the configuration,
// search and transaction examiners behind the parser see every combination
// of values, not only the few inputs that get through the parser by chance.
#include <cstddef>
#include <cstdint>

#include "fuzz/RelayHarness.h"

using namespace fuzzing;

namespace {

class ExaminerHarness : public RelayHarness {
 public:
  // A parseable answer to the transfer in flight, steered by `input`.
  Bytes MakeAnswer(InputReader& input) const {
    Bytes answer;
    for (const Request& request : transfer->requests) {
      const uint8_t form = input.Byte();
      const bool multi = RelayProtocol::CommandIsMultiByte(request.command);
      const bool write =
          multi && !request.data.empty() && request.command != RelayProtocol::CMD_ML_DATA;
      if ((form & 3) == 3 && write) continue;  // a write answered by nothing
      if ((form & 3) == 2) {
        answer.push_back(RelayProtocol::CMD_STATUS);
        answer.push_back(ReturnCode(input));
        continue;
      }
      answer.push_back(request.command);
      if (!multi) {
        answer.push_back(ReturnCode(input));
        continue;
      }
      Bytes value = Value(request, form, input);
      answer.push_back(static_cast<uint8_t>(value.size()));
      answer.insert(answer.end(), value.begin(), value.end());
    }
    return answer;
  }

 private:
  // Mostly 0, sometimes 1 (does not halt) or any code.
  static uint8_t ReturnCode(InputReader& input) {
    const uint8_t b = input.Byte();
    if (b < 0xC0) return 0;
    return b < 0xE0 ? 1 : input.Byte();
  }

  // The data of a multi-byte command's answer: of its proper length unless
  // the input's form asks for a length of its own.
  static Bytes Value(const Request& request, uint8_t form, InputReader& input) {
    std::size_t length = 0;
    switch (request.command) {
      case RelayProtocol::CMD_ML_DATA: length = request.data.empty() ? 0 : request.data[0]; break;
      case RelayProtocol::CMD_DATA_ID: length = 8; break;
      case RelayProtocol::CMD_DATA_OUTBOUND_MAX:
      case RelayProtocol::CMD_DATA_INBOUND_MAX: length = 1; break;
      default: length = request.data.empty() ? input.Byte() % 16 : request.data.size(); break;
    }
    if (form & 4) length = input.Byte();
    Bytes value = input.Take(length);
    value.resize(length, 0);
    // A ROM with a correct CRC lets the search go on to its later passes.
    if (request.command == RelayProtocol::CMD_DATA_ID && length == 8 && (form & 8))
      value[7] = Device::crc8(value.data(), 7);
    // Texts end with a 0 byte unless the input wants otherwise.
    if ((request.command == RelayProtocol::CMD_DATA_PROTOCOL ||
         request.command == RelayProtocol::CMD_DATA_VENDOR) &&
        !value.empty() && !(form & 16))
      value.back() = 0;
    return value;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  InputReader input(data, size);
  ExaminerHarness master;
  if (!PrepareFromInput(master, input)) __builtin_trap();
  for (int transfers = 0; transfers < 32 && !input.Empty() && master.InFlight(); ++transfers)
    master.Answer(master.MakeAnswer(input));
  master.Finish();
  return 0;
}
