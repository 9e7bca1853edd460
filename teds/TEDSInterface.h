#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "onewire/AbstractOneWireMaster.h"
#include "onewire/Export.h"

class TEDSNode;
class TEDSTransducer;

// The host's entry point: reads the TEDS of every sensor on the bus of a
// master. Each time the master becomes ready, or the host calls Query on a
// ready master, one query cycle runs: discover the devices, read every
// DS2430A in one transaction, compile and check each image, group the nodes
// into transducers, parse them and hand each one to every host listener.
// Progress notes and errors of the cycle reach the listeners' Error as text.
//
// One cycle at a time: a Query, or a Ready of the master, that arrives while
// a cycle is under way starts no second cycle; the running one goes on and
// reports. Every cycle starts from empty node and transducer lists, so each
// sensor is reported once per cycle; transducers handed to the host stay
// valid until the next cycle starts.
//
// Threads and lifetime. The cycle and every listener call run on the thread
// on which the master delivers its notifications. The host's thread may call
// every public member at any time, also while a cycle runs: each one runs
// through the master's Serialized, so it waits until the notification thread
// has left the master. Listeners may call Query, AddListener and
// AddCycleListener from inside their calls. The master must outlive the
// interface; destroying the interface between host calls is safe at any
// moment of a cycle: work still under way in the master delivers nowhere and
// is freed when the master lets go of it. Never destroy the interface from
// inside one of its own listener calls.
//
// A host listener that throws (from TransducerFound, Error or CycleEnded)
// ends the cycle at once: nothing more of that cycle reaches the listeners,
// the text "Query cycle ended by an exception: " and the exception's what()
// is reported through Error (an exception thrown from that report is
// dropped), and the cycle listeners hear CycleEnded. The next Query starts a
// fresh cycle. No exception leaves the interface into the master.
class ORVANE_TEDS_API TEDSInterface {
 public:
  class ORVANE_TEDS_API Listener {
   public:
    virtual void TransducerFound(const TEDSTransducer& transducer) = 0;
    virtual void Error(const std::string& message) = 0;
    virtual ~Listener();
  };

  // Told when a query cycle has ended, however it ended: after its reports,
  // with nothing to report, or through a discovery or memory error. Lets a
  // host that waits for a query know when to stop waiting.
  class ORVANE_TEDS_API CycleListener {
   public:
    // `transducersReported`: how many transducers the cycle handed out.
    virtual void CycleEnded(std::size_t transducersReported) = 0;
    virtual ~CycleListener();
  };

  explicit TEDSInterface(AbstractOneWireMaster& master);
  TEDSInterface(const TEDSInterface&) = delete;
  TEDSInterface& operator=(const TEDSInterface&) = delete;
  // Unregisters from the master; a cycle still under way can no longer reach
  // this object.
  ~TEDSInterface();

  // What the host reads about a failed cycle, see the class comment.
  static constexpr const char* EXCEPTION_TEXT = "Query cycle ended by an exception: ";
  // A DS2430A read has no CRC of its own: a page that fails its checksum is
  // read again, at most this many times, before its verdict stands. Each
  // repeat is reported, before the verdicts, as "Memory read repeated: " +
  // the device's ROM text + " page checksum failed (repeat N of 2)", and
  // counted in the node (TEDSNode::GetRepeatedReads). A good first read is
  // never repeated, nor is a node whose status is not 0xFC (its TEDS is not
  // used: a blank part, or one that has left the bus and reads all ones).
  static constexpr unsigned MAX_REPEATED_READS = 2;

  void AddListener(const std::shared_ptr<Listener>& listener);
  void AddCycleListener(const std::shared_ptr<CycleListener>& listener);
  // Enables the master; a master that is ready at once is queried at once, one
  // already searching (for another interface) is joined in its discovery,
  // otherwise the cycle starts when it becomes ready.
  void Query();

  bool IsCycleRunning() const { return cycleRunning.load(); }
  // The transducers of the latest cycle (a copy of the list: the next cycle
  // may replace it on another thread).
  std::vector<std::shared_ptr<TEDSTransducer>> GetTransducers() const;

 protected:
  friend class TEDSNode;
  class BusListener;
  class DiscoveryListener;
  class TransactionListener;

  void Error(const std::string& message);
  std::shared_ptr<TEDSNode> FindNode(const std::array<uint8_t, 8>& rom);
  void DiscoverNodes();
  void DiscoveryResult(const std::vector<AbstractOneWireMaster::Device>& devices);
  void ReadNodes();
  void ReadNodesResult();
  void ProcessTransducers();

  std::vector<std::shared_ptr<TEDSNode>> nodes;
  std::vector<std::shared_ptr<TEDSNode>>::iterator currentNode;
  std::vector<std::shared_ptr<TEDSTransducer>> transducers;
  std::shared_ptr<BusListener> busListener;
  std::shared_ptr<DiscoveryListener> discoveryListener;
  AbstractOneWireMaster& master;
  std::shared_ptr<TransactionListener> transactionListener;
  std::shared_ptr<AbstractOneWireMaster::Transaction> transaction;
  std::vector<std::shared_ptr<Listener>> listeners;

 private:
  void EndCycle();
  // Runs one step the master called; an exception out of it ends the cycle.
  void RunStep(const std::function<void()>& step);
  void AbandonCycle(const std::string& text);
  void AnnounceEnd(std::size_t count);
  void ReportQuietly(const std::string& text);
  // Work of the cycle still under way in the master delivers nowhere.
  void OrphanPending();
  void ReportReady();
  // The repeated search passes of the discovery, before its result.
  void ReportDiscoveryNotes();
  void ReportDevices(const std::vector<AbstractOneWireMaster::Device>& devices);
  void ReportSkippedNodes();
  // Takes the device faults of the finished read transaction into the nodes.
  void TakeDeviceFaults(const AbstractOneWireMaster::Transaction& finished);
  // Reads the nodes whose pages failed their checksum again; false when
  // there is none left to read again.
  bool RepeatBadReads();
  // The repeat transaction failed with `message`.
  void RepeatFailed(const std::string& message);
  void CompileAndReport();
  void GroupNodeLists();
  void GroupSingleNodes();
  void ParseTransducers();

  std::vector<std::shared_ptr<CycleListener>> cycleListeners;
  std::atomic<bool> cycleRunning{false};
  unsigned cyclesStarted = 0;
  std::size_t reported = 0;
  bool repeating = false;  // the read transaction under way repeats reads
  std::vector<std::shared_ptr<TEDSNode>> readAgain;  // by the latest repeat
};
