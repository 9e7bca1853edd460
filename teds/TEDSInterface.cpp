#include "teds/TEDSInterface.h"

#include <sstream>

#include "relay/RemoteOneWireMaster.h"
#include "teds/TEDSException.h"
#include "teds/TEDSNode.h"
#include "teds/TEDSTransducer.h"
#include "text/HexText.h"

// ---- Nested listeners -------------------------------------------------------
// Each forwards to its interface, as one step that an exception cannot leave.
// The destructor of the interface clears the back pointer, so a listener that
// the master still holds turns inert instead of calling into freed memory.

class TEDSInterface::BusListener : public AbstractOneWireMaster::Listener {
 public:
  explicit BusListener(TEDSInterface* owner) : owner(owner) {}
  void Ready() override {
    if (!owner) return;
    TEDSInterface* const interface = owner;
    interface->RunStep([interface] {
      interface->ReportReady();
      interface->DiscoverNodes();
    });
  }
  void Error(const std::string& message) override {
    if (!owner) return;
    TEDSInterface* const interface = owner;
    interface->RunStep([interface, &message] { interface->Error("OneWire Error: " + message); });
  }
  TEDSInterface* owner;
};

class TEDSInterface::DiscoveryListener : public AbstractOneWireMaster::DiscoveryListener {
 public:
  explicit DiscoveryListener(TEDSInterface* owner) : owner(owner) {}
  void Discovered(const std::vector<AbstractOneWireMaster::Device>& devices) override {
    if (!owner) return;
    TEDSInterface* const interface = owner;
    interface->RunStep([interface, &devices] {
      interface->ReportDiscoveryNotes();
      interface->ReportDevices(devices);
      interface->DiscoveryResult(devices);
    });
  }
  void Error(const std::string& message) override {
    if (!owner) return;
    TEDSInterface* const interface = owner;
    interface->RunStep([interface, &message] {
      interface->ReportDiscoveryNotes();
      interface->Error("OneWire Discovery Error: " + message);
      interface->EndCycle();
    });
  }
  TEDSInterface* owner;
};

// The transaction refers to its listener by plain reference and keeps it
// alive (Transaction::KeepAlive) for as long as it exists.
class TEDSInterface::TransactionListener : public AbstractOneWireMaster::Transaction::Listener {
 public:
  explicit TransactionListener(TEDSInterface* owner) : owner(owner) {}
  void Finished() override {
    if (!owner) return;
    TEDSInterface* const interface = owner;
    interface->RunStep([interface] { interface->ReadNodesResult(); });
  }
  void Error(const std::string& message) override {
    if (!owner) return;
    TEDSInterface* const interface = owner;
    interface->RunStep([interface, &message] {
      // The transaction has ended: the interface lets go of it.
      interface->transaction.reset();
      // A failed repeat costs only the nodes it was to read again: they are
      // named with the failure, the others are compiled and reported.
      if (interface->repeating) return interface->RepeatFailed(message);
      interface->Error("OneWire Memory Error:" + message);
      interface->EndCycle();
    });
  }
  // The interface no longer wants the results. The operations still queued
  // in the master deliver into the nodes' memory objects, so the nodes stay
  // alive with this listener, that is, as long as the transaction.
  void Orphan(const std::vector<std::shared_ptr<TEDSNode>>& read) {
    owner = nullptr;
    nodes = read;
  }
  TEDSInterface* owner;
  std::vector<std::shared_ptr<TEDSNode>> nodes;
};

TEDSInterface::Listener::~Listener() = default;
TEDSInterface::CycleListener::~CycleListener() = default;

// ---- The interface ----------------------------------------------------------

namespace {

// Why a node yields no transducer: it has no memory object to read a TEDS
// from, or its status byte says the application register is not locked.
std::string SkippedText(const TEDSNode& node) {
  if (!node.GetReadFault().empty()) return "OneWire Memory Error:" + node.GetReadFault();
  const AbstractOneWireMaster::Device& device = node.GetDevice();
  std::string text = "Node " + device.ToString() + " skipped: ";
  if (!node.HasMemory()) return text + "family " + orvtext::HexByte(device[0]) + " holds no TEDS";
  if (!node.GetStatus()) return text + "status not read";
  return text + "status " + orvtext::HexByte(*node.GetStatus()) + " is not " +
         orvtext::HexByte(TEDSNode::VALID_STATUS) + " (application register not locked)";
}

}  // namespace

TEDSInterface::TEDSInterface(AbstractOneWireMaster& master)
    : currentNode(nodes.end()), busListener(std::make_shared<BusListener>(this)), master(master) {
  master.AddListener(busListener);
}

TEDSInterface::~TEDSInterface() {
  // Waits until the notification thread has left the master; from then on
  // nothing the master holds can reach this object.
  master.Serialized([this] {
    master.RemoveListener(busListener);
    busListener->owner = nullptr;
    OrphanPending();
  });
}

void TEDSInterface::OrphanPending() {
  if (discoveryListener) {
    discoveryListener->owner = nullptr;
    discoveryListener.reset();
  }
  if (transactionListener) {
    transactionListener->Orphan(nodes);
    transactionListener.reset();
  }
  transaction.reset();
}

void TEDSInterface::AddListener(const std::shared_ptr<Listener>& listener) {
  master.Serialized([&] { listeners.push_back(listener); });
}

void TEDSInterface::AddCycleListener(const std::shared_ptr<CycleListener>& listener) {
  master.Serialized([&] { cycleListeners.push_back(listener); });
}

std::vector<std::shared_ptr<TEDSTransducer>> TEDSInterface::GetTransducers() const {
  std::vector<std::shared_ptr<TEDSTransducer>> copy;
  master.Serialized([&] { copy = transducers; });
  return copy;
}

void TEDSInterface::EndCycle() {
  if (!cycleRunning.exchange(false)) return;
  AnnounceEnd(reported);
}

void TEDSInterface::AnnounceEnd(std::size_t count) {
  const std::vector<std::shared_ptr<CycleListener>> snapshot = cycleListeners;
  std::string failure;
  for (const std::shared_ptr<CycleListener>& listener : snapshot) {
    try {
      listener->CycleEnded(count);
    } catch (const std::exception& e) {
      if (failure.empty()) failure = e.what();
    } catch (...) {
      if (failure.empty()) failure = "unknown exception";
    }
  }
  if (!failure.empty()) ReportQuietly(EXCEPTION_TEXT + failure);
}

void TEDSInterface::RunStep(const std::function<void()>& step) {
  std::string failure;
  try {
    step();
    return;
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown exception";
  }
  AbandonCycle(EXCEPTION_TEXT + failure);
}

void TEDSInterface::AbandonCycle(const std::string& text) {
  OrphanPending();
  ReportQuietly(text);
  // Announced even when the exception came before the cycle had started
  // (from the ready report): a host waiting for its query hears the end.
  cycleRunning = false;
  AnnounceEnd(reported);
}

void TEDSInterface::ReportQuietly(const std::string& text) {
  const std::vector<std::shared_ptr<Listener>> snapshot = listeners;
  for (const std::shared_ptr<Listener>& listener : snapshot) {
    try {
      listener->Error(text);
    } catch (...) {
      // Already reporting a failure; a second one has nowhere to go.
    }
  }
}

void TEDSInterface::Query() {
  // A master that becomes ready inside Enable notifies its bus listeners,
  // which already starts a cycle; do not start a second one after it.
  // The master's notifications may arrive on another thread: enable, look at
  // the state and start the cycle in one step.
  master.Serialized([this] {
    const unsigned before = cyclesStarted;
    master.Enable(true);
    // A master already Searching (for an interface destroyed mid-query, say)
    // sends no further Ready: join its running discovery instead of waiting.
    const unsigned state = master.GetState();
    const bool canDiscover =
        state == AbstractOneWireMaster::Ready || state == AbstractOneWireMaster::Searching;
    if (canDiscover && cyclesStarted == before) DiscoverNodes();
  });
}

void TEDSInterface::Error(const std::string& message) {
  for (std::size_t i = 0; i < listeners.size(); ++i) {
    const std::shared_ptr<Listener> listener = listeners[i];
    listener->Error(message);
  }
}

std::shared_ptr<TEDSNode> TEDSInterface::FindNode(const std::array<uint8_t, 8>& rom) {
  for (const std::shared_ptr<TEDSNode>& node : nodes) {
    if (node->HasMemory() && node->GetDevice() == AbstractOneWireMaster::Device(rom)) return node;
  }
  return nullptr;
}

void TEDSInterface::ReportReady() {
  const auto* remote = dynamic_cast<const RemoteOneWireMaster*>(&master);
  if (!remote) return;
  std::ostringstream text;
  text << "TEDS BusListener" << '\n'
       << "  Protocol: " << remote->GetProtocol() << '\n'
       << "  Vendor: " << remote->GetVendor() << '\n';
  Error(text.str());
}

void TEDSInterface::ReportDiscoveryNotes() {
  for (const std::string& note : master.GetDiscoveryNotes()) Error(note);
}

void TEDSInterface::ReportDevices(const std::vector<AbstractOneWireMaster::Device>& devices) {
  std::ostringstream text;
  text << "Transducers Found:" << '\n';
  for (const AbstractOneWireMaster::Device& device : devices) {
    text << "  " << device.ToString() << '\n';
  }
  Error(text.str());
}

void TEDSInterface::DiscoverNodes() {
  if (cycleRunning) return;
  cycleRunning = true;
  ++cyclesStarted;
  reported = 0;
  repeating = false;
  readAgain.clear();
  // A new cycle: the previous cycle's nodes and transducers go now.
  transducers.clear();
  nodes.clear();
  currentNode = nodes.end();
  discoveryListener = std::make_shared<DiscoveryListener>(this);
  // Hold the listener locally: a discovery that completes inside Discover
  // releases the member.
  const std::shared_ptr<DiscoveryListener> listener = discoveryListener;
  master.Discover(listener);
}

void TEDSInterface::DiscoveryResult(const std::vector<AbstractOneWireMaster::Device>& devices) {
  discoveryListener.reset();
  for (const AbstractOneWireMaster::Device& device : devices) {
    nodes.push_back(std::make_shared<TEDSNode>(*this, device));
  }
  ReadNodes();
}

void TEDSInterface::ReadNodes() {
  transactionListener = std::make_shared<TransactionListener>(this);
  transaction = master.CreateTransaction(*transactionListener);
  transaction->KeepAlive(transactionListener);
  for (currentNode = nodes.begin(); currentNode != nodes.end(); ++currentNode) {
    (*currentNode)->Read(transaction);
  }
  // Hold the transaction locally: one that ends inside Submit releases the
  // member.
  const std::shared_ptr<AbstractOneWireMaster::Transaction> submitted = transaction;
  submitted->Submit();
}

void TEDSInterface::ReadNodesResult() {
  if (transaction) TakeDeviceFaults(*transaction);
  transaction.reset();
  if (RepeatBadReads()) return;
  CompileAndReport();
}

void TEDSInterface::TakeDeviceFaults(const AbstractOneWireMaster::Transaction& finished) {
  for (const AbstractOneWireMaster::Transaction::DeviceFault& fault : finished.GetDeviceFaults()) {
    const std::shared_ptr<TEDSNode> node = FindNode(fault.device);
    if (!node) continue;
    // What it delivered before it went is not its TEDS.
    node->readFault = fault.message;
    node->valid = false;
  }
}

bool TEDSInterface::RepeatBadReads() {
  // Only a node whose TEDS is to be used (its status says valid) is read
  // again: a blank part, or one that has left the bus and reads all ones,
  // would read the same every time.
  std::vector<std::shared_ptr<TEDSNode>> again;
  for (const std::shared_ptr<TEDSNode>& node : nodes) {
    if (!node->IsValid() || node->PagesGood()) continue;
    if (node->GetRepeatedReads() < MAX_REPEATED_READS) again.push_back(node);
  }
  if (again.empty()) return false;
  for (const std::shared_ptr<TEDSNode>& node : again) {
    ++node->repeatedReads;
    Error("Memory read repeated: " + node->GetDevice().ToString() +
          " page checksum failed (repeat " + std::to_string(node->repeatedReads) + " of " +
          std::to_string(MAX_REPEATED_READS) + ")");
  }
  repeating = true;
  transactionListener = std::make_shared<TransactionListener>(this);
  transaction = master.CreateTransaction(*transactionListener);
  transaction->KeepAlive(transactionListener);
  for (const std::shared_ptr<TEDSNode>& node : again) node->Read(transaction);
  readAgain = again;
  const std::shared_ptr<AbstractOneWireMaster::Transaction> submitted = transaction;
  submitted->Submit();
  return true;
}

void TEDSInterface::RepeatFailed(const std::string& message) {
  for (const std::shared_ptr<TEDSNode>& node : readAgain) {
    node->readFault = message;
    node->valid = false;
  }
  CompileAndReport();
}

void TEDSInterface::CompileAndReport() {
  for (currentNode = nodes.begin(); currentNode != nodes.end(); ++currentNode) {
    // A device that could not be read has no pages to judge.
    if ((*currentNode)->GetReadFault().empty()) (*currentNode)->Compile();
  }
  // A bus often carries devices that hold no TEDS (a temperature sensor, an
  // adapter's identity chip, a sensor whose application register was never
  // locked). Each is named and passed over; it must not withhold the others.
  ReportSkippedNodes();
  ProcessTransducers();
  EndCycle();
}

void TEDSInterface::ReportSkippedNodes() {
  for (const std::shared_ptr<TEDSNode>& node : nodes) {
    if (!node->IsValid()) Error(SkippedText(*node));
  }
}

void TEDSInterface::GroupNodeLists() {
  for (const std::shared_ptr<TEDSNode>& node : nodes) {
    if (!node->IsValid() || node->IsClaimed() || !node->IsNodeList()) continue;
    const std::shared_ptr<TEDSTransducer> transducer = TEDSTransducer::Create(node->GetDevice());
    transducer->AddNode(node);
    std::vector<std::array<uint8_t, 8>> list;
    // A malformed list yields no transducer; its node stays claimed.
    if (!node->GetNodeList(list)) continue;
    bool anyFound = false;
    for (const std::array<uint8_t, 8>& rom : list) {
      const std::shared_ptr<TEDSNode> listed = FindNode(rom);
      if (!listed) continue;
      transducer->AddNode(listed);
      anyFound = true;
    }
    if (!anyFound) {
      // Nothing to decode: the list node's own image holds only the list.
      Error("Node list " + node->GetDevice().ToString() + ": no listed device found");
      continue;
    }
    transducers.push_back(transducer);
  }
}

void TEDSInterface::GroupSingleNodes() {
  for (const std::shared_ptr<TEDSNode>& node : nodes) {
    if (!node->IsValid() || node->IsClaimed() || node->IsNodeList()) continue;
    const std::shared_ptr<TEDSTransducer> transducer = TEDSTransducer::Create(node->GetDevice());
    transducer->AddNode(node);
    transducers.push_back(transducer);
  }
}

void TEDSInterface::ParseTransducers() {
  // A transducer whose TEDS cannot be parsed is named and dropped; the others
  // are still reported. Every parse text comes before the first report.
  std::vector<std::shared_ptr<TEDSTransducer>> parsed;
  for (const std::shared_ptr<TEDSTransducer>& transducer : transducers) {
    try {
      transducer->Parse();
      parsed.push_back(transducer);
    } catch (const TEDSException& e) {
      Error(std::string("Template Parse Error : ") + e.what());
    }
  }
  transducers.swap(parsed);
}

void TEDSInterface::ProcessTransducers() {
  GroupNodeLists();
  GroupSingleNodes();
  // When every transducer fails to parse, its parse texts say why nothing is
  // reported; "No valid templates found" is for a cycle that grouped none.
  if (transducers.empty()) {
    Error("No valid templates found");
    return;
  }
  ParseTransducers();
  // Outer loop transducers, inner loop listeners. Work on copies: a listener
  // may add listeners, and the lists must stay valid while they are walked.
  const std::vector<std::shared_ptr<TEDSTransducer>> found = transducers;
  for (const std::shared_ptr<TEDSTransducer>& transducer : found) {
    const std::vector<std::shared_ptr<Listener>> hosts = listeners;
    for (const std::shared_ptr<Listener>& listener : hosts) listener->TransducerFound(*transducer);
    ++reported;
  }
}
