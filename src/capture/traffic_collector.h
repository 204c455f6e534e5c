// The capture engine: one capture thread per Ethernet device, each sampling one packet in N
// (preselected in the kernel's filter in performance mode) into the PacketReporter. The
// sampling itself is in sampling.h, choosing and opening devices in DeviceOpener; this class
// runs the supervisor and the capture threads, and stops them.
#pragma once

#include <pcap/pcap.h>

#include <atomic>
#include <boost/chrono/duration.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device_opener.h"
#include "packet_reporter.h"
#include "pcap_api.h"
#include "pcap_handle.h"
#include "sampling.h"

namespace wendrel {

// Timing of the supervisor; tests shorten it.
struct CaptureTiming {
  // Pause after a failed device enumeration before the next attempt.
  boost::chrono::milliseconds retryInterval{30000};
  // How long the supervisor waits for the capture threads to announce their start.
  boost::chrono::milliseconds readyTimeout{5000};
  // How the retry pause is taken; empty means boost::this_thread::sleep_for. Whatever it
  // is, stop() interrupts the supervisor, so it should be an interruption point.
  std::function<void(boost::chrono::milliseconds)> sleep;
  // How long the capture threads go on reading after a stop, so the kernel hands over the
  // ring blocks it has partly filled (it does after the 250 ms read timeout).
  boost::chrono::milliseconds drainPeriod{350};
};

// What the collector takes beyond the five documented arguments. Every default keeps the
// documented behaviour.
struct CaptureOptions {
  CaptureTiming timing;
  SamplingMethod method = SamplingMethod::kDeterministic;
  bool ipv6 = false;  // IPv6 packets are sampled too
};

// What capture has done so far, read while it runs.
struct CaptureStatistics {
  uint32_t interfaces = 0;   // capture threads running now
  uint64_t packetsSeen = 0;  // handed to the sampling by the kernel's filter
  uint64_t kernelDrops = 0;
  bool tried = false;             // devices have been looked for at least once
  std::string noInterfaceReason;  // see DeviceOpener::failureReason
};

// One capture thread's device: its handle (owned by the collector) and its 0-based index,
// which is the sFlow source index of the interface's samples.
struct InterfaceData {
  pcap_t* handle = nullptr;
  uint16_t index = 0;
  // The kernel refused the selection program: every eligible packet is chosen here, at random.
  bool userSpace = false;
};

class TrafficCollector {
 public:
  // The agent's collector on the host's libpcap. `reporter` is not null, not owned, and must
  // outlive stop() (or the destructor).
  TrafficCollector(uint16_t snapLength, PacketReporter* reporter, int32_t bufferSize,
                   uint32_t samplingRate, bool performanceMode);
  // The same on the given pcap calls and options.
  TrafficCollector(uint16_t snapLength, PacketReporter* reporter, int32_t bufferSize,
                   uint32_t samplingRate, bool performanceMode, PcapApi& pcap,
                   CaptureOptions options);
  // Stops capture first (see stop()).
  ~TrafficCollector();
  TrafficCollector(const TrafficCollector&) = delete;
  TrafficCollector& operator=(const TrafficCollector&) = delete;

  // Starts the supervisor thread and returns at once. Later calls do nothing.
  void startCollecting();
  // Ends capture: the kernel takes no more packets, what it captured is read and sampled
  // (for timing.drainPeriod), and it returns once the supervisor and every capture thread
  // have ended and every device is closed. A second call, or a call before startCollecting,
  // does nothing.
  void stop();
  // Safe from any thread at any time.
  CaptureStatistics statistics() const;

 private:
  bool initCaptureEngine();
  void interfaceHandler(InterfaceData* data);
  void closeDevice(pcap_t* handle);
  void startCollectingInner();
  void sleepBeforeRetry();
  // After each attempt to open the devices, once their threads have started.
  void noteOpenAttempt();
  // After each read batch of `packets`: counts them, keeps the interface's cumulative kernel
  // drops for its next samples, and adds what the kernel dropped since `lastDrops`.
  void countBatch(pcap_t* handle, int packets, SamplingState& state, uint32_t& lastDrops);

  // Written only under collectorMutex.
  std::vector<PcapHandle> devices;
  // Written by the supervisor; read by stop() once the supervisor has been joined.
  std::vector<std::unique_ptr<boost::thread>> threads;
  std::atomic<bool> collecting{false};
  PacketReporter* reporter;
  uint32_t samplingRate;
  SamplingMethod method;
  CaptureFilter filter;  // before `opener`, which reads its text

  PcapApi& pcap;
  CaptureTiming timing;
  DeviceOpener opener;
  boost::thread supervisor;
  // Serialises start and stop; guards `started` and `stopRequested`.
  boost::mutex stateMutex;
  // Held for a whole stop, so a concurrent second stop returns only when capture has ended.
  boost::mutex stopMutex;
  bool started = false;
  bool stopRequested = false;

  std::atomic<uint32_t> interfacesOpen{0};
  std::atomic<uint64_t> packetsSeen{0};
  std::atomic<uint64_t> kernelDrops{0};
  std::atomic<bool> triedOpening{false};
  mutable boost::mutex reasonMutex;
  std::string noInterfaceReason;  // guarded by reasonMutex
};

}  // namespace wendrel
