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
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "counter_poller.h"
#include "device_opener.h"
#include "handover.h"
#include "interface_patterns.h"
#include "interface_statistics.h"
#include "link_events.h"
#include "packet_reporter.h"
#include "pcap_api.h"
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
  // How long the index of an interface that is gone stays its name's: one that comes back
  // within it (a container restarted) keeps its index; after it the index is free again.
  boost::chrono::milliseconds indexHold{60000};
};

// What the sFlow source id of an interface's samples is.
enum class SourceIdKind {
  Index,    // its 0-based index in the order interfaces were first opened; no direction
  IfIndex,  // the kernel's interface index; flow samples then carry the direction
};

// What the collector takes beyond the five documented arguments. Every default keeps the
// documented behaviour.
struct CaptureOptions {
  CaptureTiming timing;
  SamplingMethod method = SamplingMethod::kDeterministic;
  bool ipv6 = false;  // IPv6 packets are sampled too
  // With link events the supervisor stays on after the start and opens the interfaces that
  // appear or come back. Not owned; must outlive stop().
  LinkEvents* linkEvents = nullptr;
  // The kernel's counters, for the counter samples and the interfaces' own MAC addresses.
  // Not owned; must outlive stop(). Used on the supervisor thread only.
  InterfaceStatistics* statistics = nullptr;
  SourceIdKind sourceId = SourceIdKind::Index;
  // Seconds between two counter samples of an interface; 0: none.
  uint32_t counterIntervalS = 0;
  // How the agent address is chosen.
  AgentAddressRule agentAddress;
  // The host's own counters, sent every counterIntervalS as the host's counter sample. Not
  // owned; must outlive stop(). Used on the supervisor thread only.
  HostStatistics* host = nullptr;
  // The interfaces captured, by name; those it leaves out are never opened, nor named.
  InterfacePatterns interfaces;
};

// What capture has done so far, read while it runs.
struct CaptureStatistics {
  uint32_t interfaces = 0;   // capture threads running now
  uint64_t packetsSeen = 0;  // handed to the sampling by the kernel's filter
  uint64_t kernelDrops = 0;
  bool tried = false;             // devices have been looked for at least once
  std::string noInterfaceReason;  // see DeviceOpener::failureReason
  std::string agentAddress;       // empty while there is none
};

// One capture thread's device (its handle is owned by the collector) and its sampling state,
// made ready by the supervisor.
struct InterfaceData {
  pcap_t* handle = nullptr;
  SamplingState state;
  std::string name;
  unsigned ifIndex = 0;
  uint64_t openId = 0;
  uint64_t generation = 0;  // of the sampling that `state` and the device's filter follow
};

class TrafficCollector {
 public:
  // The agent's collector on the given pcap calls. `reporter` is not null, not owned, and
  // must outlive stop() (or the destructor); so must `pcap`.
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
  // New settings while capture runs, applied by the supervisor within a second (it needs link
  // events, which the agent always has): the sampling (rate, preselection, method, traffic)
  // of every capture, each from its next batch on, without reopening its device; the counter
  // interval; and which interfaces are captured, closing those left out and opening those
  // let in. Captures and sequence numbers that a change leaves alone go on as they were. The
  // source ids, the agent address and the timing stay as they were made.
  void reconfigure(uint32_t samplingRate, bool performanceMode, const CaptureOptions& options);

 private:
  bool initCaptureEngine();
  // Moves what opened into `devices`, each with its index; collectorMutex held.
  void adopt(std::vector<OpenedDevice>& opened);
  // Starts a capture thread for each of devices[from...]; collectorMutex held.
  void startThreads(size_t from);
  // After the start: opens what appears, sends counter samples, until stop.
  void watch();
  // What the supervisor knows of an interface, by name.
  struct Link {
    enum class Status { Unseen, Captured, Down, Failed };
    Status status = Status::Unseen;
    unsigned ifIndex = 0;
    bool usable = false;  // up, with carrier where the kernel reports one
    bool present = true;
    bool named = false;   // a line of INFO or above has named it
    uint64_t openId = 0;  // of its capture while Captured
    std::chrono::steady_clock::time_point goneAt;
  };
  // A capture thread that has ended, for the supervisor to join.
  struct Ended {
    std::string name;
    uint64_t openId;
    unsigned ifIndex;
    bool failed;  // a capture failure, not the interface going down or away
    bool gone;    // the interface is gone or renamed, and its capture said so
  };
  // Takes in the kernel's news of one interface; acts only when its own state changed.
  void noteLink(const LinkChange& change);
  // Opens the interface when it is usable and not captured; logs when it is down.
  void evaluate(const std::string& name, Link& link);
  // Joins the capture threads that ended and acts on why they did.
  void reapEnded();
  // Gives back the indexes of names gone longer than timing.indexHold.
  void releaseGone(std::chrono::steady_clock::time_point now);
  // After lost notifications: the device list says what is there now.
  void resynchronise();
  void interfaceHandler(InterfaceData* data);
  // On a capture thread: takes the sampling in effect now, filter and state.
  void retune(InterfaceData& data);
  // On the supervisor: applies what reconfigure() handed over.
  void applyPending();
  void closeDevice(pcap_t* handle, bool quietly);
  void startCollectingInner();
  void sleepBeforeRetry();
  // After each attempt to open the devices, once their threads have started.
  void noteOpenAttempt();
  // After each read batch of `packets`: counts them, keeps the interface's cumulative kernel
  // drops for its next samples, and adds what the kernel dropped since `lastDrops`.
  void countBatch(pcap_t* handle, int packets, SamplingState& state, uint32_t& lastDrops);

  struct Device : OpenedDevice {
    uint16_t index = 0;
    uint64_t openId = 0;
  };
  // Written only under collectorMutex.
  std::vector<Device> devices;
  // Written by the supervisor; read by stop() once the supervisor has been joined. One per
  // index: a thread whose device has closed is joined before its index captures again.
  std::map<uint16_t, std::unique_ptr<boost::thread>> threads;
  // The supervisor's: the index of every name opened, until it is gone for timing.indexHold.
  std::map<std::string, uint16_t> indexes;
  std::vector<uint16_t> freeIndexes;  // given back, reused lowest first
  uint32_t nextIndex = 0;             // never used yet from here on
  std::map<std::string, Link> links;  // the supervisor's
  boost::mutex endedMutex;
  std::vector<Ended> ended;  // guarded by endedMutex
  uint64_t openings = 0;
  // What reconfigure() hands over, for the supervisor.
  struct Pending {
    uint32_t samplingRate;
    bool performanceMode;
    CaptureOptions options;
  };
  Handover<Pending> pending;
  // Guards samplingRate, method and filter, which the supervisor changes and capture threads
  // copy when samplingGeneration has moved; the supervisor reads them without it.
  boost::mutex samplingMutex;
  std::atomic<uint64_t> samplingGeneration{0};
  // Openings whose capture is to end, their interface no longer chosen; under collectorMutex.
  std::set<uint64_t> dropped;
  uint32_t counterIntervalS;  // the supervisor's
  std::atomic<bool> collecting{false};
  // Cleared first by stop(), so the supervisor's watch ends before capture does.
  std::atomic<bool> supervising{true};
  PacketReporter* reporter;
  uint32_t samplingRate;
  SamplingMethod method;
  CaptureFilter filter;  // before `opener`, which reads its text

  PcapApi& pcap;
  CaptureTiming timing;
  LinkEvents* linkEvents;
  InterfaceStatistics* kernelCounters;
  SourceIdKind sourceId;
  InterfacePatterns interfaces;  // the supervisor's
  DeviceOpener opener;
  CounterPoller poller;
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
  std::string agentAddress;       // guarded by reasonMutex
};

}  // namespace wendrel
