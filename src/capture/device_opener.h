// Choosing and opening the capture devices: every Ethernet interface of the host is opened in
// two phases (promiscuous first, then not), given the capture filter, and set to block; the
// first one with an IPv4 address gives the agent its address.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "agent_address.h"
#include "pcap_api.h"
#include "sampling.h"

namespace wendrel {

class PacketReporter;

// An opened device and the interface it captures.
struct OpenedDevice {
  PcapHandle handle;
  std::string name;
  unsigned ifIndex = 0;  // the kernel's, when it was opened
};

class DeviceOpener {
 public:
  // `reporter` receives the agent address; `pcap`, `reporter` and `filter` must outlive this.
  DeviceOpener(PcapApi& pcap, PacketReporter& reporter, int32_t snapLength, int32_t bufferSize,
               const CaptureFilter& filter);

  // Appends every device that opened and took the filter to `devices`, in enumeration order,
  // leaving out, silently, those that `skip` names (already open). False only when the device
  // list could not be read; a device that fails is logged and left out.
  bool openAll(std::vector<OpenedDevice>& devices,
               const std::function<bool(const std::string&)>& skip = {});
  // Why the last openAll opened no device, when every device failed the same way (or there
  // was none to open); empty when some opened or they failed in different ways.
  const std::string& failureReason() const { return failureReason_; }
  // How the agent address is chosen; the automatic rule unless set before the first openAll.
  void setAgentAddressRule(const AgentAddressRule& rule) { addressRule = rule; }
  // The agent address handed to the reporter, as text; empty while there is none.
  std::string agentAddressText() const;
  // True for a device of the last openAll whose kernel refused the selection program: it
  // passes every eligible packet, to be chosen in user space at the full rate.
  bool selectsInUserSpace(pcap_t* device) const;

 private:
  // Opens one device with the given promiscuous flag; on failure `error` holds pcap's text.
  // `kind` is the failure without the device's name, so that devices can be compared.
  PcapHandle openDevice(const char* name, const char* label, int promiscuous, std::string& error,
                        std::string& kind);
  // Gives the device its filter; false when it took none.
  bool setFilter(pcap_t* p, const char* label);
  bool setTextFilter(pcap_t* p);
  // Takes the agent address from the first device that has a qualifying one.
  void readLocalIp(const pcap_addr* addresses);
  // Hands `address` to the reporter and says why it was chosen.
  void useAgentAddress(const AgentAddress& address);

  PcapApi& pcap;
  PacketReporter& reporter;
  int32_t snapLength;
  int32_t bufferSize;
  const CaptureFilter& filter;
  std::vector<pcap_t*> userSpace;
  // Network byte order; 0 until a device yields one. Set once, on the supervisor thread.
  uint32_t localAddress = 0;
  AgentAddressRule addressRule;
  // The address in use, when one was chosen by the setting or is an IPv6 one.
  std::optional<AgentAddress> chosen;
  bool warnedNoAddress = false;
  std::string failureReason_;
};

}  // namespace wendrel
