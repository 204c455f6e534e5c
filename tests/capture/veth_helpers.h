// What the veth capture tests share: the frames they send, a sink that stalls the capture
// thread, and capture by either path on the agent namespace's links.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "../sflow/sflow_fakes.h"
#include "bpf_kernel_sampler.h"
#include "datagram_writer.h"
#include "ebpf_collector.h"
#include "kernel_interface_statistics.h"
#include "live_pcap.h"
#include "netlink_link_events.h"
#include "scenario.h"
#include "traffic_collector.h"

namespace wendrel::test {

// Namespaces need root: as another user the tests skip.
struct NetnsTest : testing::Test {
  void SetUp() override {
    if (!NetnsPair::available())
      GTEST_SKIP() << "needs root for network namespaces";
  }
};

// kConstant: one flow whose IPv4 headers never change (id 0, checksum 0: checksum-bit
// selection never passes it); kVaried: a new id and checksum each; kIpv6: UDP over IPv6.
enum Kind { kConstant, kVaried, kIpv6, kOther };

inline std::vector<uint8_t> frameOf(const NetnsPair::Link& link, Kind kind, uint16_t n) {
  const auto v = uint16_t(n | 0x8000);
  return kind == kVaried ? testFrame(link, v, v) : testFrame(link, 0, 0, kind == kIpv6);
}

inline Kind kindOf(const std::vector<uint8_t>& h) {
  if (h.size() < 20 || h[0] != 2 || h[5] != 0x99)
    return kOther;  // the kernel's own IPv6 chatter
  return h[12] == 0x86 ? kIpv6 : h[18] == 0 && h[19] == 0 ? kConstant : kVaried;
}

// A sink whose send waits while `closed`, stalling the capture thread inside the reporter.
struct GatedSink : RecordingSink {
  void send(const uint8_t* data, size_t size) override {
    std::unique_lock<std::mutex> lock(mutex);
    ++waiting;
    gate.wait(lock, [this] { return !closed; });
    lock.unlock();
    RecordingSink::send(data, size);
  }
  void setClosed(bool value) {
    std::lock_guard<std::mutex> lock(mutex);
    closed = value, waiting = value ? 0 : waiting, gate.notify_all();
  }
  bool stalled() {  // a send has waited since the gate was closed
    std::lock_guard<std::mutex> lock(mutex);
    return waiting > 0;
  }
  std::condition_variable gate;
  bool closed = false;
  int waiting = 0;
};

using GatedRig = BasicRig<GatedSink>;

inline size_t entries(const char* directory) {
  return size_t(std::distance(std::filesystem::directory_iterator(directory), {}));
}

inline CaptureOptions optionsOf(SourceIdKind kind, uint32_t counterS = 0, bool ipv6 = true) {
  CaptureOptions options;
  options.method = SamplingMethod::kRandom, options.ipv6 = ipv6;
  options.sourceId = kind, options.counterIntervalS = counterS;
  return options;
}

// Capture at `rate` into `reporter`, started once every link is captured. libpcap lists the
// devices of the main thread's namespace, and link events and counters watch their maker's:
// the test's thread enters the agent namespace for good. With `watch` both are on.
struct Capture {
  Capture(NetnsPair& pair, PacketReporter& reporter, uint32_t rate, bool ebpf,
          CaptureOptions options, bool perf = false, int32_t buffer = 16 << 20, bool watch = false)
      : net(pair) {
    pair.enterAgent();
    if (watch)
      events.emplace(), kernel.emplace(), options.linkEvents = &*events,
                                          options.statistics = &*kernel;
    if (ebpf) {
      std::string missing;
      auto sampler = BpfKernelSampler::open(rate, options.ipv6, missing);
      EXPECT_TRUE(sampler) << missing;
      kernelSampled =
          std::make_unique<EbpfCollector>(std::move(sampler), &reporter, rate, pcap, options);
      kernelSampled->startCollecting();
    } else {
      collector =
          std::make_unique<TrafficCollector>(128, &reporter, buffer, rate, perf, pcap, options);
      collector->startCollecting();
    }
    // Watching, a test waits for what it expects; else every link is captured from the start.
    EXPECT_TRUE(waitFor([&] {
      return statistics().tried && (watch || statistics().interfaces == net.linkCount());
    }));
  }
  CaptureStatistics statistics() const {
    return collector ? collector->statistics() : kernelSampled->statistics();
  }
  void stop() { collector ? collector->stop() : kernelSampled->stop(); }
  void reconfigure(uint32_t rate, const CaptureOptions& options) {
    collector ? collector->reconfigure(rate, false, options)
              : kernelSampled->reconfigure(rate, options);
  }

  NetnsPair& net;
  std::optional<NetlinkLinkEvents> events;
  std::optional<KernelInterfaceStatistics> kernel;
  LivePcap pcap;
  std::unique_ptr<TrafficCollector> collector;
  std::unique_ptr<EbpfCollector> kernelSampled;
};

// Capture at rate 1 with the kernel's link events and counters, and all it has sent.
struct Watch : GatedRig, Capture {
  Watch(NetnsPair& pair, bool ebpf, const CaptureOptions& options)
      : Capture(pair, reporter, 1, ebpf, options, false, 2 << 20, true) {}
  const std::vector<DecodedDatagram>& take() {
    for (const DecodedDatagram& d : datagrams(true))
      all.push_back(d);
    return all;
  }
  // Calls `send` every 20 ms (at most 300 times: a slow, sanitized build on a busy host) until
  // a datagram `holds`; whether one did.
  bool until(const std::function<void(uint16_t)>& send,
             const std::function<bool(const DecodedDatagram&)>& holds) {
    for (uint16_t n = 0, from = uint16_t(take().size()); n < 300; ++n) {
      send(n);
      std::this_thread::sleep_for(Millis(20));
      for (take(); from < all.size(); ++from)
        if (holds(all[from]))
          return true;
    }
    return false;
  }
  bool until(size_t i, const std::function<bool(const DecodedDatagram&)>& holds) {
    return until([&](uint16_t n) { net.send(i, testFrame(net.link(i), n)); }, holds);
  }
  // Source id, input and output of the frames sent from link i's far end, once `want` are seen.
  std::set<std::tuple<uint32_t, uint32_t, uint32_t>> sourcesFrom(size_t i, size_t want = 1) {
    std::set<std::tuple<uint32_t, uint32_t, uint32_t>> ids;
    until(i, [&](const DecodedDatagram& d) {
      for (const DecodedSample& s : d.samples)
        if (fromLink(s, net.link(i)) && frameNumber(s) < 0x8000)  // not frameOf's
          ids.emplace(s.sourceId, s.inputInterface, s.outputInterface);
      return ids.size() >= want;
    });
    return ids;
  }
  std::vector<DecodedDatagram> all;
};

}  // namespace wendrel::test
