// Choosing and opening the capture devices: every Ethernet interface of the host is opened in
// two phases (promiscuous first, then not), given the capture filter, and set to block; the
// first one with an IPv4 address gives the agent its address.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "pcap_api.h"
#include "pcap_handle.h"

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
               const std::string& filter);

  // Appends every device that opened and took the filter to `devices`, in enumeration order,
  // leaving out, silently, those that `skip` names (already open). False only when the device
  // list could not be read; a device that fails is logged and left out.
  bool openAll(std::vector<OpenedDevice>& devices,
               const std::function<bool(const std::string&)>& skip = {});

 private:
  // Opens one device with the given promiscuous flag; on failure `error` holds pcap's text.
  PcapHandle openDevice(const char* name, const char* label, int promiscuous, std::string& error);
  // Takes the agent address from the first device that has a qualifying one.
  void readLocalIp(const pcap_addr* addresses);

  PcapApi& pcap;
  PacketReporter& reporter;
  int32_t snapLength;
  int32_t bufferSize;
  const std::string& filter;
  // Network byte order; 0 until a device yields one. Set once, on the supervisor thread.
  uint32_t localAddress = 0;
};

}  // namespace wendrel
