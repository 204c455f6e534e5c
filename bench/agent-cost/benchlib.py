"""What the runners share: namespaces and processes removed again at the end, CPU from
schedstat and /proc/<pid>/stat, the agent's start and stop, wendrel_bench (frames, the
receiver, the decoder's reading of the datagrams) and the figures' tables."""

import argparse
import collections
import datetime
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
SENDER_MAC = bytes([0x02, 0x77, 0x63, 0x00, 0x00, 0x01])  # of every frame wendrel_bench sends
MARKER = b"WPRB"  # of its marked frames
AGENT_ADDRESS = "10.203.0.1"
COLLECTOR = ("127.0.0.1", 6343)
TICK_SECONDS = 1.0 / os.sysconf("SC_CLK_TCK")


def log(message):
    print("%s: %s" % (Path(sys.argv[0]).name, message), flush=True)


class Failure(Exception):
    pass


class Bench:
    """Processes and namespaces of one run, all removed again by cleanup."""

    def __init__(self, args, prefix):
        self.args, self.prefix, self.tag = args, prefix, str(os.getpid())
        self.agent_if, self.traffic_if = "%sA%s" % (prefix, self.tag), "%sT%s" % (prefix, self.tag)
        self.namespaces, self.processes = [], {}
        self.work = Path(tempfile.mkdtemp(prefix="wendrel-bench."))
        self.build = Path(args.build_dir)
        self.tool = self.build / "bench" / "wendrel_bench"

    def in_ns(self, ns, *command):
        return ["ip", "netns", "exec", ns] + [str(c) for c in command]

    def start(self, command, ready=None, **kwargs):
        """Starts a process; with `ready`, waits for that first line on its stdout (a pipe)."""
        # `ip netns exec` execs the command, so the pid is the program's own.
        process = subprocess.Popen(command, **(dict(stdout=subprocess.PIPE, text=True) if ready else {}), **kwargs)
        self.processes[process.pid] = process
        if ready and process.stdout.readline().strip() != ready:
            raise Failure("%s did not start" % " ".join(map(str, command[4:6])))
        return process

    def stop(self, process, sig=signal.SIGTERM, timeout=20.0):
        """Signals a process, waits for it and returns (status, what it printed to a pipe)."""
        if process.poll() is None:
            process.send_signal(sig)
        try:
            out, _ = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            log("pid %d did not end within %.0f s of %s; killing it" % (process.pid, timeout, sig.name))
            process.kill()
            out, _ = process.communicate()
        self.processes.pop(process.pid, None)
        return process.returncode, out

    def output(self, ns, *command, timeout=30):
        return subprocess.run(self.in_ns(ns, *command), check=True, capture_output=True, text=True,
                              timeout=timeout).stdout

    def create_network(self, pairs=None, suffix=""):
        """Two namespaces (the agent's and the traffic's; IPv6 off before any interface exists,
        so that nothing moves unless the bench sends it) joined by veth pairs (agent end,
        traffic end), all up; the first agent end has the agent's address."""
        self.agent_ns, self.traffic_ns = ("%s-%s-%s%s" % (self.prefix, side, self.tag, suffix) for side in "at")
        for ns in (self.agent_ns, self.traffic_ns):
            subprocess.run(["ip", "netns", "add", ns], check=True)
            self.namespaces.append(ns)
            subprocess.run(self.in_ns(ns, "sysctl", "-qw", "net.ipv6.conf.all.disable_ipv6=1",
                                      "net.ipv6.conf.default.disable_ipv6=1"), check=True)
            ip("link", "set", "lo", "up", namespace=ns)
        pairs = pairs or [(self.agent_if, self.traffic_if)]
        ip(batch="".join("link add %s netns %s type veth peer name %s netns %s\n"
                         % (a, self.agent_ns, t, self.traffic_ns) for a, t in pairs))
        ip(namespace=self.agent_ns, batch="addr add %s/24 dev %s\n" % (AGENT_ADDRESS, pairs[0][0]) +
           "".join("link set %s up\n" % a for a, _ in pairs))
        ip(namespace=self.traffic_ns, batch="".join("link set %s up\n" % t for _, t in pairs))

    def delete_network(self):
        for ns in self.namespaces:
            subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL)
        self.namespaces = []

    def cleanup(self):
        for process in list(self.processes.values()):
            self.stop(process, timeout=5)
        self.delete_network()
        if self.args.keep:
            log("kept the work directory %s" % self.work)
        else:
            shutil.rmtree(self.work, ignore_errors=True)

    def received_frames(self):
        return int(self.output(self.agent_ns, "cat", "/sys/class/net/%s/statistics/rx_packets" % self.agent_if))

    def receiver(self, *path_or_check):
        """wendrel_bench's receiver on the agent side's 127.0.0.1:6343, storing into a file or
        (--check) keeping the soak's account."""
        return self.start(self.in_ns(self.agent_ns, self.tool, "collect", *COLLECTOR, *path_or_check), ready="ready")

    def run(self, name):
        """A directory for one run, and a receiver storing into its datagrams.bin."""
        (self.work / name).mkdir(parents=True)
        return self.work / name, self.receiver(self.work / name / "datagrams.bin")

    def describe(self, configs, count, mix=None):
        """What each (rate, performance mode)'s filter (the agent's own) and counter make of the stream."""
        return json.loads(subprocess.run(
            [str(self.tool), "describe", ",".join("%d:%d" % c for c in configs), "--count", str(count), "--seed",
             str(getattr(self.args, "seed", 1))] + (["--mix", ",".join(mix)] if mix else []),
            check=True, capture_output=True, text=True).stdout)

    def last_json(self, process, what):
        """Stops a wendrel_bench mode and reads the JSON line it printed last."""
        status, out = self.stop(process)
        lines = (out or "").strip().splitlines()
        if not lines:
            raise Failure("%s printed nothing (status %s)" % (what, status))
        return status, json.loads(lines[-1])


def ip(*arguments, namespace=None, batch=None):
    command = ["ip"] + (["-n", namespace] if namespace else []) + (["-batch", "-"] if batch else [])
    subprocess.run(command + [str(a) for a in arguments], check=True, input=batch, text=True)


def process_tree(pid):
    """The process and its descendants."""
    try:
        children = [int(c) for t in os.listdir("/proc/%d/task" % pid)
                    for c in Path("/proc/%d/task/%s/children" % (pid, t)).read_text().split()]
    except OSError:
        children = []
    return [pid] + [p for c in children for p in process_tree(c)]


def cpu_snapshot(pid, detail=None):
    """CPU used so far by a process and its children, all threads: (utime+stime seconds from
    /proc/<pid>/stat, on-CPU seconds from the threads' schedstat, which counts in ns). With a
    dict as `detail`, also each thread's on-CPU ns and context switches, by thread name."""
    ticks, nanoseconds = 0, 0
    for p in process_tree(pid):
        try:
            fields = Path("/proc/%d/stat" % p).read_text().rsplit(")", 1)[1].split()
            ticks += int(fields[11]) + int(fields[12])
            for task in os.listdir("/proc/%d/task" % p):
                ns = int(Path("/proc/%d/task/%s/schedstat" % (p, task)).read_text().split()[0])
                nanoseconds += ns
                if detail is not None:
                    status = dict(l.split(":", 1) for l in
                                  Path("/proc/%d/task/%s/status" % (p, task)).read_text().splitlines() if ":" in l)
                    detail["%s/%s" % (status["Name"].strip(), task)] = (
                        ns, int(status["voluntary_ctxt_switches"]) + int(status["nonvoluntary_ctxt_switches"]))
        except (OSError, IndexError, ValueError, KeyError):
            pass
    return ticks * TICK_SECONDS, nanoseconds * 1e-9


def thread_delta(before, after):
    """Per-thread CPU ms and context switches over a window, named without the thread id."""
    out = {}
    for name, (ns, switches) in after.items():
        ns0, switches0 = before.get(name, (0, 0))
        ms, sw = out.get(name.rsplit("/", 1)[0], (0.0, 0))
        out[name.rsplit("/", 1)[0]] = (round(ms + (ns - ns0) / 1e6, 2), sw + switches - switches0)
    return out


def wait_for(predicate, timeout, what=None, process=None):
    """True once `predicate` holds; after `timeout` s (or `process` ending) False, or a Failure naming `what`."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and (process is None or process.poll() is None):
        if predicate():
            return True
        time.sleep(0.05)
    if what:
        raise Failure("%s: not within %.0f s (process status %s)" % (what, timeout, process and process.poll()))
    return False


def footprint(pid):
    """RSS and its high-water mark (KiB), threads and open descriptors of a process."""
    fields = dict(l.split(":", 1) for l in Path("/proc/%d/status" % pid).read_text().splitlines() if ":" in l)
    return {"rss_kib": int(fields["VmRSS"].split()[0]), "hwm_kib": int(fields["VmHWM"].split()[0]),
            "threads": int(fields["Threads"]), "descriptors": len(os.listdir("/proc/%d/fd" % pid))}


def file_text(path):
    try:
        return Path(path).read_text(errors="replace")
    except OSError:
        return ""


class Wendrel:
    """The agent with a sampling method: "random" samples IPv4 and IPv6 (its defaults);
    "deterministic" is written with `Traffic = ipv4`, the former behaviour, which the
    sender's replay predicts exactly. `mix` (source, destination of the constant flow) makes
    the run inject the mixed stream. Counter samples are off unless asked for: one at a
    random moment would make the datagram count vary."""
    kind = "wendrel"

    def __init__(self, rate, performance, method="deterministic", mix=None, counter_interval=0, expected=None):
        self.rate, self.performance, self.method, self.mix = rate, performance, method, mix
        self.counter_interval, self.expected = counter_interval, expected  # the replay's account, if it predicts the run
        self.key = "wendrel r%d %s %s" % (rate, "perf" if performance else "noperf", method)
        self.key += " mix " + mix[0] if mix else ""

    def start(self, bench, run_dir, devices=1):
        """Writes the settings and a log configuration (TrafficLogger at DEBUG, for the capture
        statistics at stop), starts the agent and waits until it has opened `devices`."""
        root, binary = bench.work / "root", bench.work / "bin" / "wendrel"
        (root / "etc" / "wendrel").mkdir(parents=True, exist_ok=True)
        (root / "etc" / "wendrel" / "wendrel.conf").write_text(
            'CollectorAddress = "%s"\nSamplingRate = %d\nPerformanceMode = %d\nSamplingMethod = "%s"\n'
            'Traffic = "%s"\nCounterInterval = %d\nSourceId = "%s"\n'
            % (COLLECTOR[0], self.rate, self.performance, self.method,
               "ipv4" if self.method == "deterministic" else "ip", self.counter_interval, bench.args.source_id))
        self.log_path = run_dir / "wendrel.log"
        (binary.parent / "log4j.properties").write_text(
            "log4cplus.rootLogger=INFO, file\nlog4cplus.logger.TrafficLogger=DEBUG\nlog4cplus.appender.file=log4cplus::"
            "FileAppender\nlog4cplus.appender.file.File=%s\nlog4cplus.appender.file.layout=log4cplus::PatternLayout\n"
            "log4cplus.appender.file.layout.ConversionPattern=%%D{%%H:%%M:%%S.%%q} %%-5p %%c - %%m%%n\n" % self.log_path)
        env = dict(os.environ, WENDREL_ROOT=str(root))
        env.pop("NOTIFY_SOCKET", None)
        self.process = bench.start(bench.in_ns(bench.agent_ns, binary), env=env,
                                   stdout=open(run_dir / "wendrel.out", "w"), stderr=subprocess.STDOUT)
        wait_for(lambda: "Starting capture" in self.log() and len(self.opened()) >= devices, 60,
                 "wendrel to open %d devices" % devices, self.process)
        time.sleep(0.5)  # the capture threads are started right after that line
        return self.process.pid

    def log(self):
        return file_text(self.log_path)

    def opened(self):
        return re.findall(r"Device (\S+) initialized successfully", self.log())

    def stop(self, bench):
        status = bench.stop(self.process)[0]
        text = self.log()
        stats = [(int(r), int(d)) for r, d in re.findall(r"Capture statistics - Received: (\d+) Dropped: (\d+)", text)]
        return {"exit_status": status, "devices": self.opened(),
                "pcap_received": sum(r for r, _ in stats) if stats else None,
                "kernel_drops": sum(d for _, d in stats) if stats else None,
                "log_lines": sorted(set(re.findall(r" (?:ERROR|WARN) +(\S+ - .*)", text)))}


# ---------------------------------------------------------------------------------------
# The datagrams the receiver stored, through the tests' decoder.

Sample = collections.namedtuple("Sample", "sequence source_id rate pool drops input output frame_length header")
Counters = collections.namedtuple("Counters", "sequence source_id if_index if_type status in_octets out_octets name")
Datagram = collections.namedtuple("Datagram", "at size malformed sequence samples counters")


def decode(tool, path, offset=0, strict=True):
    """The datagrams stored by the receiver, read by the tests' decoder: in the agent's exact
    shape, or (not `strict`) any well-formed sFlow v5. Those from byte `offset` on; with the
    offset after the last complete one."""
    out = subprocess.run([str(tool), "decode", str(path), "--from", str(offset)] + ([] if strict else ["--any"]),
                         check=True, capture_output=True, text=True).stdout
    datagrams = [Datagram(d["at"], d["size"], d.get("malformed"), d.get("sequence"),
                          [Sample(*s[:-1], bytes.fromhex(s[-1])) for s in d.get("samples", ())],
                          [Counters(*c[:-1], bytes.fromhex(c[-1]).decode("utf-8", "replace")) for c in d.get("counters", ())])
                 for d in map(json.loads, out.splitlines())]
    return datagrams, offset + sum(12 + d.size for d in datagrams)


def classify(header, constant_addresses):
    """Which of the bench's classes a sampled header belongs to: "constant" (IPv4 with the
    constant flow's source and destination, 8 bytes), "ipv4", "ipv6", or None for a frame the
    bench did not send."""
    ipv4 = "constant" if header[26:34] == constant_addresses else "ipv4"
    return {b"\x08\x00": ipv4, b"\x86\xdd": "ipv6"}.get(header[12:14]) if header[6:12] == SENDER_MAC else None


def marked(datagrams, attempt):
    """(number, send time, arrival; wall-clock ns; source id) of the samples of try `attempt`'s marked frames."""
    return sorted((int.from_bytes(h[48:52], "big"), int.from_bytes(h[52:60], "big"), d.at, s.source_id)
                  for d in datagrams for s in d.samples for h in [s.header] if len(h) >= 60 and
                  h[6:12] == SENDER_MAC and h[42:46] == MARKER and int.from_bytes(h[46:48], "big") == attempt)


# ---------------------------------------------------------------------------------------
# Figures.

def fmt(value, pattern="%.1f", none="n/a"):
    return none if value is None else pattern % value


def mib(kib):
    return "%.1f MiB" % (kib / 1024.0)


def verdict(ok):
    return "met" if ok else "MISSED"


def table(headings, rows, cells):
    """A Markdown table: `headings` separated by " | ", one line per row of cells(row)."""
    return (["| %s |" % headings, "|" + "---|" * (headings.count("|") + 1)] +
            ["| %s |" % " | ".join(str(c) for c in cells(r)) for r in rows] + [""])


def measured(started, load_before, before="", after=""):
    model = next((l.split(":", 1)[1].strip() for l in subprocess.run(["lscpu"], capture_output=True, text=True)
                  .stdout.splitlines() if l.startswith("Model name:")), "unknown")
    return ["Measured %s UTC on \"%s\", %d CPUs, Linux %s; %sload average (1, 5, 15 min) %s before and %s after%s."
            % (started.strftime("%Y-%m-%d %H:%M"), model, os.cpu_count(), os.uname().release,
               before, load_before, load_average(), after), ""]


def load_average():
    return ", ".join(Path("/proc/loadavg").read_text().split()[:3])


def publish(args, lines, name):
    """Prints the figures and rewrites the README's block between its markers."""
    report = "\n".join(lines).rstrip("\n") + "\n"
    print("\n" + report)
    if not args.no_readme:
        path = REPO / "bench" / "README.md"
        begin = "<!-- %s figures: begin (written by bench/agent-cost/%s) -->\n" % (name, Path(sys.argv[0]).name)
        head, rest = path.read_text().split(begin, 1)
        path.write_text(head + begin + report + rest[rest.index("<!-- %s figures: end -->" % name):])
        log("figures written to %s" % path)


def parser(description):
    """The options every runner takes."""
    p = argparse.ArgumentParser(description=description.split("\n\n")[0])
    p.add_argument("--build-dir", default=str(REPO / "build-bench"), help="build directory")
    p.add_argument("--no-build", action="store_true", help="use the binaries already built")
    p.add_argument("--source-id", default="index", choices=("index", "ifindex"), help="the agent's SourceId")
    p.add_argument("--no-readme", action="store_true", help="print the figures only")
    p.add_argument("--keep", action="store_true", help="keep the work directory (logs, datagrams)")
    return p


def session(args, prefix, body, build_type="Release"):
    """Builds (unless --no-build), then calls body(bench) with the agent registered in a work
    directory, and removes everything the run made, also on failure or a signal."""
    if os.geteuid() != 0:
        log("run as root (it creates network namespaces)")
        return 1
    if not args.no_build:
        log("building (%s) in %s" % (build_type, args.build_dir))
        if not (Path(args.build_dir) / "build.ninja").exists():
            subprocess.run(["cmake", "-S", str(REPO), "-B", args.build_dir, "-G", "Ninja", "-DWENDREL_BUILD_TESTS=OFF",
                            "-DCMAKE_BUILD_TYPE=" + build_type], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["ninja", "-C", args.build_dir, "-j2", "agent_cost"], check=True, stdout=subprocess.DEVNULL)
    bench = Bench(args, prefix)

    for signo in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):  # SIGINT even when started ignored
        signal.signal(signo, lambda number, _: sys.exit(128 + number))
    try:
        (bench.work / "bin").mkdir()
        shutil.copy2(getattr(args, "binary", None) or bench.build / "wendrel", bench.work / "bin" / "wendrel")
        subprocess.run([bench.work / "bin" / "wendrel", "-RegServer"], check=True,
                       env=dict(os.environ, WENDREL_ROOT=str(bench.work / "root")))
        return body(bench)
    except Failure as e:
        log(str(e))
        return 1
    finally:
        bench.cleanup()


def now():
    return datetime.datetime.now(datetime.timezone.utc)
