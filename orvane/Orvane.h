#pragma once

// The device library: commands to a data-acquisition device, their responses,
// and the listener through which responses come back.
//
// A request is wrapped in `OrvaneCommands` and queued with
// `orvane::SendCommand`. The device's answer arrives later on the library's
// own callback thread, through `StreamListener::ReceivedCommands` of every
// listener registered for the device name. Answers arrive in the order the
// requests were made, and never from inside `SendCommand`.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "orvane/OrvaneExport.h"

// Command groups. Service commands are device-wide; GCC commands carry a
// vendor header and a device command.
enum class OrvaneCommandGroups : uint8_t {
  None = 0,
  Service = 1,
  GCC = 7,
};

// Service operating mode of a device. TEDS traffic needs mode TEDS.
enum class ServiceOperatingMode : uint8_t {
  Normal = 0,
  Standby = 1,
  Configuration = 2,
  Calibration = 3,
  TEDS = 4,
};

// Mode of one TEDS channel. Off disconnects the channel's TEDS line.
enum class ZorelDAQTEDSMode : uint8_t {
  Off = 0,
  Class1 = 1,
  Class2 = 2,
};

// One command or response. Objects are immutable once made, so one object
// may be shared by several threads.
class ORVANE_API OrvaneCommand {
 public:
  virtual ~OrvaneCommand();
  virtual OrvaneCommandGroups GetGroup() const = 0;
  virtual uint8_t GetType() const = 0;
  virtual bool IsResponse() const = 0;
  // Replaces `bytes` with the command's wire form: group, type, then the
  // command's own fields.
  virtual void GetBytes(std::vector<uint8_t>& bytes) const = 0;
  virtual std::wstring ToString() const = 0;
};

// One entry of a request or of a list of responses.
class ORVANE_API OrvaneCommands {
 public:
  OrvaneCommands();
  // The entry is a response when `command` is one.
  explicit OrvaneCommands(const std::shared_ptr<OrvaneCommand>& command);
  OrvaneCommands(const std::shared_ptr<OrvaneCommand>& command, bool isResponse);

  bool GetIsResponse() const;
  std::shared_ptr<OrvaneCommand> GetCommand() const;

 private:
  std::shared_ptr<OrvaneCommand> command;
  bool isResponse;
};

// ---------------------------------------------------------------------------
// Service commands (group Service).

class ORVANE_API ServiceSetOperatingModeRequest : public OrvaneCommand {
 public:
  static const uint8_t TYPE = 10;
  explicit ServiceSetOperatingModeRequest(const ServiceOperatingMode& mode);
  ~ServiceSetOperatingModeRequest() override;

  OrvaneCommandGroups GetGroup() const override;
  uint8_t GetType() const override;
  bool IsResponse() const override;
  void GetBytes(std::vector<uint8_t>& bytes) const override;
  std::wstring ToString() const override;

  ServiceOperatingMode GetMode() const;

 private:
  ServiceOperatingMode mode;
};

class ORVANE_API ServiceSetOperatingModeResponse : public OrvaneCommand {
 public:
  static const uint8_t TYPE = 11;
  ServiceSetOperatingModeResponse(const ServiceOperatingMode& mode, bool success);
  ~ServiceSetOperatingModeResponse() override;

  OrvaneCommandGroups GetGroup() const override;
  uint8_t GetType() const override;
  bool IsResponse() const override;
  void GetBytes(std::vector<uint8_t>& bytes) const override;
  std::wstring ToString() const override;

  ServiceOperatingMode GetMode() const;
  bool GetSuccess() const;

 private:
  ServiceOperatingMode mode;
  bool success;
};

// ---------------------------------------------------------------------------
// GCC commands (group GCC): an 8-bit header version and a 32-bit vendor ID,
// then a vendor-specific command.

class ORVANE_API GCCCommand : public OrvaneCommand {
 public:
  static const uint8_t VERSION = 2;
  static const uint32_t VENDOR_ID = 12;
  static const uint8_t TYPE_REQUEST = 1;
  static const uint8_t TYPE_RESPONSE = 2;

  explicit GCCCommand(bool response, uint8_t version = VERSION, uint32_t vendorID = VENDOR_ID);
  ~GCCCommand() override;

  OrvaneCommandGroups GetGroup() const override;
  uint8_t GetType() const override;
  bool IsResponse() const override;
  void GetBytes(std::vector<uint8_t>& bytes) const override;
  std::wstring ToString() const override;

  uint8_t GetVersion() const;
  uint32_t GetVendorID() const;

 protected:
  // The wire form of the header: group, type, version, vendor ID (little
  // endian).
  void GetHeaderBytes(std::vector<uint8_t>& bytes) const;

 private:
  bool response;
  uint8_t version;
  uint32_t vendorID;
};

// A GCC command of this vendor's devices: a device command class and an
// operation code within that class.
class ORVANE_API GCCCommandZorel : public GCCCommand {
 public:
  static const uint8_t CLASS_TEDS = 8;
  static const uint8_t TEDS_SET_MODE = 0;
  static const uint8_t TEDS_WRITE = 1;
  static const uint8_t TEDS_READ = 2;

  GCCCommandZorel(bool response, uint8_t commandClass, uint8_t operation, uint8_t version = VERSION,
                  uint32_t vendorID = VENDOR_ID);
  ~GCCCommandZorel() override;

  void GetBytes(std::vector<uint8_t>& bytes) const override;
  std::wstring ToString() const override;

  uint8_t GetCommandClass() const;
  uint8_t GetOperation() const;

 protected:
  // Header, command class and operation.
  void GetZorelBytes(std::vector<uint8_t>& bytes) const;

 private:
  uint8_t commandClass;
  uint8_t operation;
};

// Puts the TEDS channels of `channelMask` (bit n: channel n) into `mode`.
class ORVANE_API GCCCommandZorelTEDSSetModeRequest : public GCCCommandZorel {
 public:
  GCCCommandZorelTEDSSetModeRequest(const uint8_t& channelMask, const ZorelDAQTEDSMode& mode);
  ~GCCCommandZorelTEDSSetModeRequest() override;
  void GetBytes(std::vector<uint8_t>& bytes) const override;
  std::wstring ToString() const override;
  uint8_t GetChannelMask() const;
  ZorelDAQTEDSMode GetMode() const;

 private:
  uint8_t channelMask;
  ZorelDAQTEDSMode mode;
};

class ORVANE_API GCCCommandZorelTEDSSetModeResponse : public GCCCommandZorel {
 public:
  GCCCommandZorelTEDSSetModeResponse(uint8_t channelMask, bool success);
  ~GCCCommandZorelTEDSSetModeResponse() override;
  void GetBytes(std::vector<uint8_t>& bytes) const override;
  std::wstring ToString() const override;
  uint8_t GetChannelMask() const;
  bool GetSuccess() const;

 private:
  uint8_t channelMask;
  bool success;
};

// Writes `data` to the TEDS line of every channel of `channelMask`.
class ORVANE_API GCCCommandZorelTEDSWriteRequest : public GCCCommandZorel {
 public:
  GCCCommandZorelTEDSWriteRequest(const uint8_t& channelMask, const std::vector<uint8_t>& data);
  ~GCCCommandZorelTEDSWriteRequest() override;
  void GetBytes(std::vector<uint8_t>& bytes) const override;
  std::wstring ToString() const override;
  uint8_t GetChannelMask() const;
  const std::vector<uint8_t>& GetData() const;

 private:
  uint8_t channelMask;
  std::vector<uint8_t> data;
};

class ORVANE_API GCCCommandZorelTEDSWriteResponse : public GCCCommandZorel {
 public:
  GCCCommandZorelTEDSWriteResponse(uint8_t channelMask, bool success);
  ~GCCCommandZorelTEDSWriteResponse() override;
  void GetBytes(std::vector<uint8_t>& bytes) const override;
  std::wstring ToString() const override;
  uint8_t GetChannelMask() const;
  bool GetSuccess() const;

 private:
  uint8_t channelMask;
  bool success;
};

// Reads what the TEDS line of a channel of `channelMask` has to deliver.
class ORVANE_API GCCCommandZorelTEDSReadRequest : public GCCCommandZorel {
 public:
  explicit GCCCommandZorelTEDSReadRequest(const uint8_t& channelMask);
  ~GCCCommandZorelTEDSReadRequest() override;
  void GetBytes(std::vector<uint8_t>& bytes) const override;
  std::wstring ToString() const override;
  uint8_t GetChannelMask() const;

 private:
  uint8_t channelMask;
};

// The bytes read; empty when the line had nothing to deliver. The success
// flag is clear when the device refused the read.
class ORVANE_API GCCCommandZorelTEDSReadResponse : public GCCCommandZorel {
 public:
  GCCCommandZorelTEDSReadResponse(uint8_t channelMask, const std::vector<uint8_t>& data,
                                  bool success = true);
  ~GCCCommandZorelTEDSReadResponse() override;
  void GetBytes(std::vector<uint8_t>& bytes) const override;
  std::wstring ToString() const override;
  uint8_t GetChannelMask() const;
  const std::vector<uint8_t>& GetData() const;
  bool GetSuccess() const;

 private:
  uint8_t channelMask;
  std::vector<uint8_t> data;
  bool success;
};

namespace orvane {

// Receives what a device sends. Every slot has a harmless default; this
// library calls only `ReceivedCommands`. Listeners are held by shared handle
// while registered.
class ORVANE_API StreamListener : public std::enable_shared_from_this<StreamListener> {
 public:
  StreamListener();

  virtual void StatusUpdate(const std::wstring& device, unsigned int address, int status);
  virtual void Received(const std::wstring& device, unsigned int address,
                        const std::vector<uint8_t>& data);
  // The responses of one request. `sequence` is the number of that request,
  // counted from 1 over all requests made through this library.
  virtual void ReceivedCommands(const std::wstring& device, unsigned int address, uint64_t sequence,
                                const std::shared_ptr<std::vector<OrvaneCommands>>& commands);
  virtual void SendConfig(const std::wstring& device, unsigned int address);
  virtual void SendCommand(const std::wstring& device, unsigned int address,
                           const OrvaneCommands& commands);
  virtual void ProgressUpdate(const std::wstring& device, unsigned int address,
                              unsigned int percent);
  virtual void ReceivedServiceResponse(const std::wstring& device, unsigned int address,
                                       const std::shared_ptr<OrvaneCommand>& response);
  virtual ~StreamListener();
};

// From now on the responses of `device` reach `listener`. Registering the
// same listener twice for one device has no further effect.
ORVANE_API void ConnectionAddListener(const std::shared_ptr<StreamListener>& listener,
                                      const std::wstring& device);

// No call reaches `listener` for any device once this returns: a call already
// running on the callback thread is waited for, except when this is called on
// the callback thread itself.
ORVANE_API void ConnectionRemoveListener(const std::shared_ptr<StreamListener>& listener,
                                         const std::wstring& device);

// Queues `commands` for the device `device` at `address`. Returns false, and
// nothing is delivered, when no device answers to that name and address.
ORVANE_API bool SendCommand(const std::wstring& device, const OrvaneCommands& commands,
                            unsigned int address);

}  // namespace orvane
