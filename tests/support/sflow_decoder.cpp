#include "sflow_decoder.h"

#include <cstring>
#include <map>
#include <stdexcept>

namespace wendrel::test {
namespace {

void require(bool ok, const std::string& why) {
  if (!ok)
    throw std::runtime_error(why);
}

// A bounded reader over one structure: running past its end, or a rule broken, throws why.
struct Cursor {
  const uint8_t* data;
  size_t size, at = 0;
  const uint8_t* take(size_t n) {
    require(size - at >= n, "truncated");
    return data + (at += n) - n;
  }
  uint32_t u32() {
    const uint8_t* p = take(4);
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
  }
  // `n` bytes and their padding up to a multiple of 4, which must be zero when `strict`.
  const uint8_t* opaque(size_t n, bool strict = true) {
    const uint8_t* p = take((n + 3) & ~size_t{3});
    for (size_t i = n; strict && i % 4 != 0; ++i)
      require(p[i] == 0, "non-zero padding");
    return p;
  }
  std::string string(size_t max, bool strict = true) {
    const uint32_t n = u32();
    require(n <= max || !strict, "a string of " + std::to_string(n) + " bytes");
    const uint8_t* p = opaque(n, strict);
    return std::string(p, p + n);
  }
  Cursor sub() {  // a length word, then that many bytes as a cursor of their own
    const uint32_t n = u32();
    return Cursor{take(n), n};
  }
  void end() const { require(at == size, "a structure longer than its fields"); }
};

void hostRecords(Cursor& in, DecodedHost& h) {
  // The records of fixed size: cpu, memory, disk and network.
  static const std::map<uint32_t, size_t> kFixed = {{2003, 68}, {2004, 72}, {2005, 52}, {2006, 40}};
  for (uint32_t i = 0, count = in.u32(); i < count; ++i) {
    const uint32_t type = in.u32();
    Cursor r = in.sub();
    if (type == 2000) {
      r.string(64), r.take(24), r.string(32);  // hostname, UUID, machine, OS, release
    } else if (type == 2001) {
      for (uint32_t a = 0, adapters = r.u32(); a < adapters; ++a) {
        auto& adapter = h.adapters.emplace_back();
        adapter.first = r.u32();
        for (uint32_t m = 0, macs = r.u32(); m < macs; ++m)
          std::memcpy(adapter.second.emplace_back().data(), r.opaque(6), 6);
      }
    } else {
      require(kFixed.count(type), "an unknown host record " + std::to_string(type));
      r.take(kFixed.at(type));
    }
    r.end();
  }
}

// One flow or counter sample. Strict, only what the agent writes: a flow sample of an
// interface with one raw packet header, an interface's counter sample with the generic record
// and the port name, or the host's with its records. Otherwise any record may come, and
// those not read are skipped.
void sample(Cursor& in, uint32_t format, DecodedDatagram& d, bool strict) {
  const bool flow = format == 1 || format == 3;
  require(flow || format == 2 || format == 4, "a sample of format " + std::to_string(format));
  DecodedSample s;
  DecodedCounters c;  // sequence and source id, expanded (3, 4) or compact
  s.format = c.format = format, s.sequence = c.sequence = in.u32();
  const uint32_t first = in.u32(), type = format >= 3 ? first : first >> 24;
  s.sourceIdIndex = c.sourceIdIndex = format >= 3 ? in.u32() : first & 0xFFFFFF;
  // A peer's source id as one word, class in the top byte.
  s.sourceId = c.sourceId = s.sourceIdIndex | (strict ? 0 : type << 24);
  if (strict && !flow && type == 2) {
    d.hosts.push_back({c.sequence, 2, c.sourceIdIndex, {}});
    return hostRecords(in, d.hosts.back());
  }
  require(type == 0 || !strict, "a source id not of an interface");
  if (flow) {
    s.samplingRate = in.u32(), s.samplePool = in.u32(), s.drops = in.u32();
    for (uint32_t* interface : {&s.inputInterface, &s.outputInterface}) {
      if (format == 3)
        require(in.u32() == 0 || !strict, "an interface format other than 0");
      *interface = in.u32();
    }
  }
  const uint32_t records = in.u32();
  require(records == (flow ? 1 : 2) || !strict, "not the records of the agent's samples");
  for (uint32_t i = 0; i < records; ++i) {
    const uint32_t kind = in.u32();
    Cursor r = in.sub();
    require(kind == (flow || i == 0 ? 1 : 1005) || !strict, "a record of another kind");
    if (flow && kind == 1) {
      require(r.u32() == 1 || !strict, "a header of another protocol than Ethernet");
      s.frameLength = r.u32(), s.stripped = r.u32();
      const uint32_t length = r.u32();
      require(length <= 128 || !strict, "header length over 128");
      const uint8_t* bytes = r.opaque(length, strict);
      s.header.assign(bytes, bytes + length);
    } else if (!flow && kind == 1 && r.size - r.at >= 88) {
      for (uint32_t& word : c.generic)
        word = r.u32();
      require(c.generic[1] == 6 || !strict, "not an Ethernet interface");
    } else if (!flow && kind == 1005) {
      c.name = r.string(255, strict);
    } else {
      require(!strict, "a record shorter than its fields");
      continue;
    }
    require(r.at == r.size || !strict, "a record longer than its fields");
  }
  flow ? d.samples.push_back(s) : d.counters.push_back(c);
}

}  // namespace

// The datagram's header and samples; a sample of a format not read is skipped, unless strict.
std::optional<DecodedDatagram> decodeDatagram(const uint8_t* data, size_t size, std::string* error,
                                              bool strict) {
  Cursor in{data, size};
  DecodedDatagram d;
  uint32_t i = 0, count = 0;
  try {
    require((size >= 28 && size <= 1300) || !strict,
            "a datagram of " + std::to_string(size) + " bytes");
    require(in.u32() == 5, "not sFlow version 5");
    const uint32_t type = d.agentAddressType = in.u32();
    require(type == 1 || type == 2, "an unknown agent address type");
    const size_t n = type == 1 ? 4 : 16;
    std::memcpy(type == 1 ? d.agentAddress.data() : d.agentAddress6.data(), in.opaque(n), n);
    in.u32();  // sub-agent id
    d.sequence = in.u32(), d.uptimeMs = in.u32();
    for (count = in.u32(); i < count; ++i) {
      const uint32_t format = in.u32();
      Cursor body = in.sub();
      if (strict || (format >= 1 && format <= 4))
        sample(body, format, d, strict), body.end();
    }
    require(in.at == size, "bytes after the last sample");
  } catch (const std::exception& e) {
    if (error)
      *error = (i < count ? "sample " + std::to_string(i + 1) + ": " : "") + e.what();
    return std::nullopt;
  }
  return d;
}

}  // namespace wendrel::test
