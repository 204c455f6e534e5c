// Capture = "ebpf": the kernel counts and samples every captured interface (KernelSampler),
// and one reader thread drains the ring on a short timer, hands the samples to the reporter
// with the exact sample pool, follows the interfaces that come and go, and sends the counter
// samples. The peer of TrafficCollector: the same datagrams, records and statistics, without
// a capture thread or a packet ring per interface.
#pragma once

#include <atomic>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "agent_address.h"
#include "counter_poller.h"
#include "handover.h"
#include "kernel_sampler.h"
#include "packet_reporter.h"
#include "pcap_api.h"
#include "traffic_collector.h"

namespace wendrel {

class EbpfCollector {
 public:
  // `reporter`, `pcap` (for the device list) and what `options` points to must outlive
  // stop(). Of the options, the sampling method and timing other than the retry interval
  // do not apply: the kernel draws at random and hands over every sample at once.
  EbpfCollector(std::unique_ptr<KernelSampler> sampler, PacketReporter* reporter,
                uint32_t samplingRate, PcapApi& pcap, CaptureOptions options);
  // Stops first.
  ~EbpfCollector();
  EbpfCollector(const EbpfCollector&) = delete;
  EbpfCollector& operator=(const EbpfCollector&) = delete;

  // Starts the reader and returns at once; later calls do nothing.
  void startCollecting();
  // Ends sampling: every sample in the ring reaches the reporter, every link is gone when it
  // returns. Later calls, or one before the start, do nothing.
  void stop();
  CaptureStatistics statistics() const;
  // New settings while capture runs, applied by the reader within its next wait (at once
  // with link events, which the agent always has): the kernel's rate and traffic, from its
  // next packet; the counter interval; and which interfaces are captured, detaching those
  // left out and attaching those let in. Sequence numbers go on.
  void reconfigure(uint32_t samplingRate, const CaptureOptions& options);

 private:
  struct Source {
    std::string name;
    uint16_t index = 0;
    uint64_t openId = 0;
    uint64_t lastPool = 0;
  };

  void run();
  // Attaches every interface libpcap would capture and is not attached yet; false when the
  // device list cannot be read.
  bool attachAll();
  void attachOne(const std::string& name, uint32_t ifIndex, std::string& failure);
  void take(const KernelSample& sample);
  size_t drain();
  // On the reader: applies what reconfigure() handed over.
  void applyPending();
  // Keeps the chosen address's text for statistics(), read on other threads.
  void noteAgentAddress();
  void refreshFigures();
  // Detaches the interface, keeping its counts in the figures; the next entry.
  std::map<uint32_t, Source>::iterator release(std::map<uint32_t, Source>::iterator it);
  // Waits `period`, or until link changes arrive, or (`orSamples`) until samples wait.
  void pause(boost::chrono::milliseconds period, bool orSamples);

  std::unique_ptr<KernelSampler> sampler;
  PacketReporter* reporter;
  uint32_t samplingRate;
  PcapApi& pcap;
  LinkEvents* linkEvents;
  SourceIdKind sourceId;
  boost::chrono::milliseconds retryInterval;
  bool withIpv6;
  uint32_t counterIntervalS;
  InterfacePatterns patterns;  // the interfaces captured, by name
  CounterPoller poller;
  // What reconfigure() hands over, for the reader.
  struct Pending {
    uint32_t samplingRate;
    CaptureOptions options;
  };
  Handover<Pending> pending;

  // The reader's own: attached interfaces by kernel index, and every name's source index.
  std::map<uint32_t, Source> attached;
  std::map<std::string, uint16_t> indexes;
  // Interfaces that could not be attached, not tried again until they change: another
  // interface's news would otherwise repeat their warning.
  std::set<uint32_t> refused;
  uint64_t openings = 0;
  // The agent address: how it is chosen, and once it is, which.
  AgentAddressChoice choice;
  KernelCounts retired;  // counted by interfaces detached since

  boost::thread reader;
  boost::mutex stateMutex;  // guards `started` and `stopped`
  bool started = false;
  bool stopped = false;
  std::atomic<bool> running{true};

  std::atomic<uint32_t> interfaces{0};
  std::atomic<uint64_t> packetsSeen{0};
  std::atomic<uint64_t> kernelDrops{0};
  std::atomic<bool> tried{false};
  mutable boost::mutex reasonMutex;
  std::string noInterfaceReason;  // guarded by reasonMutex
  std::string agentAddress;       // guarded by reasonMutex
};

}  // namespace wendrel
