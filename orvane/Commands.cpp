#include "orvane/Orvane.h"
#include "text/HexText.h"

// Every destructor is defined here, out of line, so that the vtables and type
// information of the command classes live in this library and a dynamic cast
// from `OrvaneCommand` works in every module that uses it.

namespace {

// Hexadecimal digits are ASCII, so widening them char by char is exact.
std::wstring Widened(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::wstring Hex(uint8_t value) { return Widened(orvtext::HexByte(value)); }

std::wstring HexBytes(const std::vector<uint8_t>& bytes) {
  return Widened(orvtext::FormatHex(bytes));
}

std::wstring Mask(uint8_t channelMask) { return L" channelMask=0x" + Hex(channelMask); }

std::wstring Success(bool success) { return success ? L" success" : L" failed"; }

}  // namespace

OrvaneCommand::~OrvaneCommand() = default;

OrvaneCommands::OrvaneCommands() : isResponse(false) {}

OrvaneCommands::OrvaneCommands(const std::shared_ptr<OrvaneCommand>& command)
    : command(command), isResponse(command && command->IsResponse()) {}

OrvaneCommands::OrvaneCommands(const std::shared_ptr<OrvaneCommand>& command, bool isResponse)
    : command(command), isResponse(isResponse) {}

bool OrvaneCommands::GetIsResponse() const { return isResponse; }

std::shared_ptr<OrvaneCommand> OrvaneCommands::GetCommand() const { return command; }

// --- Service ---------------------------------------------------------------

const uint8_t ServiceSetOperatingModeRequest::TYPE;
const uint8_t ServiceSetOperatingModeResponse::TYPE;

ServiceSetOperatingModeRequest::ServiceSetOperatingModeRequest(const ServiceOperatingMode& mode)
    : mode(mode) {}
ServiceSetOperatingModeRequest::~ServiceSetOperatingModeRequest() = default;
OrvaneCommandGroups ServiceSetOperatingModeRequest::GetGroup() const {
  return OrvaneCommandGroups::Service;
}
uint8_t ServiceSetOperatingModeRequest::GetType() const { return TYPE; }
bool ServiceSetOperatingModeRequest::IsResponse() const { return false; }
void ServiceSetOperatingModeRequest::GetBytes(std::vector<uint8_t>& bytes) const {
  bytes = {static_cast<uint8_t>(GetGroup()), TYPE, static_cast<uint8_t>(mode)};
}
std::wstring ServiceSetOperatingModeRequest::ToString() const {
  return L"ServiceSetOperatingModeRequest mode=" + std::to_wstring(static_cast<unsigned>(mode));
}
ServiceOperatingMode ServiceSetOperatingModeRequest::GetMode() const { return mode; }

ServiceSetOperatingModeResponse::ServiceSetOperatingModeResponse(const ServiceOperatingMode& mode,
                                                                 bool success)
    : mode(mode), success(success) {}
ServiceSetOperatingModeResponse::~ServiceSetOperatingModeResponse() = default;
OrvaneCommandGroups ServiceSetOperatingModeResponse::GetGroup() const {
  return OrvaneCommandGroups::Service;
}
uint8_t ServiceSetOperatingModeResponse::GetType() const { return TYPE; }
bool ServiceSetOperatingModeResponse::IsResponse() const { return true; }
void ServiceSetOperatingModeResponse::GetBytes(std::vector<uint8_t>& bytes) const {
  bytes = {static_cast<uint8_t>(GetGroup()), TYPE, static_cast<uint8_t>(mode),
           static_cast<uint8_t>(success ? 1 : 0)};
}
std::wstring ServiceSetOperatingModeResponse::ToString() const {
  return L"ServiceSetOperatingModeResponse mode=" + std::to_wstring(static_cast<unsigned>(mode)) +
         Success(success);
}
ServiceOperatingMode ServiceSetOperatingModeResponse::GetMode() const { return mode; }
bool ServiceSetOperatingModeResponse::GetSuccess() const { return success; }

// --- GCC -------------------------------------------------------------------

const uint8_t GCCCommand::VERSION;
const uint32_t GCCCommand::VENDOR_ID;
const uint8_t GCCCommand::TYPE_REQUEST;
const uint8_t GCCCommand::TYPE_RESPONSE;

GCCCommand::GCCCommand(bool response, uint8_t version, uint32_t vendorID)
    : response(response), version(version), vendorID(vendorID) {}
GCCCommand::~GCCCommand() = default;
OrvaneCommandGroups GCCCommand::GetGroup() const { return OrvaneCommandGroups::GCC; }
uint8_t GCCCommand::GetType() const { return response ? TYPE_RESPONSE : TYPE_REQUEST; }
bool GCCCommand::IsResponse() const { return response; }
void GCCCommand::GetHeaderBytes(std::vector<uint8_t>& bytes) const {
  bytes = {static_cast<uint8_t>(GetGroup()),
           GetType(),
           version,
           static_cast<uint8_t>(vendorID),
           static_cast<uint8_t>(vendorID >> 8),
           static_cast<uint8_t>(vendorID >> 16),
           static_cast<uint8_t>(vendorID >> 24)};
}
void GCCCommand::GetBytes(std::vector<uint8_t>& bytes) const { GetHeaderBytes(bytes); }
std::wstring GCCCommand::ToString() const {
  return std::wstring(response ? L"GCCCommand response" : L"GCCCommand request") + L" version=" +
         std::to_wstring(version) + L" vendor=" + std::to_wstring(vendorID);
}
uint8_t GCCCommand::GetVersion() const { return version; }
uint32_t GCCCommand::GetVendorID() const { return vendorID; }

const uint8_t GCCCommandZorel::CLASS_TEDS;
const uint8_t GCCCommandZorel::TEDS_SET_MODE;
const uint8_t GCCCommandZorel::TEDS_WRITE;
const uint8_t GCCCommandZorel::TEDS_READ;

GCCCommandZorel::GCCCommandZorel(bool response, uint8_t commandClass, uint8_t operation,
                                 uint8_t version, uint32_t vendorID)
    : GCCCommand(response, version, vendorID), commandClass(commandClass), operation(operation) {}
GCCCommandZorel::~GCCCommandZorel() = default;
void GCCCommandZorel::GetZorelBytes(std::vector<uint8_t>& bytes) const {
  GetHeaderBytes(bytes);
  bytes.push_back(commandClass);
  bytes.push_back(operation);
}
void GCCCommandZorel::GetBytes(std::vector<uint8_t>& bytes) const { GetZorelBytes(bytes); }
std::wstring GCCCommandZorel::ToString() const {
  return GCCCommand::ToString() + L" class=" + std::to_wstring(commandClass) + L" operation=" +
         std::to_wstring(operation);
}
uint8_t GCCCommandZorel::GetCommandClass() const { return commandClass; }
uint8_t GCCCommandZorel::GetOperation() const { return operation; }

// --- TEDS ------------------------------------------------------------------

GCCCommandZorelTEDSSetModeRequest::GCCCommandZorelTEDSSetModeRequest(const uint8_t& channelMask,
                                                                     const ZorelDAQTEDSMode& mode)
    : GCCCommandZorel(false, CLASS_TEDS, TEDS_SET_MODE), channelMask(channelMask), mode(mode) {}
GCCCommandZorelTEDSSetModeRequest::~GCCCommandZorelTEDSSetModeRequest() = default;
void GCCCommandZorelTEDSSetModeRequest::GetBytes(std::vector<uint8_t>& bytes) const {
  GetZorelBytes(bytes);
  bytes.push_back(channelMask);
  bytes.push_back(static_cast<uint8_t>(mode));
}
std::wstring GCCCommandZorelTEDSSetModeRequest::ToString() const {
  return L"GCCCommandZorelTEDSSetModeRequest" + Mask(channelMask) + L" mode=" +
         std::to_wstring(static_cast<unsigned>(mode));
}
uint8_t GCCCommandZorelTEDSSetModeRequest::GetChannelMask() const { return channelMask; }
ZorelDAQTEDSMode GCCCommandZorelTEDSSetModeRequest::GetMode() const { return mode; }

GCCCommandZorelTEDSSetModeResponse::GCCCommandZorelTEDSSetModeResponse(uint8_t channelMask,
                                                                       bool success)
    : GCCCommandZorel(true, CLASS_TEDS, TEDS_SET_MODE),
      channelMask(channelMask),
      success(success) {}
GCCCommandZorelTEDSSetModeResponse::~GCCCommandZorelTEDSSetModeResponse() = default;
void GCCCommandZorelTEDSSetModeResponse::GetBytes(std::vector<uint8_t>& bytes) const {
  GetZorelBytes(bytes);
  bytes.push_back(channelMask);
  bytes.push_back(success ? 1 : 0);
}
std::wstring GCCCommandZorelTEDSSetModeResponse::ToString() const {
  return L"GCCCommandZorelTEDSSetModeResponse" + Mask(channelMask) + Success(success);
}
uint8_t GCCCommandZorelTEDSSetModeResponse::GetChannelMask() const { return channelMask; }
bool GCCCommandZorelTEDSSetModeResponse::GetSuccess() const { return success; }

GCCCommandZorelTEDSWriteRequest::GCCCommandZorelTEDSWriteRequest(const uint8_t& channelMask,
                                                                 const std::vector<uint8_t>& data)
    : GCCCommandZorel(false, CLASS_TEDS, TEDS_WRITE), channelMask(channelMask), data(data) {}
GCCCommandZorelTEDSWriteRequest::~GCCCommandZorelTEDSWriteRequest() = default;
void GCCCommandZorelTEDSWriteRequest::GetBytes(std::vector<uint8_t>& bytes) const {
  GetZorelBytes(bytes);
  bytes.push_back(channelMask);
  bytes.insert(bytes.end(), data.begin(), data.end());
}
std::wstring GCCCommandZorelTEDSWriteRequest::ToString() const {
  return L"GCCCommandZorelTEDSWriteRequest" + Mask(channelMask) + L" data=" + HexBytes(data);
}
uint8_t GCCCommandZorelTEDSWriteRequest::GetChannelMask() const { return channelMask; }
const std::vector<uint8_t>& GCCCommandZorelTEDSWriteRequest::GetData() const { return data; }

GCCCommandZorelTEDSWriteResponse::GCCCommandZorelTEDSWriteResponse(uint8_t channelMask,
                                                                   bool success)
    : GCCCommandZorel(true, CLASS_TEDS, TEDS_WRITE), channelMask(channelMask), success(success) {}
GCCCommandZorelTEDSWriteResponse::~GCCCommandZorelTEDSWriteResponse() = default;
void GCCCommandZorelTEDSWriteResponse::GetBytes(std::vector<uint8_t>& bytes) const {
  GetZorelBytes(bytes);
  bytes.push_back(channelMask);
  bytes.push_back(success ? 1 : 0);
}
std::wstring GCCCommandZorelTEDSWriteResponse::ToString() const {
  return L"GCCCommandZorelTEDSWriteResponse" + Mask(channelMask) + Success(success);
}
uint8_t GCCCommandZorelTEDSWriteResponse::GetChannelMask() const { return channelMask; }
bool GCCCommandZorelTEDSWriteResponse::GetSuccess() const { return success; }

GCCCommandZorelTEDSReadRequest::GCCCommandZorelTEDSReadRequest(const uint8_t& channelMask)
    : GCCCommandZorel(false, CLASS_TEDS, TEDS_READ), channelMask(channelMask) {}
GCCCommandZorelTEDSReadRequest::~GCCCommandZorelTEDSReadRequest() = default;
void GCCCommandZorelTEDSReadRequest::GetBytes(std::vector<uint8_t>& bytes) const {
  GetZorelBytes(bytes);
  bytes.push_back(channelMask);
}
std::wstring GCCCommandZorelTEDSReadRequest::ToString() const {
  return L"GCCCommandZorelTEDSReadRequest" + Mask(channelMask);
}
uint8_t GCCCommandZorelTEDSReadRequest::GetChannelMask() const { return channelMask; }

GCCCommandZorelTEDSReadResponse::GCCCommandZorelTEDSReadResponse(uint8_t channelMask,
                                                                 const std::vector<uint8_t>& data,
                                                                 bool success)
    : GCCCommandZorel(true, CLASS_TEDS, TEDS_READ),
      channelMask(channelMask),
      data(data),
      success(success) {}
GCCCommandZorelTEDSReadResponse::~GCCCommandZorelTEDSReadResponse() = default;
void GCCCommandZorelTEDSReadResponse::GetBytes(std::vector<uint8_t>& bytes) const {
  GetZorelBytes(bytes);
  bytes.push_back(channelMask);
  bytes.push_back(success ? 1 : 0);
  bytes.insert(bytes.end(), data.begin(), data.end());
}
std::wstring GCCCommandZorelTEDSReadResponse::ToString() const {
  return L"GCCCommandZorelTEDSReadResponse" + Mask(channelMask) + Success(success) + L" data=" +
         HexBytes(data);
}
uint8_t GCCCommandZorelTEDSReadResponse::GetChannelMask() const { return channelMask; }
const std::vector<uint8_t>& GCCCommandZorelTEDSReadResponse::GetData() const { return data; }
bool GCCCommandZorelTEDSReadResponse::GetSuccess() const { return success; }
