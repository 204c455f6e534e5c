#include "packet_reporter.h"

#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include "collector_socket.h"
#include "xdr_writer.h"

namespace wendrel {

namespace {

log4cplus::Logger logger() {
  return log4cplus::Logger::getInstance("PacketReporter");
}

constexpr size_t kSourceIds = 65536;
constexpr size_t kDatagramHeaderLength = 28;

// Words of datagramHeader.
enum HeaderWord : size_t {
  kVersion,
  kAgentAddressType,
  kAgentAddress,
  kSubAgentId,
  kSequenceNumber,
  kUptime,
  kSampleCount,
};

constexpr uint32_t kSflowVersion = 5;
constexpr uint32_t kAddressTypeIpv4 = 1;
constexpr uint32_t kFlowSample = 1;       // enterprise 0, format 1
constexpr uint32_t kRawPacketHeader = 1;  // enterprise 0, format 1
constexpr uint32_t kHeaderProtocolEthernet = 1;
// A sample is 8 bytes of type and length, then `sampleLength` bytes: 40 of flow-sample
// words and record type and length, then the record's 16 fixed bytes and the header bytes.
constexpr uint32_t kSampleTypeAndLength = 8;
constexpr uint32_t kSampleFixedLength = 40;
constexpr uint32_t kRecordFixedLength = 16;

}  // namespace

PacketReporter::PacketReporter(std::string collectorAddress)
    : PacketReporter(std::move(collectorAddress), std::make_unique<SteadyClock>(),
                     std::make_unique<CollectorSocket>()) {}

PacketReporter::PacketReporter(std::string collectorAddress, std::unique_ptr<Clock> clock,
                               std::unique_ptr<DatagramSink> sink)
    : ownedClock(std::move(clock)),
      ownedSink(std::move(sink)),
      timeSource(*ownedClock),
      datagramSink(*ownedSink) {
  construct(std::move(collectorAddress));
}

PacketReporter::PacketReporter(std::string collectorAddress, Clock& clock, DatagramSink& sink)
    : timeSource(clock), datagramSink(sink) {
  construct(std::move(collectorAddress));
}

void PacketReporter::construct(std::string collectorAddress) {
  sources = std::make_unique<SourceCounters[]>(kSourceIds);
  startTime = timeSource.nowMs();
  datagramHeader[kVersion] = kSflowVersion;
  datagramHeader[kAgentAddressType] = kAddressTypeIpv4;
  initSocket(std::move(collectorAddress));
  startDatagram();
}

PacketReporter::~PacketReporter() {
  if (initialized)
    datagramSink.close();
}

void PacketReporter::initSocket(std::string collectorAddress) {
  LOG4CPLUS_INFO_FMT(logger(), "Initializing socket to send sFlow packets to collector %s",
                     collectorAddress.c_str());
  try {
    datagramSink.open(collectorAddress);
    initialized = true;
  } catch (const std::exception& e) {
    LOG4CPLUS_ERROR_FMT(logger(), "Failed to initialize udp socket: %s", e.what());
  }
}

bool PacketReporter::isInitialized() const {
  return initialized;
}

void PacketReporter::setAgentAddress(uint32_t address) {
  // The address arrives in network byte order: its bytes in memory are the wire bytes.
  uint8_t bytes[4];
  std::memcpy(bytes, &address, sizeof bytes);
  const uint32_t word = uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 |
                        uint32_t{bytes[2]} << 8 | uint32_t{bytes[3]};
  // flush() runs on the service's thread, so the header word is shared: take the lock.
  boost::mutex::scoped_lock lock(mutex);
  datagramHeader[kAgentAddress] = word;
}

void PacketReporter::addSample(const pcap_pkthdr* header, const uint8_t* packet,
                               uint32_t samplingRate, uint16_t sourceIndex) {
  boost::mutex::scoped_lock lock(mutex);

  const uint32_t caplen = header->caplen;
  const uint32_t len = header->len;
  const uint32_t headerLength = std::min(caplen, kMaxHeaderBytes);
  const auto recordLength =
      static_cast<uint32_t>(kRecordFixedLength + XdrWriter::paddedSize(headerLength));
  const uint32_t sampleLength = recordLength + kSampleFixedLength;
  // A header claiming more captured bytes than the frame had is not trusted with a
  // wrapped count: nothing was stripped from what we hold.
  const uint32_t stripped = len >= caplen ? len - caplen : 0;

  // A product smaller than the previous pool means the multiplication wrapped: the source
  // starts counting again.
  SourceCounters& counters = sources[sourceIndex];
  uint32_t sequence = counters.sampleSequence + 1;
  uint32_t pool = samplingRate * sequence;
  if (pool < counters.lastSamplePool) {
    sequence = 1;
    pool = samplingRate;
  }
  counters.sampleSequence = sequence;
  counters.lastSamplePool = pool;

  // Tested before anything is written, so a datagram is never split; exactly 1300 stays.
  if (packetLength + kSampleTypeAndLength + sampleLength > kMaxDatagramLength) {
    sendPacket();
    startDatagram();
  }

  XdrWriter out(packetBuffer.data(), kMaxDatagramLength, packetLength);
  out.u32(kFlowSample);
  out.u32(sampleLength);
  out.u32(sequence);
  out.u32(sourceIndex);
  out.u32(samplingRate);
  out.u32(pool);
  out.u32(0);  // drops
  out.u32(0);  // input interface
  out.u32(0);  // output interface
  out.u32(1);  // number of flow records
  out.u32(kRawPacketHeader);
  out.u32(recordLength);
  out.u32(kHeaderProtocolEthernet);
  out.u32(len);
  out.u32(stripped);
  out.u32(headerLength);
  out.bytes(packet, headerLength);
  packetLength = static_cast<uint16_t>(out.offset());
  ++sampleCount;
}

void PacketReporter::flush() {
  {
    boost::mutex::scoped_lock lock(mutex);
    if (sampleCount != 0) {
      sendPacket();
      startDatagram();
    }
  }
  // The flush runs on the service thread once a second: the sink's upkeep (name lookups)
  // goes there, outside the lock, where it delays no capture thread.
  if (initialized)
    datagramSink.maintain();
}

void PacketReporter::presetSource(uint16_t sourceIndex, uint32_t sampleSequence,
                                  uint32_t lastSamplePool) {
  boost::mutex::scoped_lock lock(mutex);
  sources[sourceIndex] = SourceCounters{sampleSequence, lastSamplePool};
}

void PacketReporter::startDatagram() {
  packetLength = kDatagramHeaderLength;
  sampleCount = 0;
  ++datagramSequence;
}

// Runs with `mutex` held. Resets nothing: the caller starts the next datagram, so a datagram
// whose send failed still uses up its sequence number.
void PacketReporter::sendPacket() {
  datagramHeader[kUptime] = static_cast<uint32_t>(timeSource.nowMs() - startTime);
  datagramHeader[kSequenceNumber] = datagramSequence;
  datagramHeader[kSampleCount] = sampleCount;
  XdrWriter out(packetBuffer.data(), kDatagramHeaderLength);
  for (const uint32_t word : datagramHeader)
    out.u32(word);
  try {
    datagramSink.send(packetBuffer.data(), packetLength);
  } catch (const std::exception& e) {
    LOG4CPLUS_ERROR_FMT(logger(), "Failed to send sFlow packet: %s", e.what());
  }
}

}  // namespace wendrel
