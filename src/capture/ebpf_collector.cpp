#include "ebpf_collector.h"

#include <arpa/inet.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <netinet/in.h>

#include <algorithm>
#include <boost/thread/lock_guard.hpp>
#include <cstring>

#include "worker_threads.h"

namespace wendrel {
namespace {

// The ring is drained this often: one wake-up per period whatever the rate, which is what
// keeps the reader's cost per sample small.
constexpr boost::chrono::milliseconds kDrainPeriod{10};
// The status figures are read from the kernel's counters this often.
constexpr auto kFiguresPeriod = std::chrono::seconds(1);
constexpr size_t kMaxIndex = 0xFFFF;

log4cplus::Logger& logger() {
  static log4cplus::Logger instance = log4cplus::Logger::getInstance("TrafficLogger");
  return instance;
}

// The first IPv4 address of `addresses`, as libpcap's path takes it: with a netmask, neither
// 0 nor loopback, the last such entry of the list.
uint32_t firstIpv4(const pcap_addr* addresses) {
  uint32_t found = 0;
  for (const pcap_addr* entry = addresses; entry != nullptr; entry = entry->next) {
    if (entry->addr == nullptr || entry->addr->sa_family != AF_INET || entry->netmask == nullptr)
      continue;
    sockaddr_in in;
    std::memcpy(&in, entry->addr, sizeof in);
    if (in.sin_addr.s_addr != 0 && in.sin_addr.s_addr != htonl(INADDR_LOOPBACK))
      found = in.sin_addr.s_addr;
  }
  return found;
}

}  // namespace

EbpfCollector::EbpfCollector(std::unique_ptr<KernelSampler> kernelSampler,
                             PacketReporter* sampleReporter, uint32_t rate, PcapApi& pcapApi,
                             CaptureOptions options)
    : sampler(std::move(kernelSampler)),
      reporter(sampleReporter),
      samplingRate(rate),
      pcap(pcapApi),
      linkEvents(options.linkEvents),
      sourceId(options.sourceId),
      retryInterval(options.timing.retryInterval),
      withIpv6(options.ipv6),
      counterIntervalS(options.counterIntervalS),
      patterns(options.interfaces),
      poller(options.statistics, *sampleReporter, options.counterIntervalS),
      choice(*sampleReporter) {
  choice.rule = options.agentAddress;
  poller.addHost(options.host, CounterPoller::Clock::now());
}

EbpfCollector::~EbpfCollector() {
  stop();
}

void EbpfCollector::startCollecting() {
  boost::lock_guard<boost::mutex> lock(stateMutex);
  if (started || stopped)
    return;
  platform::WorkerSignalMask mask;  // inherited by the reader
  reader = boost::thread(&EbpfCollector::run, this);
  started = true;
}

void EbpfCollector::stop() {
  {
    boost::lock_guard<boost::mutex> lock(stateMutex);
    if (!started || stopped)
      return;
    stopped = true;
  }
  running.store(false);
  if (linkEvents != nullptr)
    linkEvents->wake();
  reader.interrupt();  // a reader still waiting to retry the device list
  reader.join();
}

void EbpfCollector::reconfigure(uint32_t rate, const CaptureOptions& options) {
  pending.put(Pending{rate, options});
  if (linkEvents != nullptr)
    linkEvents->wake();
}

void EbpfCollector::applyPending() {
  const std::optional<Pending> next = pending.take();
  if (!next)
    return;
  const CaptureOptions& o = next->options;
  if (next->samplingRate != samplingRate || o.ipv6 != withIpv6) {
    samplingRate = next->samplingRate, withIpv6 = o.ipv6;
    sampler->setSampling(samplingRate, withIpv6);
  }
  if (o.counterIntervalS != counterIntervalS) {
    counterIntervalS = o.counterIntervalS;
    const auto now = CounterPoller::Clock::now();
    poller.restart(counterIntervalS, now);
    for (const auto& [ifIndex, source] : attached)
      poller.add(source.name, source.index, source.openId, now);
  }
  if (o.interfaces != patterns) {
    patterns = o.interfaces;
    drain();  // the last samples of those left out, while they are known
    for (auto it = attached.begin(); it != attached.end();) {
      if (patterns.selects(it->second.name)) {
        ++it;
        continue;
      }
      LOG4CPLUS_INFO_FMT(logger(), "Interface %s is no longer chosen, ending its capture",
                         it->second.name.c_str());
      it = release(it);
    }
    attachAll();  // those chosen now
  }
}

CaptureStatistics EbpfCollector::statistics() const {
  CaptureStatistics result;
  result.interfaces = interfaces.load();
  result.packetsSeen = packetsSeen.load(std::memory_order_relaxed);
  result.kernelDrops = kernelDrops.load(std::memory_order_relaxed);
  result.tried = tried.load();
  boost::lock_guard<boost::mutex> lock(reasonMutex);
  result.noInterfaceReason = noInterfaceReason;
  result.agentAddress = agentAddress;
  return result;
}

void EbpfCollector::pause(boost::chrono::milliseconds period, bool orSamples) {
  if (linkEvents == nullptr) {
    boost::this_thread::sleep_for(std::min(period, kDrainPeriod));
    return;
  }
  const LinkChanges changes = linkEvents->wait(static_cast<int>(period.count()),
                                               orSamples ? sampler->readyDescriptor() : -1);
  bool enumerate = changes.lost;
  for (const LinkChange& change : changes.changes) {
    const auto it = attached.find(change.ifIndex);
    if (change.kind == LinkChange::Kind::Vanished) {
      if (it != attached.end()) {
        LOG4CPLUS_INFO_FMT(logger(), "Stopped collecting on interface %d",
                           static_cast<int>(it->second.index));
        release(it);
      }
    } else if (it == attached.end() || it->second.name != change.name) {
      refused.erase(change.ifIndex);  // changed: worth another try
      enumerate = true;
    }
  }
  if (changes.lost)
    refused.clear();
  if (enumerate)
    attachAll();
}

void EbpfCollector::run() {
  platform::nameThisThread("wendrel-ebpf");
  try {
    while (running.load() && !attachAll()) {
      LOG4CPLUS_INFO(logger(), "Failed to initialize capture engine, waiting for retry...");
      boost::this_thread::sleep_for(retryInterval);
    }
    LOG4CPLUS_DEBUG(logger(), "Starting capture");
    auto figuresDue = std::chrono::steady_clock::now();
    size_t drained = 0;
    while (running.load()) {
      // While samples come, a batch gathers for the drain period: one wake-up per sample
      // would cost more than the sampling. Once the ring is found empty, the thread sleeps
      // until one waits, a link changes, or figures or counters are due.
      if (drained > 0) {
        pause(kDrainPeriod, false);
      } else {
        const auto now = std::chrono::steady_clock::now();
        const auto untilFigures =
            std::chrono::duration_cast<std::chrono::milliseconds>(figuresDue - now).count();
        const auto limit = static_cast<int>(std::clamp<int64_t>(untilFigures, 0, 1000));
        pause(boost::chrono::milliseconds(poller.msUntilDue(now, limit)), true);
      }
      applyPending();
      drained = drain();
      const auto now = std::chrono::steady_clock::now();
      poller.poll(CounterPoller::Clock::now(), [this](uint64_t openId) {
        return std::any_of(attached.begin(), attached.end(),
                           [openId](const auto& a) { return a.second.openId == openId; });
      });
      if (now >= figuresDue) {
        refreshFigures();
        figuresDue = now + kFiguresPeriod;
      }
    }
  } catch (const boost::thread_interrupted&) {
    // stop() during the retry pause.
  }
  // Every sample the kernel took is in the ring already.
  drain();
  refreshFigures();
  while (!attached.empty())
    release(attached.begin());
  interfaces.store(0);
}

bool EbpfCollector::attachAll() {
  char errbuf[PCAP_ERRBUF_SIZE] = "";
  pcap_if_t* head = nullptr;
  std::string reason;
  bool listed = pcap.findAllDevs(&head, errbuf) != -1;
  if (!listed) {
    LOG4CPLUS_ERROR_FMT(logger(), "Failed to find devices: %s", errbuf);
    reason = std::string("the device list cannot be read: ") + errbuf;
  } else {
    const std::unique_ptr<pcap_if_t, PcapFreeDevices> list(head, PcapFreeDevices{&pcap});
    const bool automatic = choice.automatic();
    if (!choice.chosen()) {
      choice.pickConfigured(list.get());
      noteAgentAddress();
    }
    std::optional<AgentAddress> ipv6;  // the first global one of the interfaces attached now
    std::string firstFailure;
    // The same devices as libpcap's path: no "any", no loopback, only kernel interfaces.
    for (const pcap_if_t* device = list.get(); device != nullptr; device = device->next) {
      if (device->name == nullptr || std::strcmp(device->name, "any") == 0 ||
          (device->flags & PCAP_IF_LOOPBACK) != 0 || !patterns.selects(device->name))
        continue;
      const unsigned ifIndex = pcap.interfaceIndex(device->name);
      if (ifIndex == 0)
        continue;
      const auto it = attached.find(ifIndex);
      if ((it != attached.end() && it->second.name == device->name) || refused.count(ifIndex) != 0)
        continue;
      std::string failure;
      attachOne(device->name, ifIndex, failure);
      if (!failure.empty() && firstFailure.empty())
        firstFailure = failure;
      if (failure.empty() && automatic && (!choice.chosen() || choice.chosen()->ipv6)) {
        if (const uint32_t address = firstIpv4(device->addresses)) {
          AgentAddress a;
          std::memcpy(a.bytes.data(), &address, 4);
          a.why =
              std::string("an IPv4 address of ") + device->name + ", the first interface with one";
          choice.use(a);
          noteAgentAddress();
        } else if (!ipv6) {
          ipv6 = firstGlobalIpv6(device->name, device->addresses);
        }
      }
    }
    if (automatic && !choice.chosen() && ipv6) {
      choice.use(*ipv6);
      noteAgentAddress();
    }
    if (attached.empty())
      reason = firstFailure.empty() ? "no Ethernet interface besides loopback" : firstFailure;
  }
  interfaces.store(static_cast<uint32_t>(attached.size()));
  {
    boost::lock_guard<boost::mutex> lock(reasonMutex);
    noInterfaceReason = reason;
  }
  tried.store(true);
  return listed;
}

void EbpfCollector::attachOne(const std::string& name, uint32_t ifIndex, std::string& failure) {
  // A name keeps its source index through the run; a new one takes the next.
  auto index = indexes.find(name);
  if (index == indexes.end()) {
    if (indexes.size() > kMaxIndex) {
      LOG4CPLUS_WARN_FMT(logger(), "Too many interfaces, not capturing %s", name.c_str());
      return;
    }
    index = indexes.emplace(name, static_cast<uint16_t>(indexes.size())).first;
  }
  // The same name under another kernel index is the interface made anew.
  for (auto it = attached.begin(); it != attached.end();)
    it = it->second.name == name ? release(it) : std::next(it);
  failure = sampler->attach(name, ifIndex);
  if (!failure.empty()) {
    refused.insert(ifIndex);
    LOG4CPLUS_WARN_FMT(logger(), "Device %s is not supported: %s", name.c_str(), failure.c_str());
    return;
  }
  Source& source = attached[ifIndex];
  source.name = name;
  source.index = index->second;
  source.openId = ++openings;
  reporter->registerSource(source.index, sourceId == SourceIdKind::IfIndex ? ifIndex : source.index,
                           ifIndex);
  poller.add(name, source.index, source.openId, CounterPoller::Clock::now());
  LOG4CPLUS_INFO_FMT(logger(), "Device %s initialized successfully", name.c_str());
}

void EbpfCollector::noteAgentAddress() {
  if (!choice.chosen())
    return;
  boost::lock_guard<boost::mutex> lock(reasonMutex);
  agentAddress = choice.chosen()->text();
}

size_t EbpfCollector::drain() {
  return sampler->drain([this](const KernelSample& sample) { take(sample); });
}

void EbpfCollector::take(const KernelSample& sample) {
  const auto it = attached.find(sample.ifIndex);
  if (it == attached.end())
    return;  // taken just before its interface went
  Source& source = it->second;
  SampleExtra extra;
  // Samples of one interface taken on two CPUs at once may reach the ring out of order: the
  // later one then stands for itself alone, and the pool stays the kernel's count.
  extra.packets =
      sample.pool > source.lastPool ? static_cast<uint32_t>(sample.pool - source.lastPool) : 1;
  source.lastPool = std::max(source.lastPool, sample.pool);
  extra.drops = static_cast<uint32_t>(sample.drops);
  if (sourceId == SourceIdKind::IfIndex) {
    extra.input = sample.egress ? kInternalInterface : sample.ifIndex;
    extra.output = sample.egress ? sample.ifIndex : kInternalInterface;
  }
  reporter->addSample({sample.bytes, sample.capturedLength, sample.frameLength}, sample.rate,
                      source.index, extra);
}

std::map<uint32_t, EbpfCollector::Source>::iterator EbpfCollector::release(
    std::map<uint32_t, Source>::iterator it) {
  // What it counted stays in the figures.
  const KernelCounts counts = sampler->counts(it->first);
  retired.packets += counts.packets, retired.drops += counts.drops;
  sampler->detach(it->first);
  auto next = attached.erase(it);
  interfaces.store(static_cast<uint32_t>(attached.size()));
  return next;
}

void EbpfCollector::refreshFigures() {
  KernelCounts total = retired;
  for (const auto& [ifIndex, source] : attached) {
    const KernelCounts counts = sampler->counts(ifIndex);
    total.packets += counts.packets, total.drops += counts.drops;
  }
  packetsSeen.store(total.packets, std::memory_order_relaxed);
  kernelDrops.store(total.drops, std::memory_order_relaxed);
}

}  // namespace wendrel
