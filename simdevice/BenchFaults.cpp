// The fault knobs of a bench: one table, in the order docs/bench-files.md lists them,
// that declares each knob's key, where it sits and how it is read.
#include <climits>

#include "simdevice/BenchJson.h"
#include "text/HexText.h"

namespace simdevice {
namespace benchjson {
namespace {

// What a knob's reader may set, and what it needs to check ROMs.
struct Target {
  const Fields& fields;
  Bench& bench;
  ChannelConfig* channel;  // null for the device's own faults
  const RomIndex* roms;    // the channel's devices
};

using KnobReader = void (*)(const Target& target, const json& value, const std::string& field);

struct FaultKnob {
  bool perChannel;  // in `channels[].faults`, else in the top-level `faults`
  const char* key;
  KnobReader read;
};

uint32_t Count(const Target& t, const json& value, const std::string& field) {
  return static_cast<uint32_t>(t.fields.Unsigned(value, field, UINT32_MAX));
}

// A ROM that must belong to a device of the channel.
Rom ChannelRom(const Target& t, const json& value, const std::string& field) {
  const Rom rom = t.fields.FixedHex<8>(value, field);
  if (t.roms->count(rom) == 0) {
    t.fields.Fail(field, "ROM " + orvtext::FormatHex(rom) + " is not a device of this channel");
  }
  return rom;
}

CommandFailure ReadFailure(const Target& t, const json& value, const std::string& field) {
  t.fields.Object(value, field, {"command", "code", "skip", "count"});
  CommandFailure failure;
  const json* command = Fields::Find(value, "command");
  if (command == nullptr) t.fields.Fail(field, "missing key 'command'");
  failure.command = t.fields.Byte(*command, field + ".command");
  if (failure.command == RelayProtocol::CMD_POLL) {
    t.fields.Fail(field + ".command", "CMD_POLL (85) has no answer to fail");
  }
  if (const json* v = Fields::Find(value, "code")) {
    failure.code = t.fields.Byte(*v, field + ".code");
    if (failure.code == 0) t.fields.Fail(field + ".code", "0 is success, not a failure");
  }
  if (const json* v = Fields::Find(value, "skip")) failure.skip = Count(t, *v, field + ".skip");
  if (const json* v = Fields::Find(value, "count")) failure.count = Count(t, *v, field + ".count");
  return failure;
}

DropOff ReadDropOff(const Target& t, const json& value, const std::string& field) {
  t.fields.Object(value, field, {"rom", "afterAccesses", "atReadPhase"});
  DropOff drop;
  const json* rom = Fields::Find(value, "rom");
  if (rom == nullptr) t.fields.Fail(field, "missing key 'rom'");
  drop.rom = ChannelRom(t, *rom, field + ".rom");
  const json* after = Fields::Find(value, "afterAccesses");
  const json* atRead = Fields::Find(value, "atReadPhase");
  if (atRead != nullptr) drop.atReadPhase = t.fields.Bool(*atRead, field + ".atReadPhase");
  if (after != nullptr) drop.afterAccesses = Count(t, *after, field + ".afterAccesses");
  if ((after != nullptr) == drop.atReadPhase) {
    t.fields.Fail(field, "give either 'afterAccesses' or \"atReadPhase\": true");
  }
  return drop;
}

NoisyReads ReadNoisyReads(const Target& t, const json& value, const std::string& field) {
  t.fields.Object(value, field, {"rom", "count"});
  NoisyReads noisy;
  const json* rom = Fields::Find(value, "rom");
  if (rom == nullptr) t.fields.Fail(field, "missing key 'rom'");
  noisy.rom = ChannelRom(t, *rom, field + ".rom");
  const json* count = Fields::Find(value, "count");
  if (count == nullptr) t.fields.Fail(field, "missing key 'count'");
  noisy.count = Count(t, *count, field + ".count");
  return noisy;
}

// Each element of a list knob, read by `read` and appended to `out`.
template <typename Item, typename Read>
void ReadList(const Target& t, const json& value, const std::string& field, std::vector<Item>& out,
              Read read) {
  if (!value.is_array()) t.fields.Fail(field, "expected an array");
  for (std::size_t i = 0; i < value.size(); ++i) out.push_back(read(t, value[i], Index(field, i)));
}

const FaultKnob kFaultKnobs[] = {
    {false, "refuseServiceMode",
     [](const Target& t, const json& v, const std::string& f) {
       t.bench.refuseServiceMode = t.fields.Bool(v, f);
     }},
    {true, "silentReads",
     [](const Target& t, const json& v, const std::string& f) {
       t.channel->faults.silentReads = Count(t, v, f);
     }},
    {true, "silentAfterAnswers",
     [](const Target& t, const json& v, const std::string& f) {
       t.channel->faults.silentAfterAnswers = Count(t, v, f);
     }},
    {true, "garbageAnswers",
     [](const Target& t, const json& v, const std::string& f) {
       t.channel->faults.garbageAnswers = Count(t, v, f);
     }},
    {true, "garbageBytes",
     [](const Target& t, const json& v, const std::string& f) {
       t.channel->faults.garbageBytes = t.fields.Hex(v, f);
       if (t.channel->faults.garbageBytes.empty()) t.fields.Fail(f, "must hold at least one byte");
     }},
    {true, "outboundChunk",
     [](const Target& t, const json& v, const std::string& f) {
       t.channel->faults.outboundChunk = Count(t, v, f);
     }},
    {true, "ignoreOutboundMax",
     [](const Target& t, const json& v, const std::string& f) {
       t.channel->faults.ignoreOutboundMax = t.fields.Bool(v, f);
     }},
    {true, "commandFailures",
     [](const Target& t, const json& v, const std::string& f) {
       ReadList(t, v, f, t.channel->faults.commandFailures, ReadFailure);
     }},
    {true, "corruptSearchCrc",
     [](const Target& t, const json& v, const std::string& f) {
       ReadList(t, v, f, t.channel->faults.corruptSearchCrc, ChannelRom);
     }},
    {true, "dropOff",
     [](const Target& t, const json& v, const std::string& f) {
       ReadList(t, v, f, t.channel->faults.dropOffs, ReadDropOff);
     }},
    {true, "noisyReads",
     [](const Target& t, const json& v, const std::string& f) {
       ReadList(t, v, f, t.channel->faults.noisyReads, ReadNoisyReads);
     }},
    {true, "refuseSetMode",
     [](const Target& t, const json& v, const std::string& f) {
       t.channel->refuseSetMode = t.fields.Bool(v, f);
     }},
    {true, "refuseWritesAfter",
     [](const Target& t, const json& v, const std::string& f) {
       t.channel->refuseWrites = true;
       t.channel->writesBeforeRefusal = Count(t, v, f);
     }},
};

}  // namespace

void ReadFaults(const Fields& fields, const json& value, const std::string& field, Bench& bench,
                ChannelConfig* channel, const RomIndex* roms) {
  const bool perChannel = channel != nullptr;
  std::vector<const char*> keys;
  for (const FaultKnob& knob : kFaultKnobs) {
    if (knob.perChannel == perChannel) keys.push_back(knob.key);
  }
  fields.Object(value, field, keys);
  const Target target{fields, bench, channel, roms};
  for (const FaultKnob& knob : kFaultKnobs) {
    if (knob.perChannel != perChannel) continue;
    if (const json* v = Fields::Find(value, knob.key)) knob.read(target, *v, Join(field, knob.key));
  }
}

}  // namespace benchjson
}  // namespace simdevice
