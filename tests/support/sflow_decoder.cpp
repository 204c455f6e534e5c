#include "sflow_decoder.h"

namespace wendrel::test {
namespace {

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool u32(uint32_t& out) {
    if (size_ - pos_ < 4) return false;
    out = uint32_t(data_[pos_]) << 24 | uint32_t(data_[pos_ + 1]) << 16 |
          uint32_t(data_[pos_ + 2]) << 8 | uint32_t(data_[pos_ + 3]);
    pos_ += 4;
    return true;
  }
  bool bytes(size_t n, const uint8_t*& out) {
    if (size_ - pos_ < n) return false;
    out = data_ + pos_;
    pos_ += n;
    return true;
  }
  size_t pos() const { return pos_; }
  size_t left() const { return size_ - pos_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

bool fail(std::string* error, const std::string& why) {
  if (error) *error = why;
  return false;
}

bool expect(Reader& r, uint32_t want, const char* field, std::string* error) {
  uint32_t got;
  if (!r.u32(got)) return fail(error, std::string("truncated at ") + field);
  if (got != want)
    return fail(error, std::string(field) + " is " + std::to_string(got) + ", expected " +
                           std::to_string(want));
  return true;
}

bool decodeSample(Reader& r, DecodedSample& s, std::string* error) {
  uint32_t sampleLength, recordLength, headerLength;
  if (!expect(r, 1, "sample type", error)) return false;
  if (!r.u32(sampleLength)) return fail(error, "truncated sample length");
  const size_t sampleStart = r.pos();
  if (!r.u32(s.sequence) || !r.u32(s.sourceId) || !r.u32(s.samplingRate) ||
      !r.u32(s.samplePool) || !r.u32(s.drops) || !r.u32(s.inputInterface) ||
      !r.u32(s.outputInterface))
    return fail(error, "truncated flow sample");
  if (!expect(r, 1, "record count", error) || !expect(r, 1, "record type", error)) return false;
  if (!r.u32(recordLength)) return fail(error, "truncated record length");
  const size_t recordStart = r.pos();
  if (!r.u32(s.headerProtocol) || !r.u32(s.frameLength) || !r.u32(s.stripped) ||
      !r.u32(headerLength))
    return fail(error, "truncated raw packet header");
  if (headerLength > 128) return fail(error, "header length over 128");
  const size_t pad = (4 - headerLength % 4) % 4;
  const uint8_t* bytes;
  if (!r.bytes(headerLength + pad, bytes)) return fail(error, "truncated header bytes");
  for (size_t i = 0; i < pad; ++i)
    if (bytes[headerLength + i] != 0) return fail(error, "non-zero padding");
  s.header.assign(bytes, bytes + headerLength);
  if (r.pos() - recordStart != recordLength) return fail(error, "record length mismatch");
  if (r.pos() - sampleStart != sampleLength) return fail(error, "sample length mismatch");
  return true;
}

}  // namespace

std::optional<DecodedDatagram> decodeDatagram(const uint8_t* data, size_t size,
                                              std::string* error) {
  if (size > 1300) {
    fail(error, "datagram over 1300 bytes");
    return std::nullopt;
  }
  Reader r(data, size);
  DecodedDatagram d;
  uint32_t address, count;
  if (!r.u32(d.version) || !r.u32(d.agentAddressType) || !r.u32(address) ||
      !r.u32(d.subAgentId) || !r.u32(d.sequence) || !r.u32(d.uptimeMs) || !r.u32(count)) {
    fail(error, "truncated datagram header");
    return std::nullopt;
  }
  if (d.version != 5 || d.agentAddressType != 1) {
    fail(error, "not an sFlow v5 datagram with an IPv4 agent");
    return std::nullopt;
  }
  d.agentAddress = {uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8),
                    uint8_t(address)};
  for (uint32_t i = 0; i < count; ++i) {
    DecodedSample s;
    if (!decodeSample(r, s, error)) return std::nullopt;
    d.samples.push_back(std::move(s));
  }
  if (r.left() != 0) {
    fail(error, "bytes after the last sample");
    return std::nullopt;
  }
  return d;
}

}  // namespace wendrel::test
