#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "onewire/AbstractOneWireMaster.h"
#include "onewire/Export.h"
#include "relay/RelayProtocol.h"

// A 1-Wire master whose bus is driven by a remote relay reached through two
// byte channels: inbound blocks of relay commands and outbound blocks of
// answers. A subclass moves the bytes (SendInbound, SentInbound,
// ReceiveOutbound); this class speaks the relay protocol: it configures the
// relay when enabled, runs the ROM search inside the relay, and carries
// transactions as relay commands.
//
// Work travels in transfers, sent one at a time in queue order. Every transfer
// ends, and its owner is told: by its answers, by a protocol error, when the
// relay stays silent through the poll budget, when it cannot be packed into
// one inbound block, or when the master is disabled.
//
// No locks: all entry points of one master must be called from one thread at a
// time (the subclass serialises its channel callbacks with the host's calls).
class ORVANE_TEDS_API RemoteOneWireMaster : public AbstractOneWireMaster {
 protected:
  // Examines a transfer's responses in order (relay/ResponseWalk.h).
  class ResponseWalk;

 public:
  // One queued relay command: its code and its payload (empty for single-byte
  // commands and for reads).
  struct Request {
    uint8_t command = 0;
    std::vector<uint8_t> data;
  };

  // One parsed answer. `command` is always the code of the request answered,
  // also when the relay answered with CMD_STATUS or not at all.
  struct Response {
    uint8_t command = 0;
    uint8_t returnCode = 0;
    std::vector<uint8_t> data;
  };

  class Transfer;

  // Told about the fate of one transfer.
  class ORVANE_TEDS_API TransferListener : public std::enable_shared_from_this<TransferListener> {
   public:
    // An inbound block of the transfer (its own or a poll) was accepted.
    virtual void Sent(const Transfer& transfer);
    // The transfer's answers are parsed into its responses.
    virtual void Finished(const Transfer& transfer) = 0;
    // The transfer failed and was released: the relay did not answer, or its
    // commands do not fit one inbound block.
    virtual void Error(const std::string& message) = 0;
    // The relay's answer could not be parsed. The master has already reported
    // `message` through its bus Error, which also reached and ended a waiting
    // discovery; the transfer is released. Listeners whose owner heard that
    // report only clean up; the default passes the message on to Error.
    virtual void ProtocolError(const std::string& message);
    virtual ~TransferListener();

   protected:
    // The one guard of every listener: it still serves its owner only while
    // the owner's slot holds it. A disable (and a re-enable), a failure or a
    // later transfer may have replaced it while its transfer was under way;
    // a listener that is no longer current does nothing.
    bool IsCurrentIn(const std::shared_ptr<TransferListener>& slot) const {
      return slot.get() == this;
    }
  };

  // A batch of requests sent as one inbound block.
  class ORVANE_TEDS_API Transfer : public std::enable_shared_from_this<Transfer> {
   public:
    void AddRequest(uint8_t command);
    void AddRequest(uint8_t command, const std::vector<uint8_t>& data);
    void AddRequest(uint8_t command, const uint8_t* data, std::size_t count);

    std::list<Request> requests;
    // Filled by the parser in request order; a request after a halting
    // return code has no response.
    std::list<Response> responses;
    std::shared_ptr<TransferListener> listener;

   protected:
    friend class RemoteOneWireMaster;
    explicit Transfer(const std::shared_ptr<TransferListener>& listener);
  };

  // The relay master's transaction: three relay commands per operation
  // (CMD_DATA_ID with the ROM, CMD_ML_ACCESS, CMD_ML_DATA). When the
  // operations do not fit one inbound block, or their answers one outbound
  // block, they travel in consecutive transfers, each operation's commands
  // kept together; a copy into EEPROM (55 A5, 5A A5) ends its transfer, so
  // that nothing follows it on the bus while the part programs. Replies are
  // delivered in order and the transaction ends once.
  class ORVANE_TEDS_API Transaction : public AbstractOneWireMaster::Transaction {
   public:
    // Hands the answers of the transaction's current transfer back to it.
    class ORVANE_TEDS_API Listener : public TransferListener {
     public:
      explicit Listener(const std::weak_ptr<AbstractOneWireMaster::Transaction>& transaction);
      void Finished(const Transfer& transfer) override;
      void Error(const std::string& message) override;

      std::weak_ptr<AbstractOneWireMaster::Transaction> transaction;

     private:
      // The transaction while this listener serves its current transfer;
      // null once the transaction has ended or moved on.
      std::shared_ptr<RemoteOneWireMaster::Transaction> Current() const;
    };

    // Refuses (false) an operation whose exchange length 1 + data + reply
    // exceeds 255, whose commands alone exceed one inbound block or whose
    // answers alone exceed one outbound block at the relay's current maxima.
    // Submitting a transaction that met a refusal ends it through Error
    // without sending anything.
    bool AddOperation(const std::shared_ptr<Operation>& operation) override;
    // Queues the first transfer and registers with the master; a transaction
    // without operations finishes at once without traffic.
    void Submit() override;

   protected:
    friend class RemoteOneWireMaster;

    Transaction(RemoteOneWireMaster& master,
                AbstractOneWireMaster::Transaction::Listener& listener);
    static std::shared_ptr<AbstractOneWireMaster::Transaction> Create(
        RemoteOneWireMaster& master, AbstractOneWireMaster::Transaction::Listener& listener);

    // Both end the transaction once; later calls are ignored.
    void Finished() override;
    // Prefixes "Remote OneWire transfer failed: ".
    void Error(const std::string& message) override;
    // Examines the answers of the current transfer.
    void ReceiveResponse(const Transfer& transfer);

    RemoteOneWireMaster& master;
    std::shared_ptr<TransferListener> transferListener;
    // The transfer queued or in flight for this transaction; empty otherwise.
    std::shared_ptr<Transfer> transfer;

   private:
    // Packs the next operations into a new transfer and queues it: at the end
    // of the queue for the first, at its front for a continuation so that the
    // transaction's transfers run back to back.
    bool QueueNextTransfer(bool first, std::string& failure);
    // Appends one operation's three commands.
    static void AddCommands(Transfer& next, const OperationData& data);
    // The three answers of one operation; its CMD_ML_DATA response, or null
    // with the failure kept in `walk`.
    static const Response* ExamineOperation(ResponseWalk& walk, const OperationData& data);
    void Detach();

    // Operations carried by `transfer`, in order.
    std::vector<std::shared_ptr<Operation>> carried;
    // Number of operations (from the front) already handed to transfers.
    std::size_t packed = 0;
    // Why AddOperation refused an operation; empty when none was refused.
    std::string refusal;
    bool running = false;
  };

  RemoteOneWireMaster();

  // Virtual operations in the order of their slots: the seven of the base
  // master (Process, SearchError, SearchFinished, Search, Enable, Discover,
  // CreateTransaction; overridden ones below), then SentInbound and
  // SendInbound, then the destructor.

  // Enable(true) when disabled queues the configuration and starts it.
  // Enable(false) when enabled (also while searching) drops all queued and
  // in-flight transfers, becomes Disabled, and ends a waiting discovery and
  // every submitted transaction through their Error.
  void Enable(bool enable) override;
  std::shared_ptr<AbstractOneWireMaster::Transaction> CreateTransaction(
      AbstractOneWireMaster::Transaction::Listener& listener) override;

  // Search passes per search transfer: the default 2 (the protocol's own
  // 26- and 9-byte blocks), a number from 1 up, or SEARCH_PASSES_MOST for as
  // many as both block maxima allow (17 in a discovery's first transfer and
  // 18 in later ones at 255/255). A number is capped to what fits. The relay
  // carries its search state from pass to pass; the answers after the first
  // pass that finds no further device are ignored. Takes effect with the
  // next search transfer.
  static constexpr unsigned SEARCH_PASSES_DEFAULT = 2;
  static constexpr unsigned SEARCH_PASSES_MOST = 0;
  void SetSearchPasses(unsigned passes) { searchPasses = passes; }

  // Texts and block limits from the last configuration.
  const std::string& GetProtocol() const { return protocol; }
  const std::string& GetVendor() const { return vendor; }
  uint8_t GetInboundMax() const { return inboundMax; }
  uint8_t GetOutboundMax() const { return outboundMax; }

 protected:
  class ConfigListener;
  class SearchListener;

  void Process() override;
  // Prefixes "Remote OneWire transfer failed: "; a discovery that ends this
  // way also takes its outstanding search transfer with it.
  void SearchError(const std::string& message) override;
  void Search() override;

  // The subclass calls this when the relay accepted the latest inbound block.
  virtual void SentInbound();
  // The subclass overrides this, calls it first, then writes `block`.
  virtual void SendInbound(const std::vector<uint8_t>& block);

 public:
  virtual ~RemoteOneWireMaster();

 protected:
  // The smallest block maxima accepted from a relay.
  static constexpr uint8_t MIN_INBOUND_MAX = 48;
  static constexpr uint8_t MIN_OUTBOUND_MAX = 48;
  // Bytes of every inbound block kept back for the closing CMD_POLL and
  // one byte of margin below the relay's maximum.
  static constexpr std::size_t BLOCK_RESERVE = 2;
  // Reads of the outbound channel per sent transfer before giving up: the
  // read after the block and three polls.
  static constexpr uint32_t POLL_BUDGET = 4;

  static bool CommandIsMultiByte(uint8_t command);
  static bool ReturnCodeHalts(uint8_t returnCode);
  // Bytes one request takes in an inbound block.
  static std::size_t RequestBytes(const Request& request);
  // Bytes of the longest answer the relay may give to one request.
  static std::size_t AnswerBytes(const Request& request);
  // Bytes of commands one inbound block can take at the current maximum.
  std::size_t BlockCapacity() const;

  std::shared_ptr<Transfer> TransferCreate(const std::shared_ptr<TransferListener>& listener);
  // Appends to the queue; the caller arranges for Process to run.
  void TransferSubmit(const std::shared_ptr<Transfer>& transfer);
  // Puts the transfer at the front of the queue, to be sent next.
  void TransferSubmitNext(const std::shared_ptr<Transfer>& transfer);
  // Takes a queued (not yet sent) transfer off the queue.
  void TransferWithdraw(const std::shared_ptr<Transfer>& transfer);

  void PollOutbound();
  // The subclass hands over every outbound block it read, empty or not.
  void ReceiveOutbound(const std::vector<uint8_t>& block);
  // Sends the next queued transfer unless one is in flight.
  void RunTransfers();

  // The relay's channel failed the transfer in flight (its answer cannot be
  // parsed, or the block never reached the relay): `message` goes to the bus
  // listeners and a waiting discovery, the transfer is released, and its
  // listener is told through ProtocolError. Also reports when nothing is in
  // flight.
  void AbortTransfer(const std::string& message);

  // Reports "Failed to configure remote: " + message as a bus error.
  void ConfigError(const std::string& message);

  std::list<std::shared_ptr<Transfer>> transfers;
  std::shared_ptr<Transfer> transfer;
  uint8_t outboundMax = 48;
  uint8_t inboundMax = 48;
  std::string protocol;
  std::string vendor;
  std::shared_ptr<TransferListener> configListener;
  std::shared_ptr<TransferListener> searchListener;
  uint32_t pollsLeft = POLL_BUDGET;
  unsigned searchPasses = SEARCH_PASSES_DEFAULT;

 private:
  void InitializeRelay();
  void ReceiveConfigResponse(const Transfer& transfer);
  bool ReceiveResetResponse(ResponseWalk& walk);
  bool ReceiveLimit(ResponseWalk& walk, uint8_t command, uint8_t minimum, const char* badValue,
                    uint8_t& limit);
  bool ReceiveText(ResponseWalk& walk, uint8_t command, std::string& text);
  void ReceiveSearchResponse(const Transfer& transfer, bool loaded, unsigned passes);
  // Appends search passes to `pass` while the wanted number is not reached
  // and both block limits allow; returns how many.
  unsigned AddSearchPasses(Transfer& pass) const;
  // One search pass's three answers; false when the examination has ended
  // (no further device, or a failure already reported).
  bool ReceiveSearchPass(ResponseWalk& walk, bool pending);
  void RestartSearch();

  // False, with the reason, when the transfer's commands do not fit one
  // inbound block or its longest answers one outbound block.
  bool CheckLimits(const Transfer& transfer, std::string& failure) const;
  // Builds the inbound block of `transfer`; false, with the reason, when it
  // does not fit the relay's limits.
  bool PackBlock(const Transfer& transfer, std::vector<uint8_t>& block, std::string& failure) const;
  // Parses an outbound block into the transfer's responses; false on a
  // protocol error.
  static bool ParseOutbound(Transfer& transfer, const std::vector<uint8_t>& block);
  // The transfer is over: it leaves the flight (unless something else has
  // taken its place meanwhile) and the next one is started.
  void EndTransfer(const std::shared_ptr<Transfer>& ended);
  // Drops the search transfer of a discovery that no longer exists.
  void CancelSearch();
  void Disable();
};
