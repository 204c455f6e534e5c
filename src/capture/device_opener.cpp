#include "device_opener.h"

#include <arpa/inet.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "packet_reporter.h"

namespace wendrel {

namespace {

// The kernel hands a partly filled ring block over after this long, so a packet on a quiet
// link reaches user space within it (and a stop waits for it).
constexpr int kReadTimeoutMs = 250;
constexpr bpf_u_int32 kFilterNetmask = 0xFFFFFF;

log4cplus::Logger& logger() {
  static log4cplus::Logger instance = log4cplus::Logger::getInstance("TrafficLogger");
  return instance;
}

uint32_t ipv4Of(const sockaddr* address) {
  sockaddr_in in;
  std::memcpy(&in, address, sizeof in);
  return in.sin_addr.s_addr;
}

}  // namespace

DeviceOpener::DeviceOpener(PcapApi& pcapApi, PacketReporter& sampleReporter, int32_t snap,
                           int32_t buffer, const CaptureFilter& captureFilter)
    : pcap(pcapApi),
      reporter(sampleReporter),
      snapLength(snap),
      bufferSize(buffer),
      filter(captureFilter) {}

PcapHandle DeviceOpener::openDevice(const char* name, const char* label, int promiscuous,
                                    std::string& error, std::string& kind) {
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  PcapHandle handle(pcap.create(name, errbuf), PcapClose{&pcap});
  if (!handle) {
    error = kind = errbuf;
    return {};
  }
  pcap_t* p = handle.get();
  // Every option goes in before activation; libpcap refuses a buffer size afterwards.
  pcap.setSnaplen(p, snapLength);
  pcap.setPromisc(p, promiscuous);
  pcap.setTimeout(p, kReadTimeoutMs);
  pcap.setBufferSize(p, bufferSize);
  const int status = pcap.activate(p);
  if (status == 0)
    return handle;
  const char* text = pcap.geterr(p);
  const std::string detail = (text != nullptr && *text != '\0') ? text : pcap.statusText(status);
  if (status < 0) {
    error = detail;
    // The common case under a unit edited by hand, or a foreground run as a user.
    kind = status == PCAP_ERROR_PERM_DENIED ? "Operation not permitted: the agent needs CAP_NET_RAW"
                                            : pcap.statusText(status);
    return {};
  }
  LOG4CPLUS_WARN_FMT(logger(), "Device %s opened with a warning: %s", label, detail.c_str());
  return handle;
}

bool DeviceOpener::openAll(std::vector<OpenedDevice>& devices,
                           const std::function<bool(const std::string&)>& skip) {
  LOG4CPLUS_DEBUG(logger(), "Initializing capture devices");
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  userSpace.clear();
  pcap_if_t* head = nullptr;
  if (pcap.findAllDevs(&head, errbuf) == -1) {
    LOG4CPLUS_ERROR_FMT(logger(), "Failed to find devices: %s", errbuf);
    failureReason_ = std::string("the device list cannot be read: ") + errbuf;
    return false;
  }
  const std::unique_ptr<pcap_if_t, PcapFreeDevices> list(head, PcapFreeDevices{&pcap});
  const bool automatic = addressRule.kind == AgentAddressRule::Kind::kAutomatic;
  if (!automatic && !chosen) {
    if (const auto address = chooseConfigured(addressRule, list.get())) {
      useAgentAddress(*address);
    } else if (!warnedNoAddress) {
      warnedNoAddress = true;
      LOG4CPLUS_WARN_FMT(logger(),
                         "AgentAddress %s names no address of this host yet; the datagrams "
                         "carry 0.0.0.0 until one appears",
                         addressRule.text.c_str());
    }
  }
  std::optional<AgentAddress> ipv6;  // the first global one of the devices opened now
  const size_t openedBefore = devices.size();
  size_t failed = 0;
  std::string kind, firstKind;
  bool sameKind = true;
  const auto noteFailure = [&](const std::string& why) {
    if (failed++ == 0)
      firstKind = why;
    else if (why != firstKind)
      sameKind = false;
  };
  for (const pcap_if_t* device = list.get(); device != nullptr; device = device->next) {
    const char* name = device->name;
    // Not Ethernet interfaces of this host: the "any" pseudo-device, loopback, and the
    // pseudo-devices that are no kernel interface at all (nflog, usbmon, dbus...).
    if (name == nullptr || std::strcmp(name, "any") == 0)
      continue;
    if ((device->flags & PCAP_IF_LOOPBACK) != 0)
      continue;
    const unsigned ifIndex = pcap.interfaceIndex(name);
    if (ifIndex == 0 || (skip && skip(name)))
      continue;

    const char* label = device->description != nullptr ? device->description : name;
    if (device->description != nullptr) {
      LOG4CPLUS_DEBUG_FMT(logger(), "Initializing device %s: %s", name, device->description);
    } else {
      LOG4CPLUS_DEBUG_FMT(logger(), "Initializing device %s", name);
    }

    std::string error;
    PcapHandle handle = openDevice(name, label, 1, error, kind);
    if (!handle) {
      LOG4CPLUS_DEBUG_FMT(logger(),
                          "Failed to initialize promiscuous mode on device %s, trying local "
                          "capture mode",
                          label);
      handle = openDevice(name, label, 0, error, kind);
    }
    if (!handle) {
      LOG4CPLUS_WARN_FMT(logger(), "Device %s is not supported: %s", label, error.c_str());
      noteFailure(kind);
      continue;
    }

    pcap_t* p = handle.get();
    bool usable = false;
    if (pcap.datalink(p) == DLT_EN10MB) {
      LOG4CPLUS_DEBUG_FMT(logger(), "Reading %s addresses", name);
      if (automatic && localAddress == 0) {
        readLocalIp(device->addresses);
        if (localAddress != 0) {
          AgentAddress a;
          std::memcpy(a.bytes.data(), &localAddress, 4);
          a.why = std::string("an IPv4 address of ") + name + ", the first interface with one";
          LOG4CPLUS_INFO_FMT(logger(), "Agent address %s: %s", a.text().c_str(), a.why.c_str());
          chosen.reset();
        }
        if (!ipv6)
          ipv6 = firstGlobalIpv6(name, device->addresses);
      }
      usable = setFilter(p, label);
    }
    if (!usable) {
      LOG4CPLUS_WARN_FMT(logger(), "Failed to initialize device %s", label);
      noteFailure("no Ethernet device that takes the capture filter");
      continue;  // the handle closes as it goes out of scope
    }
    devices.push_back({std::move(handle), name, ifIndex});
    LOG4CPLUS_DEBUG(logger(), "Setting device mode to non blocking");
    pcap.setNonblock(p, 0, errbuf);
    LOG4CPLUS_INFO_FMT(logger(), "Device %s initialized successfully", label);
  }
  if (automatic && localAddress == 0 && !chosen && ipv6)
    useAgentAddress(*ipv6);
  LOG4CPLUS_DEBUG(logger(), "Capture devices initialized successfully");
  failureReason_.clear();
  if (devices.size() == openedBefore)
    failureReason_ = failed == 0 ? "no Ethernet interface besides loopback"
                     : sameKind  ? firstKind
                                 : "";
  return true;
}

bool DeviceOpener::selectsInUserSpace(pcap_t* device) const {
  return std::find(userSpace.begin(), userSpace.end(), device) != userSpace.end();
}

bool DeviceOpener::setTextFilter(pcap_t* p) {
  bpf_program program{};
  if (pcap.compile(p, &program, filter.text.c_str(), 1, kFilterNetmask) < 0) {
    LOG4CPLUS_ERROR_FMT(logger(), "Failed to compile filter %s: %s", filter.text.c_str(),
                        pcap.geterr(p));
    return false;
  }
  const std::unique_ptr<bpf_program, PcapFreeCode> compiled(&program, PcapFreeCode{&pcap});
  return pcap.setFilter(p, compiled.get()) >= 0;
}

bool DeviceOpener::setFilter(pcap_t* p, const char* label) {
  if (!setTextFilter(p))
    return false;
  if (!filter.kernel)
    return true;
  // libpcap runs its filter in user space over the ring's first block, where the random draw
  // reads outside the packet and passes nothing: it keeps the text filter (every eligible
  // packet) while the kernel runs the selection program.
  std::vector<bpf_insn> code =
      kernelSelectionProgram(*filter.kernel, filter.step, filter.ipv6, snapLength);
  const bpf_program program{static_cast<u_int>(code.size()), code.data()};
  if (pcap.attachKernelFilter(p, &program) == 0)
    return true;
  LOG4CPLUS_WARN_FMT(logger(),
                     "The kernel did not take the sampling filter on device %s, sampling every "
                     "packet in user space",
                     label);
  userSpace.push_back(p);
  return true;
}

void DeviceOpener::useAgentAddress(const AgentAddress& address) {
  chosen = address;
  if (address.ipv6) {
    reporter.setAgentAddress6(address.bytes);
  } else {
    uint32_t word;
    std::memcpy(&word, address.bytes.data(), 4);
    reporter.setAgentAddress(word);
  }
  LOG4CPLUS_INFO_FMT(logger(), "Agent address %s: %s", address.text().c_str(), address.why.c_str());
}

std::string DeviceOpener::agentAddressText() const {
  if (chosen)
    return chosen->text();
  if (localAddress == 0)
    return "";
  AgentAddress a;
  std::memcpy(a.bytes.data(), &localAddress, 4);
  return a.text();
}

void DeviceOpener::readLocalIp(const pcap_addr* addresses) {
  if (localAddress != 0 || addresses == nullptr)
    return;
  for (const pcap_addr* entry = addresses; entry != nullptr; entry = entry->next) {
    if (entry->addr == nullptr || entry->addr->sa_family != AF_INET)
      continue;
    const uint32_t address = ipv4Of(entry->addr);  // network byte order
    if (address == 0 || address == htonl(INADDR_LOOPBACK))
      continue;
    LOG4CPLUS_DEBUG_FMT(logger(), "Found address %x", address);
    if (entry->netmask == nullptr) {
      LOG4CPLUS_DEBUG(logger(), "No netmask found for address, ignoring");
      continue;
    }
    LOG4CPLUS_DEBUG_FMT(logger(), "Found netmask for address to be %x",
                        ntohl(ipv4Of(entry->netmask)));
    // Later qualifying entries of the same list replace earlier ones.
    localAddress = address;
    reporter.setAgentAddress(address);
  }
}

}  // namespace wendrel
