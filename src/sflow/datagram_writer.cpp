#include "datagram_writer.h"

#include <algorithm>

#include "xdr_writer.h"

namespace wendrel {

namespace {

constexpr uint32_t kSflowVersion = 5;
constexpr uint32_t kAddressTypeIpv4 = 1;
constexpr uint32_t kFlowSample = 1;       // enterprise 0, format 1
constexpr uint32_t kRawPacketHeader = 1;  // enterprise 0, format 1
constexpr uint32_t kHeaderProtocolEthernet = 1;
constexpr uint32_t kCounterSample = 2;          // enterprise 0, format 2
constexpr uint32_t kGenericInterface = 1;       // enterprise 0, format 1
constexpr uint32_t kPortName = 1005;            // enterprise 0, format 1005
constexpr uint32_t kEthernetCsmaCd = 6;         // the ifType of every interface we capture
constexpr size_t kCounterSampleWords = 12;      // sequence, source id, record count
constexpr size_t kGenericInterfaceLength = 88;  // the record's fixed size
// A flow sample: 8 bytes of type and length, 32 of flow-sample words, 8 of record type and
// length, then the record's 16 fixed bytes and the padded header bytes.
constexpr size_t kTypeAndLength = 8;
constexpr size_t kFlowSampleWords = 32;
constexpr size_t kRecordFixedLength = 16;

size_t recordLength(const FlowSample& sample) {
  return kRecordFixedLength + XdrWriter::paddedSize(sample.headerLength);
}

size_t portNameLength(const CounterSample& sample) {
  return std::min(sample.nameLength, DatagramWriter::kMaxPortName);
}

}  // namespace

size_t DatagramWriter::encodedSize(const CounterSample& sample) {
  return kTypeAndLength + kCounterSampleWords + kTypeAndLength + kGenericInterfaceLength +
         kTypeAndLength + 4 + XdrWriter::paddedSize(portNameLength(sample));
}

void DatagramWriter::append(const CounterSample& sample) {
  const size_t name = portNameLength(sample);
  XdrWriter out(buffer_.data(), buffer_.size(), length_);
  out.u32(kCounterSample);
  out.u32(static_cast<uint32_t>(encodedSize(sample) - kTypeAndLength));
  out.u32(sample.sequence);
  out.u32(sample.sourceId);
  out.u32(2);  // number of counter records
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
  return kTypeAndLength + kFlowSampleWords + kTypeAndLength + recordLength(sample);
}

void DatagramWriter::append(const FlowSample& sample) {
  const size_t record = recordLength(sample);
  XdrWriter out(buffer_.data(), buffer_.size(), length_);
  out.u32(kFlowSample);
  out.u32(static_cast<uint32_t>(encodedSize(sample) - kTypeAndLength));
  out.u32(sample.sequence);
  out.u32(sample.sourceId);
  out.u32(sample.samplingRate);
  out.u32(sample.samplePool);
  out.u32(sample.drops);
  out.u32(sample.inputInterface);
  out.u32(sample.outputInterface);
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
  XdrWriter out(buffer_.data(), kHeaderLength);
  out.u32(kSflowVersion);
  out.u32(kAddressTypeIpv4);
  out.u32(header.agentAddress);
  out.u32(header.subAgentId);
  out.u32(header.sequence);
  out.u32(header.uptimeMs);
  out.u32(sampleCount_);
  return length_;
}

void DatagramWriter::clear() {
  length_ = kHeaderLength;
  sampleCount_ = 0;
}

}  // namespace wendrel
