#include "device_opener.h"

#include <arpa/inet.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
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
    lastFailureWasState_ = status == PCAP_ERROR_IFACE_NOT_UP || status == PCAP_ERROR_NO_SUCH_DEVICE;
    // The common case under a unit edited by hand, or a foreground run as a user.
    kind = status == PCAP_ERROR_PERM_DENIED ? "Operation not permitted: the agent needs CAP_NET_RAW"
                                            : pcap.statusText(status);
    return {};
  }
  LOG4CPLUS_WARN_FMT(logger(), "Device %s opened with a warning: %s", label, detail.c_str());
  return handle;
}

namespace {

LinkChange stateOf(const pcap_if_t& device, unsigned ifIndex) {
  LinkChange link;
  link.name = device.name;
  link.ifIndex = ifIndex;
  link.up = (device.flags & PCAP_IF_UP) != 0;
  link.running = (device.flags & PCAP_IF_RUNNING) != 0;
  link.carrier =
      (device.flags & PCAP_IF_CONNECTION_STATUS) != PCAP_IF_CONNECTION_STATUS_DISCONNECTED;
  return link;
}

// Not Ethernet interfaces of this host: the "any" pseudo-device, loopback, and the
// pseudo-devices that are no kernel interface at all (nflog, usbmon, dbus...).
bool eligible(const pcap_if_t& device) {
  return device.name != nullptr && std::strcmp(device.name, "any") != 0 &&
         (device.flags & PCAP_IF_LOOPBACK) == 0;
}

}  // namespace

bool DeviceOpener::openAll(std::vector<OpenedDevice>& devices,
                           const std::function<bool(const LinkChange&)>& skip) {
  LOG4CPLUS_DEBUG(logger(), "Initializing capture devices");
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  pcap_if_t* head = nullptr;
  if (pcap.findAllDevs(&head, errbuf) == -1) {
    LOG4CPLUS_ERROR_FMT(logger(), "Failed to find devices: %s", errbuf);
    failureReason_ = std::string("the device list cannot be read: ") + errbuf;
    return false;
  }
  const std::unique_ptr<pcap_if_t, PcapFreeDevices> list(head, PcapFreeDevices{&pcap});
  choice.pickConfigured(list.get());
  std::optional<AgentAddress> ipv6;  // the first global one of the devices opened now
  const size_t openedBefore = devices.size();
  size_t failed = 0;
  std::string kind, firstKind;
  bool sameKind = true;
  for (const pcap_if_t* device = list.get(); device != nullptr; device = device->next) {
    if (!eligible(*device))
      continue;
    const char* name = device->name;
    const unsigned ifIndex = pcap.interfaceIndex(name);
    if (ifIndex == 0 || (skip && skip(stateOf(*device, ifIndex))))
      continue;
    const char* label = device->description != nullptr ? device->description : name;
    if (device->description != nullptr) {
      LOG4CPLUS_DEBUG_FMT(logger(), "Initializing device %s: %s", name, device->description);
    } else {
      LOG4CPLUS_DEBUG_FMT(logger(), "Initializing device %s", name);
    }
    if (openNamed(name, label, device->addresses, ifIndex, devices, kind, ipv6))
      continue;
    if (failed++ == 0)
      firstKind = kind;
    else if (kind != firstKind)
      sameKind = false;
  }
  if (choice.automatic() && localAddress == 0 && !choice.chosen() && ipv6)
    choice.use(*ipv6);
  LOG4CPLUS_DEBUG(logger(), "Capture devices initialized successfully");
  failureReason_.clear();
  if (devices.size() == openedBefore)
    failureReason_ = failed == 0 ? "no Ethernet interface besides loopback"
                     : sameKind  ? firstKind
                                 : "";
  return true;
}

bool DeviceOpener::openOne(const std::string& name, unsigned ifIndex,
                           std::vector<OpenedDevice>& devices) {
  LOG4CPLUS_DEBUG_FMT(logger(), "Initializing device %s", name.c_str());
  // While the agent has no IPv4 address (or not the configured one yet), the list is read for
  // this interface's addresses.
  const bool automatic = choice.automatic();
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  pcap_if_t* head = nullptr;
  if ((automatic ? localAddress != 0 : choice.chosen().has_value()) ||
      pcap.findAllDevs(&head, errbuf) == -1)
    head = nullptr;
  const std::unique_ptr<pcap_if_t, PcapFreeDevices> list(head, PcapFreeDevices{&pcap});
  if (list)
    choice.pickConfigured(list.get());
  const pcap_if_t* device = list.get();
  while (device != nullptr && name != device->name)
    device = device->next;
  std::string kind;
  std::optional<AgentAddress> ipv6;
  const bool opened = openNamed(name.c_str(), name.c_str(), device ? device->addresses : nullptr,
                                ifIndex, devices, kind, ipv6);
  if (automatic && localAddress == 0 && !choice.chosen() && ipv6)
    choice.use(*ipv6);
  return opened;
}

bool DeviceOpener::enumerate(std::vector<LinkChange>& links) {
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  pcap_if_t* head = nullptr;
  if (pcap.findAllDevs(&head, errbuf) == -1)
    return false;
  const std::unique_ptr<pcap_if_t, PcapFreeDevices> list(head, PcapFreeDevices{&pcap});
  for (const pcap_if_t* device = list.get(); device != nullptr; device = device->next) {
    const unsigned ifIndex = eligible(*device) ? pcap.interfaceIndex(device->name) : 0;
    if (ifIndex != 0)
      links.push_back(stateOf(*device, ifIndex));
  }
  return true;
}

bool DeviceOpener::openNamed(const char* name, const char* label, const pcap_addr* addresses,
                             unsigned ifIndex, std::vector<OpenedDevice>& devices,
                             std::string& kind, std::optional<AgentAddress>& ipv6) {
  std::string error;
  lastFailureWasState_ = false;
  PcapHandle handle = openDevice(name, label, 1, error, kind);
  if (!handle && !lastFailureWasState_) {
    LOG4CPLUS_DEBUG_FMT(logger(),
                        "Failed to initialize promiscuous mode on device %s, trying local "
                        "capture mode",
                        label);
    handle = openDevice(name, label, 0, error, kind);
  }
  if (!handle) {
    // Down or gone by now: its next state change says what to do, and its own line.
    if (!lastFailureWasState_)
      logFailure(label, error, kind);
    return false;
  }
  pcap_t* p = handle.get();
  bool usable = false, userSpace = false;
  if (pcap.datalink(p) == DLT_EN10MB) {
    LOG4CPLUS_DEBUG_FMT(logger(), "Reading %s addresses", name);
    if (choice.automatic() && localAddress == 0) {
      readLocalIp(addresses);
      if (localAddress != 0) {
        AgentAddress a;
        std::memcpy(a.bytes.data(), &localAddress, 4);
        a.why = std::string("an IPv4 address of ") + name + ", the first interface with one";
        LOG4CPLUS_INFO_FMT(logger(), "Agent address %s: %s", a.text().c_str(), a.why.c_str());
        choice.forget();
      }
      if (!ipv6)
        ipv6 = firstGlobalIpv6(name, addresses);
    }
    usable = setFilter(p, label, userSpace);
  }
  if (!usable) {
    LOG4CPLUS_WARN_FMT(logger(), "Failed to initialize device %s", label);
    kind = "no Ethernet device that takes the capture filter";
    return false;  // the handle closes as it goes out of scope
  }
  devices.push_back({std::move(handle), name, ifIndex, userSpace});
  LOG4CPLUS_DEBUG(logger(), "Setting device mode to non blocking");
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  pcap.setNonblock(p, 0, errbuf);
  LOG4CPLUS_INFO_FMT(logger(), "Device %s initialized successfully", label);
  return true;
}

void DeviceOpener::logFailure(const char* label, const std::string& error,
                              const std::string& kind) {
  if (!descriptorsWarned && (error.find(std::strerror(EMFILE)) != std::string::npos ||
                             error.find(std::strerror(ENFILE)) != std::string::npos)) {
    descriptorsWarned = true;
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    LOG4CPLUS_ERROR_FMT(logger(),
                        "Out of file descriptors at device %s (limit %llu): more interfaces than "
                        "the limit allows are not captured; raise LimitNOFILE",
                        label, static_cast<unsigned long long>(limit.rlim_cur));
  }
  const auto now = std::chrono::steady_clock::now();
  Repeats& r = repeats[kind];
  if (r.logged != std::chrono::steady_clock::time_point{} &&
      now - r.logged < std::chrono::minutes(1)) {
    ++r.held, r.last = label;
    return;
  }
  r.logged = now;
  LOG4CPLUS_WARN_FMT(logger(), "Device %s is not supported: %s", label, error.c_str());
}

void DeviceOpener::summarise(std::chrono::steady_clock::time_point now) {
  for (auto it = repeats.begin(); it != repeats.end();) {
    Repeats& r = it->second;
    if (now - r.logged < std::chrono::minutes(1)) {
      ++it;
    } else if (r.held == 0) {
      it = repeats.erase(it);  // quiet for a minute: the next one is logged in full
    } else {
      LOG4CPLUS_WARN_FMT(logger(),
                         "%u more devices were not opened in the last minute (the last %s): %s",
                         r.held, r.last.c_str(), it->first.c_str());
      r.held = 0, r.logged = now;
      ++it;
    }
  }
}

bool DeviceOpener::setTextFilter(pcap_t* p, const CaptureFilter& next) const {
  bpf_program program{};
  if (pcap.compile(p, &program, next.text.c_str(), 1, kFilterNetmask) < 0) {
    LOG4CPLUS_ERROR_FMT(logger(), "Failed to compile filter %s: %s", next.text.c_str(),
                        pcap.geterr(p));
    return false;
  }
  const std::unique_ptr<bpf_program, PcapFreeCode> compiled(&program, PcapFreeCode{&pcap});
  return pcap.setFilter(p, compiled.get()) >= 0;
}

bool DeviceOpener::refilter(pcap_t* p, const CaptureFilter& next, const char* label,
                            bool& userSpace) const {
  if (!setTextFilter(p, next))
    return false;
  if (!next.kernel)
    return true;
  // libpcap runs its filter in user space over the ring's first block, where the random draw
  // reads outside the packet and passes nothing: it keeps the text filter (every eligible
  // packet) while the kernel runs the selection program.
  std::vector<bpf_insn> code =
      kernelSelectionProgram(*next.kernel, next.step, next.ipv6, snapLength);
  const bpf_program program{static_cast<u_int>(code.size()), code.data()};
  if (pcap.attachKernelFilter(p, &program) == 0)
    return true;
  LOG4CPLUS_WARN_FMT(logger(),
                     "The kernel did not take the sampling filter on device %s, sampling every "
                     "packet in user space",
                     label);
  userSpace = true;
  return true;
}

std::string DeviceOpener::agentAddressText() const {
  if (choice.chosen())
    return choice.chosen()->text();
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
