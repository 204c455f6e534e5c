#include "datagram_writer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "xdr_writer.h"

namespace wendrel {

namespace {

constexpr uint32_t kSflowVersion = 5;
constexpr uint32_t kAddressTypeIpv4 = 1;
constexpr uint32_t kAddressTypeIpv6 = 2;
constexpr uint32_t kFlowSample = 1;          // enterprise 0, format 1
constexpr uint32_t kExpandedFlowSample = 3;  // enterprise 0, format 3
constexpr uint32_t kRawPacketHeader = 1;     // enterprise 0, format 1
constexpr uint32_t kHeaderProtocolEthernet = 1;
constexpr uint32_t kCounterSample = 2;          // enterprise 0, format 2
constexpr uint32_t kExpandedCounterSample = 4;  // enterprise 0, format 4
constexpr uint32_t kGenericInterface = 1;       // enterprise 0, format 1
constexpr uint32_t kPortName = 1005;            // enterprise 0, format 1005
constexpr uint32_t kEthernetCsmaCd = 6;         // the ifType of every interface we capture
constexpr size_t kCounterSampleWords = 12;      // sequence, source id, record count
constexpr size_t kExpandedCounterWords = 16;    // sequence, source type, index, record count
constexpr size_t kGenericInterfaceLength = 88;  // the record's fixed size
// A flow sample: 8 bytes of type and length, 32 of flow-sample words, 8 of record type and
// length, then the record's 16 fixed bytes and the padded header bytes.
constexpr size_t kTypeAndLength = 8;
constexpr size_t kFlowSampleWords = 32;
// Source type and index apart, and each interface as a format and a value.
constexpr size_t kExpandedFlowWords = 44;
constexpr size_t kRecordFixedLength = 16;

size_t recordLength(const FlowSample& sample) {
  return kRecordFixedLength + XdrWriter::paddedSize(sample.headerLength);
}

size_t portNameLength(const CounterSample& sample) {
  return std::min(sample.nameLength, DatagramWriter::kMaxPortName);
}

bool fitsCompact(uint32_t interface) {
  return interface <= kMaxCompactIndex || interface == kInternalInterface;
}

bool expanded(const FlowSample& sample) {
  return sample.sourceId > kMaxCompactIndex || !fitsCompact(sample.inputInterface) ||
         !fitsCompact(sample.outputInterface);
}

size_t counterHeadSize(uint32_t sourceId) {
  return sourceId > kMaxCompactIndex ? kExpandedCounterWords : kCounterSampleWords;
}

// A counter sample's type, length, sequence, source id and record count.
void counterHead(XdrWriter& out, uint32_t sequence, uint32_t sourceType, uint32_t sourceId,
                 size_t recordBytes, uint32_t recordCount) {
  const bool wide = sourceId > kMaxCompactIndex;
  out.u32(wide ? kExpandedCounterSample : kCounterSample);
  out.u32(static_cast<uint32_t>(counterHeadSize(sourceId) + recordBytes));
  out.u32(sequence);
  if (wide) {
    out.u32(sourceType);
    out.u32(sourceId);
  } else {
    out.u32(sourceType << 24 | sourceId);
  }
  out.u32(recordCount);
}

}  // namespace

size_t DatagramWriter::encodedCounterSize(uint32_t sourceId, size_t recordBytes) {
  return kTypeAndLength + counterHeadSize(sourceId) + recordBytes;
}

void DatagramWriter::appendCounters(uint32_t sequence, uint32_t sourceType, uint32_t sourceId,
                                    const uint8_t* records, size_t recordBytes,
                                    uint32_t recordCount) {
  XdrWriter out(buffer_.data(), buffer_.size(), length_);
  counterHead(out, sequence, sourceType, sourceId, recordBytes, recordCount);
  out.bytes(records, recordBytes);  // whole words already: no padding
  length_ = out.offset();
  ++sampleCount_;
}

size_t DatagramWriter::encodedSize(const CounterSample& sample) {
  return encodedCounterSize(sample.sourceId, kTypeAndLength + kGenericInterfaceLength +
                                                 kTypeAndLength + 4 +
                                                 XdrWriter::paddedSize(portNameLength(sample)));
}

void DatagramWriter::append(const CounterSample& sample) {
  const size_t name = portNameLength(sample);
  XdrWriter out(buffer_.data(), buffer_.size(), length_);
  counterHead(out, sample.sequence, kSourceInterface, sample.sourceId,
              encodedSize(sample) - kTypeAndLength - counterHeadSize(sample.sourceId), 2);
  out.u32(kGenericInterface);
  out.u32(static_cast<uint32_t>(kGenericInterfaceLength));
  out.u32(sample.ifIndex);
  out.u32(kEthernetCsmaCd);
  out.u64(sample.speed);
  out.u32(sample.direction);
  out.u32(sample.status);
  out.u64(sample.inOctets);
  for (uint32_t word : {sample.inUnicast, sample.inMulticast, sample.inBroadcast, sample.inDiscards,
                        sample.inErrors, sample.inUnknownProtos})
    out.u32(word);
  out.u64(sample.outOctets);
  for (uint32_t word : {sample.outUnicast, sample.outMulticast, sample.outBroadcast,
                        sample.outDiscards, sample.outErrors, sample.promiscuous})
    out.u32(word);
  out.u32(kPortName);
  out.u32(static_cast<uint32_t>(4 + XdrWriter::paddedSize(name)));
  out.u32(static_cast<uint32_t>(name));
  out.bytes(reinterpret_cast<const uint8_t*>(sample.name), name);
  length_ = out.offset();
  ++sampleCount_;
}

size_t DatagramWriter::encodedSize(const FlowSample& sample) {
  return kTypeAndLength + (expanded(sample) ? kExpandedFlowWords : kFlowSampleWords) +
         kTypeAndLength + recordLength(sample);
}

void DatagramWriter::append(const FlowSample& sample) {
  const size_t record = recordLength(sample);
  const bool wide = expanded(sample);
  XdrWriter out(buffer_.data(), buffer_.size(), length_);
  out.u32(wide ? kExpandedFlowSample : kFlowSample);
  out.u32(static_cast<uint32_t>(encodedSize(sample) - kTypeAndLength));
  out.u32(sample.sequence);
  if (wide) {
    out.u32(sample.sourceType);
    out.u32(sample.sourceId);
  } else {
    out.u32(sample.sourceType << 24 | sample.sourceId);
  }
  out.u32(sample.samplingRate);
  out.u32(sample.samplePool);
  out.u32(sample.drops);
  for (uint32_t interface : {sample.inputInterface, sample.outputInterface}) {
    if (wide)
      out.u32(0);  // format 0: the value is an ifIndex (or the host itself)
    out.u32(interface);
  }
  out.u32(1);  // number of flow records
  out.u32(kRawPacketHeader);
  out.u32(static_cast<uint32_t>(record));
  out.u32(kHeaderProtocolEthernet);
  out.u32(sample.frameLength);
  out.u32(sample.stripped);
  out.u32(sample.headerLength);
  out.bytes(sample.header, sample.headerLength);
  length_ = out.offset();
  ++sampleCount_;
}

size_t DatagramWriter::finish(const DatagramHeader& header) {
  XdrWriter out(buffer_.data(), headerLength_);
  out.u32(kSflowVersion);
  if (header.agentAddress6 != nullptr) {
    assertIpv6(true);
    out.u32(kAddressTypeIpv6);
    out.bytes(header.agentAddress6, 16);
  } else {
    assertIpv6(false);
    out.u32(kAddressTypeIpv4);
    out.u32(header.agentAddress);
  }
  out.u32(header.subAgentId);
  out.u32(header.sequence);
  out.u32(header.uptimeMs);
  out.u32(sampleCount_);
  return length_;
}

void DatagramWriter::clear(bool ipv6Agent) {
  headerLength_ = ipv6Agent ? kHeaderLength6 : kHeaderLength;
  length_ = headerLength_;
  sampleCount_ = 0;
}

void DatagramWriter::assertIpv6(bool ipv6Agent) const {
  if (ipv6Agent != (headerLength_ == kHeaderLength6)) {
    std::fprintf(stderr, "DatagramWriter: the agent address type changed within a datagram\n");
    std::abort();
  }
}

}  // namespace wendrel
