"""Checks of the benchmark's own pieces: the packets it injects and the decoder that judges
the datagrams. No root needed.

    python3 -m unittest discover -s bench/agent-cost -p 'test_*.py'

The sender checks use agent_cost_sender from $AGENT_COST_BUILD (default build-bench/).
"""

import json
import os
import struct
import subprocess
import tempfile
import unittest
from pathlib import Path

import sflow_decode

HERE = Path(__file__).resolve().parent
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
    def frames(self, seed, count=4000):
        with tempfile.TemporaryDirectory() as work:
            path = Path(work) / "frames.pcap"
            subprocess.run([SENDER, "--pcap", path, "--count", str(count), "--seed", str(seed)],
                           check=True, capture_output=True)
            return read_pcap(path)

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
        frames = self.frames(seed=9, count=count)
        described = json.loads(subprocess.run(
            [SENDER, "--describe", "32:1,100:1,32:0,4:1", "--count", str(count), "--seed", "9"],
            check=True, capture_output=True, text=True).stdout)
        for config in described["configs"]:
            rate, step = config["rate"], config["step"]
            mask = step - 1
            passed = [f for f in frames if f[14 + 11] & mask == mask]
            counter, sampled = 0, 0
            for _ in passed:
                counter = (counter + step) & 0xFFFF
                if counter >= rate:
                    counter -= rate
                    sampled += 1
            self.assertEqual((config["passed"], config["sampled"]), (len(passed), sampled), config)
        steps = {(c["rate"], c["performance"]): c["step"] for c in described["configs"]}
        self.assertEqual(steps, {(32, True): 16, (100, True): 64, (32, False): 1, (4, True): 2})


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
