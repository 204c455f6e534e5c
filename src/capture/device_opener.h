// Choosing and opening the capture devices: every Ethernet interface of the host is opened in
// two phases (promiscuous first, then not), given the capture filter, and set to block; the
// first one with an IPv4 address gives the agent its address.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "agent_address.h"
#include "link_events.h"
#include "pcap_api.h"
#include "sampling.h"

namespace wendrel {

class PacketReporter;

// An opened device and the interface it captures.
struct OpenedDevice {
  PcapHandle handle;
  std::string name;
  unsigned ifIndex = 0;  // the kernel's, when it was opened
  // The kernel refused the selection program: every eligible packet comes through, to be
  // chosen in user space at the full rate.
  bool userSpace = false;
};

class DeviceOpener {
 public:
  // `reporter` receives the agent address; `pcap`, `reporter` and `filter` must outlive this.
  DeviceOpener(PcapApi& pcap, PacketReporter& reporter, int32_t snapLength, int32_t bufferSize,
               const CaptureFilter& filter);

  // Appends every device that opened and took the filter to `devices`, in enumeration order,
  // leaving out, silently, those that `skip` returns true for (open already, or down; it sees
  // every interface listed). False only when the device list could not be read; a device that
  // fails is logged and left out.
  bool openAll(std::vector<OpenedDevice>& devices,
               const std::function<bool(const LinkChange&)>& skip = {});
  // Opens the one interface `name` without listing the others; false when it failed (logged,
  // unless it was down or gone by now: see lastFailureWasState).
  bool openOne(const std::string& name, unsigned ifIndex, std::vector<OpenedDevice>& devices);
  bool lastFailureWasState() const { return lastFailureWasState_; }
  // The interfaces the device list holds now, with their state; false when it cannot be read.
  bool enumerate(std::vector<LinkChange>& links);
  // Gives an open device `next` in place of its filter, as setFilter does at opening; safe on
  // the device's capture thread while the supervisor opens others.
  bool refilter(pcap_t* p, const CaptureFilter& next, const char* label, bool& userSpace) const;
  // Logs how many failures were held back as repeats since the last call, at most once a
  // minute; the supervisor calls it from time to time.
  void summarise(std::chrono::steady_clock::time_point now);
  // Why the last openAll opened no device, when every device failed the same way (or there
  // was none to open); empty when some opened or they failed in different ways.
  const std::string& failureReason() const { return failureReason_; }
  // How the agent address is chosen; the automatic rule unless set before the first openAll.
  void setAgentAddressRule(const AgentAddressRule& rule) { choice.rule = rule; }
  // The agent address handed to the reporter, as text; empty while there is none.
  std::string agentAddressText() const;

 private:
  // Opens one device with the given promiscuous flag; on failure `error` holds pcap's text.
  // `kind` is the failure without the device's name, so that devices can be compared.
  PcapHandle openDevice(const char* name, const char* label, int promiscuous, std::string& error,
                        std::string& kind);
  // Opens, filters and sets up one device; appends it to `devices` or logs why not. `ipv6`
  // keeps the first global IPv6 address seen, for when no IPv4 one turns up.
  bool openNamed(const char* name, const char* label, const pcap_addr* addresses, unsigned ifIndex,
                 std::vector<OpenedDevice>& devices, std::string& kind,
                 std::optional<AgentAddress>& ipv6);
  // Logs a failure, or counts it when one of the same kind was logged within the minute.
  void logFailure(const char* label, const std::string& error, const std::string& kind);
  // Gives the device its filter; false when it took none. `userSpace` as in OpenedDevice.
  bool setFilter(pcap_t* p, const char* label, bool& userSpace) {
    return refilter(p, filter, label, userSpace);
  }
  bool setTextFilter(pcap_t* p, const CaptureFilter& f) const;
  // Takes the agent address from the first device that has a qualifying one.
  void readLocalIp(const pcap_addr* addresses);

  PcapApi& pcap;
  PacketReporter& reporter;
  int32_t snapLength;
  int32_t bufferSize;
  const CaptureFilter& filter;
  struct Repeats {
    std::chrono::steady_clock::time_point logged;
    unsigned held = 0;
    std::string last;  // the last device held back
  };
  std::map<std::string, Repeats> repeats;  // by kind of failure
  bool lastFailureWasState_ = false;
  bool descriptorsWarned = false;
  // Network byte order; 0 until a device yields one. Set once, on the supervisor thread.
  uint32_t localAddress = 0;
  // The address in use, when one was chosen by the setting or is an IPv6 one.
  AgentAddressChoice choice{reporter};
  std::string failureReason_;
};

}  // namespace wendrel
