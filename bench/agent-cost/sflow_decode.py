"""Decoding of the datagrams the benchmark's collector stored.

Two readers: `decode_strict` accepts exactly the shape the agent sends (flow samples with one
raw-packet-header record, counter samples with the generic interface record and the port
name, every length and pad as the agent writes them; the drops field is the agent's running
count and is kept) and names the first thing that differs; `decode_generic` walks any
well-formed sFlow v5 datagram (the peer agent also sends other records) and keeps its flow
and counter samples. `classify` and `probe_number` tell the benchmark's own frames apart in
the sampled headers.
"""

import struct

MAX_AGENT_DATAGRAM = 1300


class Malformed(Exception):
    pass


class Sample:
    __slots__ = ("sequence", "source_id", "rate", "pool", "frame_length", "header", "drops")

    def __init__(self, sequence, source_id, rate, pool, frame_length, header, drops=0):
        self.sequence = sequence
        self.source_id = source_id
        self.rate = rate
        self.pool = pool
        self.frame_length = frame_length
        self.header = header
        self.drops = drops


# The generic interface counters record, word by word (64-bit counters as one field).
INTERFACE_FIELDS = ("if_index", "if_type", "speed", "direction", "status", "in_octets",
                    "in_unicast", "in_multicast", "in_broadcast", "in_discards", "in_errors",
                    "in_unknown_protos", "out_octets", "out_unicast", "out_multicast",
                    "out_broadcast", "out_discards", "out_errors", "promiscuous")
_INTERFACE_FORMAT = ">IIQIIQIIIIIIQIIIIII"  # 88 bytes
GENERIC_INTERFACE = 1
PORT_NAME = 1005


class CounterSample:
    """One counter sample: its sequence and source id, the generic interface counters (None
    when the sample has no such record) and the port name (None when absent)."""
    __slots__ = ("sequence", "source_id", "interface", "name")

    def __init__(self, sequence, source_id, interface, name):
        self.sequence = sequence
        self.source_id = source_id
        self.interface = interface
        self.name = name


class Datagram:
    __slots__ = ("size", "sequence", "agent", "samples", "counters")

    def __init__(self, size, sequence, agent, samples, counters=()):
        self.size = size
        self.sequence = sequence
        self.agent = agent
        self.samples = samples
        self.counters = list(counters)

    @property
    def counter_samples(self):
        return len(self.counters)


def read_records(path):
    """Yields the datagrams stored by agent_cost_collector (4-byte LE length, bytes)."""
    with open(path, "rb") as f:
        data = f.read()
    offset = 0
    while offset + 4 <= len(data):
        (length,) = struct.unpack_from("<I", data, offset)
        offset += 4
        yield data[offset:offset + length]
        offset += length


def _words(data, offset, count):
    if offset + 4 * count > len(data):
        raise Malformed("truncated at byte %d" % offset)
    return struct.unpack_from(">%dI" % count, data, offset)


def _port_name(data, offset, record_length):
    (length,) = _words(data, offset, 1)
    if 4 + length > record_length or offset + 4 + length > len(data):
        raise Malformed("port name of %d bytes in a record of %d" % (length, record_length))
    return data[offset + 4:offset + 4 + length].decode("utf-8", "replace"), length


def _strict_counters(data, offset):
    """The agent's counter sample at `offset` (its type word): two records, the generic
    interface counters and the port name, nothing else. Returns it and the offset after it."""
    (_sample_type, sample_length, sequence, source_id, records, record_type,
     record_length) = _words(data, offset, 7)
    if records != 2 or record_type != GENERIC_INTERFACE or record_length != 88:
        raise Malformed("counter records %d/%d/%d" % (records, record_type, record_length))
    if source_id >> 24:
        raise Malformed("counter source type %d" % (source_id >> 24))
    if offset + 28 + 88 > len(data):
        raise Malformed("truncated counter sample")
    interface = dict(zip(INTERFACE_FIELDS, struct.unpack_from(_INTERFACE_FORMAT, data, offset + 28)))
    name_offset = offset + 28 + 88
    name_type, name_record = _words(data, name_offset, 2)
    name, length = _port_name(data, name_offset + 8, name_record)
    pad = (4 - length % 4) % 4
    if name_type != PORT_NAME or length > 255 or name_record != 4 + length + pad:
        raise Malformed("port name record %d/%d/%d" % (name_type, name_record, length))
    if sample_length != 12 + 8 + 88 + 8 + name_record:
        raise Malformed("counter sample length %d" % sample_length)
    end = name_offset + 12 + length
    if end + pad > len(data):
        raise Malformed("truncated counter sample")
    if any(data[end:end + pad]):
        raise Malformed("non-zero pad")
    return CounterSample(sequence, source_id, interface, name), end + pad


def decode_strict(data):
    if len(data) > MAX_AGENT_DATAGRAM:
        raise Malformed("datagram of %d bytes" % len(data))
    version, address_type, agent, sub_agent, sequence, _uptime, count = _words(data, 0, 7)
    if version != 5 or address_type != 1 or sub_agent != 0:
        raise Malformed("header %d/%d/%d" % (version, address_type, sub_agent))
    offset = 28
    samples, counters = [], []
    for _ in range(count):
        if _words(data, offset, 1)[0] == 2:
            counter, offset = _strict_counters(data, offset)
            counters.append(counter)
            continue
        (sample_type, sample_length, sample_sequence, source_id, rate, pool, drops, input_if,
         output_if, records, record_type, record_length, protocol, frame_length, stripped,
         header_length) = _words(data, offset, 16)
        pad = (4 - header_length % 4) % 4
        if sample_type != 1 or records != 1 or record_type != 1 or protocol != 1:
            raise Malformed("sample kind %d/%d/%d/%d" % (sample_type, records, record_type, protocol))
        if input_if or output_if or source_id >> 16:
            raise Malformed("fixed sample fields not zero")
        if header_length > 128:
            raise Malformed("header length %d" % header_length)
        if sample_length != 56 + header_length + pad or record_length != 16 + header_length + pad:
            raise Malformed("lengths %d/%d for header %d" % (sample_length, record_length, header_length))
        if stripped > frame_length or header_length > frame_length - stripped:
            raise Malformed("stripped %d of %d with header %d" % (stripped, frame_length, header_length))
        start = offset + 64
        end = start + header_length
        if end + pad > len(data):
            raise Malformed("truncated sample")
        if any(data[end:end + pad]):
            raise Malformed("non-zero pad")
        samples.append(Sample(sample_sequence, source_id, rate, pool, frame_length, data[start:end], drops))
        offset = end + pad
    if offset != len(data):
        raise Malformed("%d trailing bytes" % (len(data) - offset))
    return Datagram(len(data), sequence, agent, samples, counters)


def decode_generic(data):
    version, address_type = _words(data, 0, 2)
    if version != 5 or address_type not in (1, 2):
        raise Malformed("header %d/%d" % (version, address_type))
    offset = 8 + (4 if address_type == 1 else 16)
    _sub_agent, sequence, _uptime, count = _words(data, offset, 4)
    agent = data[8:offset]
    offset += 16
    samples, counters = [], []
    for _ in range(count):
        sample_type, sample_length = _words(data, offset, 2)
        body = offset + 8
        end = body + sample_length
        if sample_length % 4 or end > len(data):
            raise Malformed("sample length %d" % sample_length)
        enterprise, fmt = sample_type >> 12, sample_type & 0xFFF
        if enterprise == 0 and fmt in (1, 3):
            if fmt == 1:
                sample_sequence, source_id, rate, pool, _drops, _in, _out, records = _words(data, body, 8)
                cursor = body + 32
            else:
                (sample_sequence, _type, source_id, rate, pool, _drops, _in_format, _in,
                 _out_format, _out, records) = _words(data, body, 11)
                cursor = body + 44
            frame_length, header = 0, b""
            for _ in range(records):
                record_type, record_length = _words(data, cursor, 2)
                if record_length % 4 or cursor + 8 + record_length > end:
                    raise Malformed("record length %d" % record_length)
                if record_type == 1:
                    _protocol, frame_length, _stripped, header_length = _words(data, cursor + 8, 4)
                    if 16 + header_length > record_length:
                        raise Malformed("header length %d" % header_length)
                    header = data[cursor + 24:cursor + 24 + header_length]
                cursor += 8 + record_length
            if cursor != end:
                raise Malformed("records do not fill the sample")
            samples.append(Sample(sample_sequence, source_id, rate, pool, frame_length, header))
        elif enterprise == 0 and fmt in (2, 4):
            if fmt == 2:
                sample_sequence, source_id, records = _words(data, body, 3)
                cursor = body + 12
            else:
                sample_sequence, _type, source_id, records = _words(data, body, 4)
                cursor = body + 16
            interface, name = None, None
            for _ in range(records):
                record_type, record_length = _words(data, cursor, 2)
                if record_length % 4 or cursor + 8 + record_length > end:
                    raise Malformed("record length %d" % record_length)
                if record_type == GENERIC_INTERFACE and record_length >= 88:
                    interface = dict(zip(INTERFACE_FIELDS,
                                         struct.unpack_from(_INTERFACE_FORMAT, data, cursor + 8)))
                elif record_type == PORT_NAME:
                    name, _ = _port_name(data, cursor + 8, record_length)
                cursor += 8 + record_length
            if cursor != end:
                raise Malformed("records do not fill the sample")
            counters.append(CounterSample(sample_sequence, source_id, interface, name))
        offset = end
    if offset != len(data):
        raise Malformed("%d trailing bytes" % (len(data) - offset))
    return Datagram(len(data), sequence, agent, samples, counters)


def classify(header, sender_mac, constant_addresses):
    """Which of the benchmark's classes a sampled header belongs to: "constant" (IPv4 with the
    constant flow's source and destination, 8 bytes), "ipv4", "ipv6", or None for a frame the
    benchmark did not send."""
    if header[6:12] != sender_mac or len(header) < 14:
        return None
    ether_type = header[12:14]
    if ether_type == b"\x86\xdd":
        return "ipv6"
    if ether_type != b"\x08\x00":
        return None
    return "constant" if header[26:34] == constant_addresses else "ipv4"


def probe_number(header, marker=b"WPRB"):
    """The number of a latency probe frame (IPv4/UDP, marker at the start of the payload), or
    None for any other frame."""
    if len(header) < 50 or header[12:14] != b"\x08\x00":
        return None
    payload = 14 + (header[14] & 0x0F) * 4 + 8
    if header[payload:payload + 4] != marker:
        return None
    return int.from_bytes(header[payload + 4:payload + 8], "big")
