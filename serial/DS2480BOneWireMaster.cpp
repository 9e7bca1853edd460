#include "serial/DS2480BOneWireMaster.h"

#include <algorithm>

#include "serial/DS2480BAdapter.h"
#include "serial/LibraryUnload.h"

// One unit of work for the master's thread, run in queue order.
struct DS2480BOneWireMaster::Job {
  enum class Kind { Start, Search, Transaction, Drop };
  Kind kind = Kind::Start;
  uint64_t generation = 0;
  std::shared_ptr<SerialTransaction> transaction;  // Transaction
  // Drop: what a disable (or a submission to a disabled master) ends, told
  // on the master's thread like every other notification.
  std::vector<std::shared_ptr<SerialTransaction>> dropped;
  std::shared_ptr<Discovery> discovery;
  std::string message;
  bool closePort = false;
};

// A transaction that ends once, however many times it is submitted or
// dropped.
class DS2480BOneWireMaster::SerialTransaction : public AbstractOneWireMaster::Transaction {
 public:
  SerialTransaction(DS2480BOneWireMaster& owner, Listener& listener)
      : AbstractOneWireMaster::Transaction(owner, listener), owner(owner) {}

  void Submit() override {
    std::lock_guard<std::recursive_mutex> guard(owner.lock);
    if (ended) return;
    owner.Submitted(std::static_pointer_cast<SerialTransaction>(shared_from_this()));
    AbstractOneWireMaster::Transaction::Submit();
  }

  void Deliver(Operation& operation, const std::vector<uint8_t>& reply) {
    FinishOperation(operation, reply);
  }

  void DeviceGone(const Device& device, const std::string& fault) { FailDevice(device, fault); }

  // Finished or Error as `outcome` says; only the first call.
  void End(const Status& outcome) {
    if (ended) return;
    ended = true;
    if (outcome) {
      Finished();
    } else {
      Error(outcome.Why());
    }
  }

  bool IsEnded() const { return ended; }

 protected:
  // The master lets go of the transaction before its listener is told, so
  // that nothing of the master is touched once the listener has returned:
  // the listener may destroy the master.
  void Finished() override {
    LetGo();
    listener.Finished();
  }
  void Error(const std::string& message) override {
    LetGo();
    listener.Error(message);
  }

 private:
  void LetGo() {
    const std::shared_ptr<Transaction> self = shared_from_this();
    owner.transactions.remove_if(
        [&self](const std::shared_ptr<Transaction>& entry) { return entry == self; });
  }

  DS2480BOneWireMaster& owner;
  bool ended = false;
};

DS2480BOneWireMaster::DS2480BOneWireMaster(const std::string& portName, Timing timing)
    : DS2480BOneWireMaster(nullptr, portName, timing) {}

DS2480BOneWireMaster::DS2480BOneWireMaster(std::shared_ptr<SerialPort> port,
                                           const std::string& portName, Timing timing)
    : portName(portName),
      adapter(std::make_unique<DS2480BAdapter>(
          std::move(port), portName, timing,
          [this] { return stopping.load() || working.load() != generation.load(); })),
      shared(std::make_shared<Shared>()),
      lock(shared->lock),
      wake(shared->wake) {
  serializer = &DS2480BOneWireMaster::SerializeEntry;
  std::shared_ptr<Shared> own = shared;
  thread = std::thread([this, own] { ThreadMain(own); });
}

DS2480BOneWireMaster::~DS2480BOneWireMaster() {
  Shutdown();
  if (!thread.joinable()) return;
  // Not joined: destroyed on its own thread, or during unloading. The
  // thread finds the mark once the notification under way returns.
  if (serial::LibraryUnloading()) {
    shared->orphaned = true;
  } else {
    std::lock_guard<std::recursive_mutex> guard(lock);
    shared->orphaned = true;
  }
  thread.detach();
}

void DS2480BOneWireMaster::Shutdown() {
  // While the library is being unloaded nothing waits: not for the thread
  // (on Windows it cannot end before the loader is done), nor for the lock
  // (at process exit the thread was ended wherever it stood, maybe holding
  // it).
  if (serial::LibraryUnloading()) {
    stopping = true;
    return;
  }
  {
    std::lock_guard<std::recursive_mutex> guard(lock);
    stopping = true;
  }
  wake.notify_all();
  if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
}

bool DS2480BOneWireMaster::SetBaudRate(unsigned baud,
                                       std::function<void(const std::string&)> note) {
  if (ds2480b::BaudValue(baud) < 0) return false;
  std::lock_guard<std::recursive_mutex> guard(lock);
  // The adapter belongs to the master's thread, which takes the request at
  // the next start-up.
  baudRequest.reset(new BaudRequest{baud, std::move(note)});
  return true;
}

std::string DS2480BOneWireMaster::DisabledText() const {
  return "DS2480B on " + portName + ": master disabled before the exchange ended";
}

void DS2480BOneWireMaster::Queue(Job job) {
  job.generation = generation;
  jobs.push_back(std::move(job));
  wake.notify_one();
}

void DS2480BOneWireMaster::Enable(bool enable) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  if (enable) {
    if (state != Disabled) return;
    state = Enabling;
    started = false;
    startFailed = false;
    Job start;
    start.kind = Job::Kind::Start;
    Queue(std::move(start));
    return;
  }
  if (state == Disabled) return;
  state = Disabled;
  ++generation;
  // Everything queued or under way ends with an error on the master's
  // thread; a drop queued by an earlier disable still has to be told.
  Job drop;
  drop.kind = Job::Kind::Drop;
  drop.message = DisabledText();
  drop.closePort = true;
  drop.dropped = std::move(running);
  running.clear();
  drop.dropped.insert(drop.dropped.end(), submitted.begin(), submitted.end());
  submitted.clear();
  drop.discovery = std::move(discovery);
  discovery.reset();
  jobs.erase(std::remove_if(jobs.begin(), jobs.end(),
                            [](const Job& job) { return job.kind != Job::Kind::Drop; }),
             jobs.end());
  Queue(std::move(drop));
}

void DS2480BOneWireMaster::Discover(const std::shared_ptr<DiscoveryListener>& listener) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  AbstractOneWireMaster::Discover(listener);
}

std::shared_ptr<AbstractOneWireMaster::Transaction> DS2480BOneWireMaster::CreateTransaction(
    AbstractOneWireMaster::Transaction::Listener& listener) {
  return std::make_shared<SerialTransaction>(*this, listener);
}

void DS2480BOneWireMaster::SerializeEntry(AbstractOneWireMaster& master,
                                          const std::function<void()>& action) {
  DS2480BOneWireMaster& self = static_cast<DS2480BOneWireMaster&>(master);
  std::lock_guard<std::recursive_mutex> guard(self.lock);
  action();
}

void DS2480BOneWireMaster::Process() {
  std::lock_guard<std::recursive_mutex> guard(lock);
  // Only the master's thread, once the adapter is up, makes it Ready: the
  // listeners' Ready must not run on a host's thread.
  if (state == Enabling && !started) return;
  AbstractOneWireMaster::Process();
  QueueSubmitted();
}

void DS2480BOneWireMaster::Search() {
  Job search;
  search.kind = Job::Kind::Search;
  Queue(std::move(search));
}

void DS2480BOneWireMaster::Submitted(const std::shared_ptr<SerialTransaction>& transaction) {
  const auto listed = [&transaction](const std::shared_ptr<SerialTransaction>& entry) {
    return entry == transaction;
  };
  // Submitted twice: it still runs once.
  if (std::any_of(submitted.begin(), submitted.end(), listed) ||
      std::any_of(running.begin(), running.end(), listed)) {
    return;
  }
  submitted.push_back(transaction);
}

void DS2480BOneWireMaster::QueueSubmitted() {
  if (state == Enabling || submitted.empty()) return;
  if (state == Disabled) {
    Job drop;
    drop.kind = Job::Kind::Drop;
    drop.message = "DS2480B on " + portName + ": master is disabled";
    drop.dropped.assign(submitted.begin(), submitted.end());
    submitted.clear();
    Queue(std::move(drop));
    return;
  }
  for (const std::shared_ptr<SerialTransaction>& transaction : submitted) {
    running.push_back(transaction);
    Job run;
    run.kind = Job::Kind::Transaction;
    run.transaction = transaction;
    Queue(std::move(run));
  }
  submitted.clear();
}

void DS2480BOneWireMaster::ThreadMain(const std::shared_ptr<Shared>& own) {
  std::unique_lock<std::recursive_mutex> guard(own->lock);
  for (;;) {
    own->wake.wait(
        guard, [this, &own] { return own->orphaned.load() || stopping.load() || !jobs.empty(); });
    if (own->orphaned || stopping) return;
    Job job = std::move(jobs.front());
    jobs.pop_front();
    Run(job, guard);
    // A listener destroyed the master: nothing of it may be touched.
    if (own->orphaned) return;
  }
}

void DS2480BOneWireMaster::Run(Job& job, std::unique_lock<std::recursive_mutex>& guard) {
  if (job.kind == Job::Kind::Drop) return RunDrop(job, *shared);
  // Work queued before the latest disable was ended by its drop.
  if (job.generation != generation) return;
  working = job.generation;
  switch (job.kind) {
    case Job::Kind::Start:
      return RunStart(guard);
    case Job::Kind::Search:
      return RunSearch(guard);
    default:
      return RunTransaction(job.transaction, guard);
  }
}

void DS2480BOneWireMaster::RunStart(std::unique_lock<std::recursive_mutex>& guard) {
  if (baudRequest) {
    adapter->SetBaud(baudRequest->baud, std::move(baudRequest->note));
    baudRequest.reset();
  }
  const uint64_t before = generation.load();
  guard.unlock();
  const Status fault = adapter->Start();
  guard.lock();
  if (before != generation || stopping) return;
  if (!fault) {
    startFailed = true;
    Error(fault.Why());
    return;
  }
  baudRate = adapter->Baud();
  started = true;
  Process();
}

void DS2480BOneWireMaster::RunSearch(std::unique_lock<std::recursive_mutex>& guard) {
  if (!discovery) return;
  // search.state: the position after the last open discrepancy (0 before
  // the first pass), and 1 once the pass found the last device.
  search.load = false;
  if (search.state[1] != 0) {
    search.done = true;
    SearchFinished(false);
    return;
  }
  const bool firstPass = search.state[0] == 0;
  const ds2480b::SearchBlock directions =
      firstPass ? ds2480b::SearchBlock{}
                : ds2480b::SearchDirections(search.id, search.state[0] - 1u);
  const uint8_t command = search.command;
  const uint64_t before = generation.load();
  guard.unlock();
  DS2480BAdapter::Pass pass;
  const Status fault = adapter->Search(command, directions, pass);
  guard.lock();
  if (before != generation || stopping || !discovery) return;
  const std::string prefix = "DS2480B on " + portName + ": ";
  if (!fault) return SearchError(fault.Why());
  if (!pass.presence || (pass.nobody && firstPass)) {
    // An empty bus (or one whose devices have all left).
    search.done = true;
    SearchFinished(false);
    return;
  }
  if (pass.nobody) return SearchError(prefix + "no device took part in the search pass");
  const Device rom(pass.rom);
  if (Device::crc8(rom.data(), 7) != rom[7]) {
    // Line noise, most likely: the same pass again (the context is as it was).
    if (RepeatSearchPass()) return Search();
    return SearchError(prefix + "ROM " + rom.ToString() +
                       " found by the search fails its CRC-8 check");
  }
  search.id = rom;
  search.state[0] = uint8_t(pass.lastDiscrepancy + 1);
  search.state[1] = pass.lastDiscrepancy < 0 ? 1 : 0;
  SearchFinished(false);
}

void DS2480BOneWireMaster::RunTransaction(const std::shared_ptr<SerialTransaction>& transaction,
                                          std::unique_lock<std::recursive_mutex>& guard) {
  const std::vector<std::shared_ptr<Operation>> operations(transaction->GetOperations().begin(),
                                                           transaction->GetOperations().end());
  std::vector<OperationData> exchanges;
  for (const std::shared_ptr<Operation>& operation : operations) {
    exchanges.push_back(operation->getData());
  }
  const uint64_t before = generation.load();
  guard.unlock();
  // Replies by operation index; a device that has gone gets none.
  std::vector<std::pair<std::size_t, std::vector<uint8_t>>> replies;
  std::vector<std::pair<Device, std::string>> gone;
  const auto isGone = [&gone](const Device& device) {
    return std::any_of(
        gone.begin(), gone.end(),
        [&device](const std::pair<Device, std::string>& g) { return g.first == device; });
  };
  Status fault;
  for (std::size_t i = 0; i < exchanges.size() && !stopping; ++i) {
    const Device& device = exchanges[i].device;
    if (isGone(device)) continue;
    std::vector<uint8_t> reply;
    fault = adapter->Exchange(exchanges[i], reply);
    if (stopping) break;
    // A read of nothing but ones may be a device that has left (the idle
    // bus reads ones); only then is its presence checked, so a good read
    // costs no more than itself. Anything else that a departure garbles
    // fails its page checksum, and the query reads that page again.
    const bool allOnes = !reply.empty() && std::all_of(reply.begin(), reply.end(),
                                                       [](uint8_t b) { return b == 0xFF; });
    if (fault && allOnes && IsGone(device)) {
      gone.emplace_back(device, adapter->Departed(device));
      continue;
    }
    if (!fault) {
      // One sensor leaving the bus must not cost the others: the device is
      // left out from here on and the rest of the batch goes on. Any other
      // fault (noise, a silent adapter) ends the transaction.
      if (!IsGone(device)) break;
      gone.emplace_back(device, fault.Why());
      fault = Status();
      continue;
    }
    replies.emplace_back(i, std::move(reply));
  }
  // With every device of the batch gone there is nobody to go on for: the
  // transaction fails with the first one's fault (a write to one device, say).
  if (fault && !gone.empty() &&
      std::all_of(exchanges.begin(), exchanges.end(),
                  [&isGone](const OperationData& exchange) { return isGone(exchange.device); })) {
    fault = Status::Fail(gone.front().second);
    gone.clear();
  }
  guard.lock();
  if (before != generation || stopping) return;
  running.erase(std::remove(running.begin(), running.end(), transaction), running.end());
  if (transaction->IsEnded()) return;
  for (const auto& entry : gone) transaction->DeviceGone(entry.first, entry.second);
  for (const auto& reply : replies) transaction->Deliver(*operations[reply.first], reply.second);
  transaction->End(fault);
}

bool DS2480BOneWireMaster::IsGone(const Device& device) {
  // A search pass steered to the ROM finds it only while it is on the bus.
  DS2480BAdapter::Pass pass;
  const Status fault =
      adapter->Search(onewire::SEARCH_ROM, ds2480b::SearchDirections(device, 64), pass);
  return fault && (!pass.presence || Device(pass.rom) != device);
}

void DS2480BOneWireMaster::RunDrop(Job& job, const Shared& own) {
  if (job.closePort) adapter->Close();
  // Each notification may destroy the master; the job is the thread's own.
  for (const std::shared_ptr<SerialTransaction>& transaction : job.dropped) {
    transaction->End(Status::Fail(job.message));
    if (own.orphaned) return;
  }
  if (!job.discovery) return;
  for (std::size_t i = 0; i < job.discovery->listeners.size(); ++i) {
    const std::shared_ptr<DiscoveryListener> listener = job.discovery->listeners[i];
    listener->Error(job.message);
    if (own.orphaned) return;
  }
}
