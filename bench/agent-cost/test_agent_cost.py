"""Checks of the benchmark's own pieces: the packets it injects (plain and mixed), the replay
of the agent's filter and counter, and the decoder that judges the datagrams and classifies
the samples. No root needed.

    python3 -m unittest discover -s bench/agent-cost -p 'test_*.py'

The sender checks use agent_cost_sender from $AGENT_COST_BUILD (default build-bench/).
"""

import importlib.machinery
import json
import os
import socket
import struct
import subprocess
import tempfile
import types
import unittest
from pathlib import Path

import sflow_decode

HERE = Path(__file__).resolve().parent
SENDER_MAC = bytes([0x02, 0x77, 0x63, 0x00, 0x00, 0x01])
# The runner itself (a script without .py), for its constants.
_loader = importlib.machinery.SourceFileLoader("agent_cost_run", str(HERE / "run"))
RUN = types.ModuleType(_loader.name)
RUN.__file__ = _loader.path
_loader.exec_module(RUN)
BUILD = Path(os.environ.get("AGENT_COST_BUILD", HERE.parents[1] / "build-bench"))
SENDER = BUILD / "bench" / "agent-cost" / "agent_cost_sender"


def ones_complement_sum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total


def read_pcap(path):
    with open(path, "rb") as f:
        data = f.read()
    offset, frames = 24, []
    while offset < len(data):
        _, _, caplen, _ = struct.unpack_from("<4I", data, offset)
        frames.append(data[offset + 16:offset + 16 + caplen])
        offset += 16 + caplen
    return frames


@unittest.skipUnless(SENDER.exists(), "build agent_cost_sender first")
class SenderPackets(unittest.TestCase):
    def frames(self, seed, count=4000, mix=()):
        with tempfile.TemporaryDirectory() as work:
            path = Path(work) / "frames.pcap"
            subprocess.run([SENDER, "--pcap", path, "--count", str(count), "--seed", str(seed)] +
                           (["--mix", ",".join(mix)] if mix else []), check=True, capture_output=True)
            return read_pcap(path)

    def describe(self, configs, count, seed, mix=()):
        return json.loads(subprocess.run(
            [SENDER, "--describe", configs, "--count", str(count), "--seed", str(seed)] +
            (["--mix", ",".join(mix)] if mix else []), check=True, capture_output=True, text=True).stdout)

    def test_frames_are_valid_varied_and_reproducible(self):
        frames = self.frames(seed=3)
        self.assertEqual(frames, self.frames(seed=3))
        self.assertNotEqual(frames, self.frames(seed=4))
        sizes, sources, ids, checksum_bytes = set(), set(), set(), set()
        for frame in frames:
            self.assertTrue(64 <= len(frame) <= 1514)
            self.assertEqual(frame[12:14], b"\x08\x00")
            ip, udp = frame[14:34], frame[34:]
            self.assertEqual(ip[0], 0x45)
            self.assertEqual(struct.unpack("!H", ip[2:4])[0], len(frame) - 14)
            self.assertEqual(ones_complement_sum(ip), 0xFFFF, "IP header checksum")
            pseudo = ip[12:20] + struct.pack("!BBH", 0, 17, len(udp))
            self.assertEqual(struct.unpack("!H", udp[4:6])[0], len(udp))
            self.assertEqual(ones_complement_sum(pseudo + udp), 0xFFFF, "UDP checksum")
            sizes.add(len(frame))
            sources.add(ip[12:16])
            ids.add(ip[4:6])
            checksum_bytes.add(ip[11])
        # Varied enough that the checksum filter sees every low byte.
        self.assertGreater(len(sizes), 1000)
        self.assertGreater(len(sources), 3900)
        self.assertGreater(len(ids), 3800)
        self.assertEqual(len(checksum_bytes), 256)

    def test_describe_replays_the_filter_and_the_counter(self):
        count = 20000
        for mix in ((), RUN.CONSTANT_FLOWS["passes"]):
            frames = self.frames(seed=9, count=count, mix=mix)
            constant = b"".join(socket.inet_aton(a) for a in mix)
            described = self.describe("32:1,100:1,32:0,4:1", count, 9, mix)
            for config in described["configs"]:
                rate, step = config["rate"], config["step"]
                mask = step - 1
                # The filters pass IPv4 only.
                passed = [f for f in frames if f[12:14] == b"\x08\x00" and f[14 + 11] & mask == mask]
                counter, sampled = 0, {"ipv4": 0, "constant": 0, "ipv6": 0}
                for frame in passed:
                    counter = (counter + step) & 0xFFFF
                    if counter >= rate:
                        counter -= rate
                        sampled[sflow_decode.classify(frame[:128], SENDER_MAC, constant) if mix else "ipv4"] += 1
                self.assertEqual((config["passed"], config["sampled"], config["sampled_by_class"]),
                                 (len(passed), sum(sampled.values()), sampled), (mix, config))
            steps = {(c["rate"], c["performance"]): c["step"] for c in described["configs"]}
            self.assertEqual(steps, {(32, True): 16, (100, True): 64, (32, False): 1, (4, True): 2})

    def test_mixed_stream_classes(self):
        count = 20000
        for flow, (source, destination) in RUN.CONSTANT_FLOWS.items():
            frames = self.frames(seed=5, count=count, mix=(source, destination))
            self.assertEqual(frames, self.frames(seed=5, count=count, mix=(source, destination)))
            constant = socket.inet_aton(source) + socket.inet_aton(destination)
            classes = {"ipv4": [], "constant": [], "ipv6": []}
            for frame in frames:
                classes[sflow_decode.classify(frame[:128], SENDER_MAC, constant)].append(frame)
            counts = {k: len(v) for k, v in classes.items()}
            self.assertEqual(counts, self.describe("32:1", count, 5, (source, destination))["classes"])
            # About 20 / 70 / 10 %, each within 4 standard deviations of its binomial.
            for name, share in (("constant", 0.2), ("ipv4", 0.7), ("ipv6", 0.1)):
                self.assertLess(abs(counts[name] - count * share), 4 * (count * share * (1 - share)) ** 0.5, name)
            # One frame, byte for byte: IP id 0, DF, 1252 bytes, valid checksums; the
            # checksum's low byte decides the checksum filter, as the runner claims.
            self.assertEqual(len(set(classes["constant"])), 1)
            frame = classes["constant"][0]
            ip, udp = frame[14:34], frame[34:]
            self.assertEqual((ip[4:8], struct.unpack("!H", ip[2:4])[0], len(frame)), (b"\0\0\x40\0", 1252, 1266))
            self.assertEqual(ones_complement_sum(ip), 0xFFFF)
            self.assertEqual(ones_complement_sum(ip[12:20] + struct.pack("!BBH", 0, 17, len(udp)) + udp), 0xFFFF)
            low = ip[11]
            self.assertEqual(flow == "passes", low & 0x3F == 0x3F and low & 0x0F == 0x0F, hex(low))
            self.assertEqual(flow == "blocked", low & 0x0F != 0x0F, hex(low))
            # IPv6: varied sizes and addresses in 2001:db8::/32, valid mandatory UDP checksums.
            sources = set()
            for frame in classes["ipv6"]:
                ip6, udp = frame[14:54], frame[54:]
                self.assertEqual((ip6[0] >> 4, ip6[6], struct.unpack("!H", ip6[4:6])[0]), (6, 17, len(udp)))
                self.assertEqual((ip6[8:12], ip6[24:28]), (b"\x20\x01\x0d\xb8",) * 2)
                pseudo = ip6[8:40] + struct.pack("!IxxxB", len(udp), 17)
                self.assertEqual(ones_complement_sum(pseudo + udp), 0xFFFF)
                sources.add(ip6[8:24])
            self.assertGreater(len(sources), counts["ipv6"] * 0.99)


def flow_sample(sequence, header, frame_length=None, source=0, rate=32, pad_byte=0):
    frame_length = len(header) if frame_length is None else frame_length
    pad = (4 - len(header) % 4) % 4
    body = struct.pack("!8I", sequence, source, rate, rate * sequence, 0, 0, 0, 1)
    record = struct.pack("!4I", 1, frame_length, frame_length - len(header), len(header)) + header
    record += bytes([pad_byte] * pad)
    body += struct.pack("!2I", 1, len(record)) + record
    return struct.pack("!2I", 1, len(body)) + body


def datagram(samples, sequence=1):
    return struct.pack("!7I", 5, 1, 0x0A000005, 0, sequence, 5000, len(samples)) + b"".join(samples)


class StrictDecoder(unittest.TestCase):
    def test_accepts_the_agents_shape(self):
        frame = bytes(range(60))
        data = datagram([flow_sample(1, frame, source=2), flow_sample(2, bytes(70)),
                         flow_sample(3, bytes(128), frame_length=1514)])
        decoded = sflow_decode.decode_strict(data)
        self.assertEqual([s.sequence for s in decoded.samples], [1, 2, 3])
        self.assertEqual(decoded.samples[0].header, frame)
        self.assertEqual(decoded.samples[0].source_id, 2)
        self.assertEqual(decoded.samples[2].frame_length, 1514)
        # The test's encoder writes the agent's documented first sample of a 60-byte frame.
        expected = struct.pack("!16I", 1, 0x74, 1, 2, 32, 32, 0, 0, 0, 1, 1, 0x4C, 1, 60, 0, 60) + frame
        self.assertEqual(data[28:28 + 124], expected)

    def test_refuses_what_the_agent_never_sends(self):
        good = flow_sample(1, bytes(70))
        cases = {
            "non-zero pad": datagram([flow_sample(1, bytes(70), pad_byte=1)]),
            "trailing bytes": datagram([good]) + b"\0\0\0\0",
            "count too high": datagram([good])[:24] + struct.pack("!I", 2) + good,
            "over 1300 bytes": datagram([flow_sample(i, bytes(128)) for i in range(7)]),
            "wrong version": struct.pack("!I", 4) + datagram([good])[4:],
            "header over 128": datagram([flow_sample(1, bytes(132))]),
        }
        for name, data in cases.items():
            with self.subTest(name), self.assertRaises(sflow_decode.Malformed):
                sflow_decode.decode_strict(data)


def counter_sample(name=b"eth0.1", source=70000, name_pad=b"\0\0"):
    """The agent's counter sample as its golden-buffer test writes it, words and all."""
    words = struct.pack("!3I", 1, source, 2)
    words += struct.pack("!2I", 1, 88) + struct.pack("!8I", 5, 6, 2, 0x540BE400, 1, 3, 1, 0x23456789)
    words += struct.pack("!8I", 10, 11, 0xFFFFFFFF, 12, 13, 0xFFFFFFFF, 2, 1)
    words += struct.pack("!6I", 20, 0xFFFFFFFF, 0xFFFFFFFF, 21, 22, 1)
    words += struct.pack("!3I", 1005, 4 + len(name) + len(name_pad), len(name)) + name + name_pad
    return struct.pack("!2I", 2, len(words)) + words


class CounterSamples(unittest.TestCase):
    def test_strict_reads_the_agents_counter_sample_between_flow_samples(self):
        data = datagram([flow_sample(1, bytes(61)), counter_sample(), flow_sample(2, bytes(60))])
        self.assertEqual(len(counter_sample()), 136)  # the golden datagram's sample length 128 + 8
        for decode in (sflow_decode.decode_strict, sflow_decode.decode_generic):
            decoded = decode(data)
            self.assertEqual([s.sequence for s in decoded.samples], [1, 2])
            (counters,) = decoded.counters
            self.assertEqual((counters.sequence, counters.source_id, counters.name), (1, 70000, "eth0.1"))
            c = counters.interface
            self.assertEqual((c["if_index"], c["if_type"], c["speed"], c["direction"], c["status"]),
                             (5, 6, 10000000000, 1, 3))
            self.assertEqual((c["in_octets"], c["in_unicast"], c["in_unknown_protos"]),
                             (0x123456789, 10, 0xFFFFFFFF))
            self.assertEqual((c["out_octets"], c["out_errors"], c["promiscuous"]), (0x200000001, 22, 1))

    def test_strict_refuses_counter_samples_the_agent_never_sends(self):
        cases = {
            "non-zero pad": counter_sample(name_pad=b"\0\1"),
            "name not padded": counter_sample(name_pad=b""),
            "source type 1": counter_sample(source=(1 << 24) | 3),
        }
        for name, sample in cases.items():
            with self.subTest(name), self.assertRaises(sflow_decode.Malformed):
                sflow_decode.decode_strict(datagram([sample]))


class GenericDecoder(unittest.TestCase):
    def test_keeps_flow_and_counter_samples(self):
        counter = struct.pack("!2I", 2, 12) + struct.pack("!3I", 1, 0, 0)  # no records
        expanded_body = struct.pack("!11I", 7, 0, 3, 100, 700, 0, 0, 0, 0, 0, 1)
        record = struct.pack("!4I", 1, 64, 0, 64) + bytes(64)
        expanded_body += struct.pack("!2I", 1, len(record)) + record
        expanded = struct.pack("!2I", 3, len(expanded_body)) + expanded_body
        data = datagram([flow_sample(1, bytes(60)), counter, expanded])
        decoded = sflow_decode.decode_generic(data)
        self.assertEqual(decoded.counter_samples, 1)
        self.assertEqual([(s.sequence, s.rate) for s in decoded.samples], [(1, 32), (7, 100)])
        with self.assertRaises(sflow_decode.Malformed):
            sflow_decode.decode_generic(data[:-4])


if __name__ == "__main__":
    unittest.main()
