#include "onewire/AbstractOneWireMaster.h"

#include <algorithm>

#include "onewire/WireCommands.h"
#include "text/HexText.h"

// ---- Device ---------------------------------------------------------------

AbstractOneWireMaster::Device::Device() : std::array<uint8_t, 8>{} {}

AbstractOneWireMaster::Device::Device(const std::array<uint8_t, 8>& rom)
    : std::array<uint8_t, 8>(rom) {}

AbstractOneWireMaster::Device::Device(const uint8_t* const rom) : std::array<uint8_t, 8>{} {
  std::copy(rom, rom + 8, begin());
}

uint8_t AbstractOneWireMaster::Device::crc8(const uint8_t* data, uint8_t length) {
  uint8_t crc = 0x00;
  for (uint8_t i = 0; i < length; ++i) {
    uint8_t b = data[i];
    for (int bit = 0; bit < 8; ++bit) {
      const bool mix = ((crc ^ b) & 0x01) != 0;
      crc = static_cast<uint8_t>(crc >> 1);
      if (mix) crc ^= 0x8C;
      b = static_cast<uint8_t>(b >> 1);
    }
  }
  return crc;
}

std::string AbstractOneWireMaster::Device::ToString() const { return ToString(*this); }

std::string AbstractOneWireMaster::Device::ToString(const std::array<uint8_t, 8>& rom) {
  return '[' + orvtext::FormatHex(rom) + ']';
}

// ---- Operations and transactions -----------------------------------------

AbstractOneWireMaster::OperationData::OperationData(const Device& device, uint8_t command,
                                                    const std::vector<uint8_t>& data,
                                                    uint8_t length)
    : device(device), command(command), data(data), length(length) {}

AbstractOneWireMaster::Operation::Operation(const Device& device, uint8_t command,
                                            const std::vector<uint8_t>& data, uint8_t length)
    : data(device, command, data, length) {}

AbstractOneWireMaster::Operation::~Operation() = default;

AbstractOneWireMaster::Transaction::Listener::~Listener() = default;

AbstractOneWireMaster::Transaction::Transaction(AbstractOneWireMaster& master, Listener& listener)
    : master(master), listener(listener) {}

AbstractOneWireMaster::Transaction::~Transaction() = default;

std::shared_ptr<AbstractOneWireMaster::Transaction> AbstractOneWireMaster::Transaction::Create(
    AbstractOneWireMaster& master, Listener& listener) {
  struct make_shared_enabler : Transaction {
    make_shared_enabler(AbstractOneWireMaster& m, Listener& l) : Transaction(m, l) {}
  };
  return std::make_shared<make_shared_enabler>(master, listener);
}

bool AbstractOneWireMaster::Transaction::AddOperation(const std::shared_ptr<Operation>& operation) {
  operations.push_back(operation);
  operation->SetTransaction(this);
  return true;
}

void AbstractOneWireMaster::Transaction::Submit() {
  master.transactions.push_back(shared_from_this());
  master.Process();
}

void AbstractOneWireMaster::Transaction::FinishOperation(Operation& operation,
                                                         const std::vector<uint8_t>& reply) {
  operation.Finished(reply);
  operation.SetTransaction(nullptr);
}

void AbstractOneWireMaster::Transaction::Finished() {
  listener.Finished();
  Release();
}

void AbstractOneWireMaster::Transaction::Error(const std::string& message) {
  listener.Error(message);
  Release();
}

void AbstractOneWireMaster::Transaction::Release() {
  // The local handle keeps this transaction alive until the call returns, even
  // when the master's list held the last other reference.
  const std::shared_ptr<Transaction> self = shared_from_this();
  master.transactions.remove_if(
      [&self](const std::shared_ptr<Transaction>& entry) { return entry == self; });
}

// ---- Listeners ------------------------------------------------------------

AbstractOneWireMaster::Listener::~Listener() = default;
AbstractOneWireMaster::DiscoveryListener::~DiscoveryListener() = default;

// ---- The master -----------------------------------------------------------

AbstractOneWireMaster::AbstractOneWireMaster() = default;
AbstractOneWireMaster::~AbstractOneWireMaster() = default;

void AbstractOneWireMaster::AddListener(const std::shared_ptr<Listener>& listener) {
  Serialized([&] { listeners.push_back(listener); });
}

void AbstractOneWireMaster::RemoveListener(const std::shared_ptr<Listener>& listener) {
  Serialized([&] {
    listeners.erase(std::remove(listeners.begin(), listeners.end(), listener), listeners.end());
  });
}

bool AbstractOneWireMaster::IsListening(const Listener* listener) const {
  return std::any_of(listeners.begin(), listeners.end(),
                     [listener](const std::shared_ptr<Listener>& l) { return l.get() == listener; });
}

std::shared_ptr<AbstractOneWireMaster::Transaction> AbstractOneWireMaster::CreateTransaction(
    Transaction::Listener& listener) {
  return Transaction::Create(*this, listener);
}

void AbstractOneWireMaster::Serialized(const std::function<void()>& action) {
  if (serializer) {
    serializer(*this, action);
  } else {
    action();
  }
}

void AbstractOneWireMaster::Process() {
  if (state == Enabling) {
    state = Ready;
    // Notify a snapshot: listeners may add or remove listeners from inside the
    // call. The snapshot also keeps each listener alive during its call.
    const std::vector<std::shared_ptr<Listener>> snapshot = listeners;
    for (const std::shared_ptr<Listener>& listener : snapshot) {
      if (IsListening(listener.get())) listener->Ready();
    }
    // A listener may already have started the search through Discover.
    if (state != Ready) return;
  }
  if (state == Ready && discovery) {
    state = Searching;
    Search();
  }
}

void AbstractOneWireMaster::Discover(const std::shared_ptr<DiscoveryListener>& listener) {
  if (discovery) {
    discovery->listeners.push_back(listener);
    return;
  }
  search = SearchContext{};
  search.command = onewire::SEARCH_ROM;
  discovery = std::make_shared<Discovery>();
  // Registered before anything starts, so that a search that completes at
  // once still reaches the listener.
  discovery->listeners.push_back(listener);
  if (state == Disabled) {
    Enable(true);
  } else if (state == Ready) {
    state = Searching;
    Search();
  }
}

void AbstractOneWireMaster::SearchFinished(bool pending) {
  if (!discovery) return;
  if (!search.done) {
    discovery->devices.push_back(search.id);
    if (discovery->devices.size() > search.repeatPass) search.repeats = 0;
    if (!pending) Search();
    return;
  }
  // The listeners run while the state is still Searching and the discovery
  // still exists; one that calls Discover from inside joins this discovery and
  // is notified in the same loop (hence the index, not an iterator).
  const std::shared_ptr<Discovery> ended = discovery;
  for (std::size_t i = 0; i < ended->listeners.size(); ++i) {
    const std::shared_ptr<DiscoveryListener> listener = ended->listeners[i];
    listener->Discovered(ended->devices);
  }
  if (discovery == ended) discovery.reset();
  if (state == Searching) state = Ready;
}

void AbstractOneWireMaster::SearchError(const std::string& message) {
  if (!discovery) return;
  const std::shared_ptr<Discovery> failed = discovery;
  for (std::size_t i = 0; i < failed->listeners.size(); ++i) {
    const std::shared_ptr<DiscoveryListener> listener = failed->listeners[i];
    listener->Error(message);
  }
  // A failed discovery never advances again: drop it so that the next
  // Discover starts a fresh search instead of joining a dead one.
  if (discovery == failed) discovery.reset();
  if (state == Searching) state = Ready;
}

void AbstractOneWireMaster::Error(const std::string& message) {
  const std::vector<std::shared_ptr<Listener>> snapshot = listeners;
  for (const std::shared_ptr<Listener>& listener : snapshot) {
    if (IsListening(listener.get())) listener->Error(message);
  }
  SearchError(message);
}

void AbstractOneWireMaster::FailTransactions(const std::string& message) {
  // Each Error removes its transaction from the list; work on a copy.
  const std::list<std::shared_ptr<Transaction>> pending = transactions;
  for (const std::shared_ptr<Transaction>& transaction : pending) {
    const bool stillListed =
        std::find(transactions.begin(), transactions.end(), transaction) != transactions.end();
    if (stillListed) transaction->Error(message);
  }
}

void AbstractOneWireMaster::FailDiscovery(const std::string& message) {
  if (discovery) SearchError(message);
}

bool AbstractOneWireMaster::RepeatSearchPass() {
  if (!discovery) return false;
  search.repeatPass = discovery->devices.size();
  if (search.repeats >= MAX_SEARCH_REPEATS) return false;
  ++search.repeats;
  discovery->notes.push_back("Search pass repeated: ROM CRC-8 check failed (repeat " +
                             std::to_string(search.repeats) + " of " +
                             std::to_string(MAX_SEARCH_REPEATS) + ")");
  return true;
}

std::vector<std::string> AbstractOneWireMaster::GetDiscoveryNotes() const {
  return discovery ? discovery->notes : std::vector<std::string>();
}
