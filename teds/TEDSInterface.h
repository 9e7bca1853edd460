#pragma once

#include <array>
#include <cstdint>
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
// Everything but the constructor, the destructor, AddListener and Query runs
// on the thread on which the master delivers its notifications. The master
// must outlive the interface, and the interface must not be destroyed while
// that thread can be inside it: with the device-link master, call its
// Shutdown (or destroy the interface from a notification-free state) first.
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

  void AddListener(const std::shared_ptr<Listener>& listener);
  void AddCycleListener(const std::shared_ptr<CycleListener>& listener);
  // Enables the master; a master that is ready at once is queried at once,
  // otherwise the cycle starts when it becomes ready.
  void Query();

  bool IsCycleRunning() const { return cycleRunning; }
  // The transducers of the latest cycle.
  const std::vector<std::shared_ptr<TEDSTransducer>>& GetTransducers() const {
    return transducers;
  }

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
  void ReportReady();
  void ReportDevices(const std::vector<AbstractOneWireMaster::Device>& devices);
  void ReportSkippedNodes();
  void GroupNodeLists();
  void GroupSingleNodes();
  void ParseTransducers();

  std::vector<std::shared_ptr<CycleListener>> cycleListeners;
  bool cycleRunning = false;
  unsigned cyclesStarted = 0;
  std::size_t reported = 0;
};
