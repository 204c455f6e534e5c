"""What the agent-cost runners share: namespaces and processes removed again at the end, CPU
from schedstat and /proc/<pid>/stat, the agent's start and stop, and bench/tool's
wendrel_bench (frames, the receiver, the decoder's reading of the datagrams)."""

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

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
SENDER_MAC = bytes([0x02, 0x77, 0x63, 0x00, 0x00, 0x01])  # of every frame wendrel_bench sends
MARKER = b"WPRB"  # of its marked frames
AGENT_ADDRESS = "10.203.0.1"
COLLECTOR = ("127.0.0.1", 6343)
TICK_SECONDS = 1.0 / os.sysconf("SC_CLK_TCK")

def log(message):
    print("%s: %s" % ("agent-cost" if Path(sys.argv[0]).name == "run" else Path(sys.argv[0]).name, message),
          flush=True)


class Failure(Exception):
    pass


# ---------------------------------------------------------------------------------------
# Processes and namespaces, all removed again by Bench.cleanup.

class Bench:
    def __init__(self, args):
        self.args = args
        self.tag = str(os.getpid())
        self.agent_ns = "%s-a-%s" % (args.prefix, self.tag)
        self.traffic_ns = "%s-t-%s" % (args.prefix, self.tag)
        self.agent_if = "%sA%s" % (args.prefix, self.tag)
        self.traffic_if = "%sT%s" % (args.prefix, self.tag)
        self.namespaces = []
        self.processes = {}
        self.work = Path(tempfile.mkdtemp(prefix="wendrel-agent-cost."))
        self.build = Path(args.build_dir)
        self.tool = self.build / "bench" / "wendrel_bench"

    # -- processes ------------------------------------------------------------------------
    def in_ns(self, ns, *command, cpu=None):
        pin = ["taskset", "-c", str(cpu)] if cpu is not None and self.args.pin else []
        return ["ip", "netns", "exec", ns] + pin + [str(c) for c in command]

    # With --pin the contender gets one CPU to itself (as far as the host's other work
    # allows); the sender, whose softirqs also deliver every frame into the capture ring,
    # and the collector share the other.
    def agent_cmd(self, *command):
        return self.in_ns(self.agent_ns, *command, cpu=os.cpu_count() - 1)

    def traffic_cmd(self, ns, *command):
        return self.in_ns(ns, *command, cpu=0)

    def start(self, command, **kwargs):
        # `ip netns exec` execs the command, so the pid is the program's own.
        process = subprocess.Popen(command, **kwargs)
        self.processes[process.pid] = process
        return process

    def stop(self, process, sig=signal.SIGTERM, timeout=20.0):
        if process.poll() is None:
            process.send_signal(sig)
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            log("pid %d did not end within %.0f s of %s; killing it" % (process.pid, timeout, sig.name))
            process.kill()
            process.wait()
        self.processes.pop(process.pid, None)
        return process.returncode

    def ns_output(self, ns, *command, timeout=30, cpu=None):
        return subprocess.run(self.in_ns(ns, *command, cpu=cpu), check=True, capture_output=True,
                              text=True, timeout=timeout).stdout

    def stop_reading(self, process, sig=signal.SIGTERM, timeout=20.0):
        """Stops a process whose stdout is a pipe and returns what it printed."""
        process.send_signal(sig)
        try:
            out, _ = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            log("pid %d did not end within %.0f s of %s; killing it" % (process.pid, timeout, sig.name))
            process.kill()
            out, _ = process.communicate()
        self.processes.pop(process.pid, None)
        return process.returncode, out

    # -- namespaces -----------------------------------------------------------------------
    def create_network(self, namespaces=None, pairs=None):
        """Two namespaces (the agent's and the traffic's; IPv6 off before any interface exists,
        so that nothing moves unless the bench sends it) joined by veth pairs (agent end,
        traffic end), all up; the first agent end has the agent's address."""
        self.agent_ns, self.traffic_ns = namespaces or (self.agent_ns, self.traffic_ns)
        for ns in (self.agent_ns, self.traffic_ns):
            subprocess.run(["ip", "netns", "add", ns], check=True)
            self.namespaces.append(ns)
            for key in ("all", "default"):
                subprocess.run(self.in_ns(ns, "sysctl", "-qw", "net.ipv6.conf.%s.disable_ipv6=1" % key), check=True)
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
        for pid, process in list(self.processes.items()):
            if process.poll() is None:
                try:
                    process.terminate()
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
            self.processes.pop(pid, None)
        self.delete_network()
        if self.args.keep:
            log("kept the work directory %s" % self.work)
        else:
            shutil.rmtree(self.work, ignore_errors=True)

    # -- counters -------------------------------------------------------------------------
    def interface_counters(self, ns, dev):
        names = ("rx_packets", "rx_dropped", "tx_packets", "tx_dropped")
        text = self.ns_output(ns, "cat", *["/sys/class/net/%s/statistics/%s" % (dev, n) for n in names])
        return dict(zip(names, (int(v) for v in text.split())))

    def udp_counters(self):
        lines = [l.split() for l in self.ns_output(self.agent_ns, "cat", "/proc/net/snmp").splitlines()
                 if l.startswith("Udp:")]
        return dict(zip(lines[0][1:], (int(v) for v in lines[1][1:])))


def ip(*arguments, namespace=None, batch=None):
    command = ["ip"] + (["-n", namespace] if namespace else []) + (["-batch", "-"] if batch else [])
    subprocess.run(command + [str(a) for a in arguments], check=True, input=batch, text=True)


def process_tree(pid):
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    parents.setdefault(int(f.read().rsplit(")", 1)[1].split()[1]), []).append(int(entry))
            except (OSError, IndexError):
                pass
    tree, todo = [], [pid]
    while todo:
        p = todo.pop()
        tree.append(p)
        todo.extend(parents.get(p, []))
    return tree


def cpu_snapshot(pid, detail=None):
    """CPU used so far by a process and its children, all threads: (utime+stime seconds from
    /proc/<pid>/stat, on-CPU seconds from the threads' schedstat, which counts in ns). With a
    dict as `detail`, also each thread's on-CPU ns and context switches, by thread name."""
    ticks, nanoseconds = 0, 0
    for p in process_tree(pid):
        try:
            with open("/proc/%d/stat" % p) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            ticks += int(fields[11]) + int(fields[12])
            for task in os.listdir("/proc/%d/task" % p):
                with open("/proc/%d/task/%s/schedstat" % (p, task)) as f:
                    ns = int(f.read().split()[0])
                nanoseconds += ns
                if detail is not None:
                    with open("/proc/%d/task/%s/status" % (p, task)) as f:
                        status = dict(l.split(":", 1) for l in f.read().splitlines() if ":" in l)
                    name = "%s/%s" % (status["Name"].strip(), task)
                    detail[name] = (ns, int(status["voluntary_ctxt_switches"]) +
                                    int(status["nonvoluntary_ctxt_switches"]))
        except (OSError, IndexError, ValueError, KeyError):
            pass
    return ticks * TICK_SECONDS, nanoseconds * 1e-9


def thread_delta(before, after):
    """Per-thread CPU ms and context switches over a window, named without the thread id."""
    out = {}
    for name, (ns, switches) in after.items():
        ns0, switches0 = before.get(name, (0, 0))
        key = name.rsplit("/", 1)[0]
        ms, sw = out.get(key, (0.0, 0))
        out[key] = (round(ms + (ns - ns0) / 1e6, 2), sw + switches - switches0)
    return out


def wait_for(predicate, timeout, what, process=None):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        if process is not None and process.poll() is not None:
            raise Failure("%s: the process ended (status %s) before %s" % (what, process.returncode, what))
        time.sleep(0.05)
    raise Failure("timed out waiting for " + what)


def file_text(path):
    try:
        return Path(path).read_text(errors="replace")
    except OSError:
        return ""


# ---------------------------------------------------------------------------------------
# The contenders. Each knows how to start, when it is ready, how to stop, and what it says
# about its own capture.


class Wendrel:
    """The agent with a sampling method: "random" samples IPv4 and IPv6 (its defaults);
    "deterministic" is written with `Traffic = ipv4`, the former behaviour, which the
    sender's replay predicts exactly. `mix` (source, destination of the constant flow) makes
    the run inject the mixed stream."""
    kind = "wendrel"

    def __init__(self, rate, performance, method="deterministic", mix=None):
        self.rate, self.performance, self.method, self.mix = rate, performance, method, mix
        self.sampling_line = None  # the agent's own account, read at start
        self.key = "wendrel r%d %s %s" % (rate, "perf" if performance else "noperf", method)
        if mix:
            self.key += " mix " + mix[0]
        self.label = "wendrel, performance mode %s, %s" % ("on" if performance else "off", method)

    def start(self, bench, run_dir):
        self.launch(bench, run_dir,
                    'CollectorAddress = "%s"\nSamplingRate = %d\nPerformanceMode = %d\n'
                    'SamplingMethod = "%s"\nTraffic = "%s"\n'
                    # Counter samples (first one at a random time) would make the datagram count vary.
                    'CounterInterval = 0\nSourceId = "%s"\n'
                    % (COLLECTOR[0], self.rate, 1 if self.performance else 0, self.method,
                       "ipv4" if self.method == "deterministic" else "ip", bench.args.source_id))
        wait_for(lambda: "Starting capture" in file_text(self.log_path), 40, "wendrel to open its devices",
                 self.process)
        time.sleep(0.5)  # the capture threads are started right after that line
        found = re.search(r"Sampling 1 in .*", file_text(self.log_path))
        self.sampling_line = found.group(0) if found else None
        return self.process.pid

    def launch(self, bench, run_dir, settings):
        """Writes `settings` and a log configuration (TrafficLogger at DEBUG, for the capture
        statistics at stop) and starts the agent; returns its process."""
        root = bench.work / "root"
        binary = bench.work / "bin" / "wendrel"
        (root / "etc" / "wendrel").mkdir(parents=True, exist_ok=True)
        (root / "etc" / "wendrel" / "wendrel.conf").write_text(
            "# written by bench/agent-cost\n" + settings)
        self.log_path = run_dir / "wendrel.log"
        (binary.parent / "log4j.properties").write_text(
            "log4cplus.rootLogger=INFO, file\n"
            "log4cplus.logger.TrafficLogger=DEBUG\n"
            "log4cplus.appender.file=log4cplus::FileAppender\n"
            "log4cplus.appender.file.File=%s\n"
            "log4cplus.appender.file.layout=log4cplus::PatternLayout\n"
            "log4cplus.appender.file.layout.ConversionPattern=%%D{%%H:%%M:%%S.%%q} %%-5p %%c - %%m%%n\n"
            % self.log_path)
        env = dict(os.environ, WENDREL_ROOT=str(root))
        env.pop("NOTIFY_SOCKET", None)
        self.process = bench.start(bench.agent_cmd(binary), env=env,
                                   stdout=open(run_dir / "wendrel.out", "w"), stderr=subprocess.STDOUT)
        return self.process

    def stop(self, bench):
        status = bench.stop(self.process)
        text = file_text(self.log_path)
        stats = [(int(r), int(d)) for r, d in
                 re.findall(r"Capture statistics - Received: (\d+) Dropped: (\d+)", text)]
        return {
            "exit_status": status,
            "sampling_line": self.sampling_line,
            "devices": re.findall(r"Device (\S+) initialized successfully", text),
            "pcap_received": sum(r for r, _ in stats) if stats else None,
            "kernel_drops": sum(d for _, d in stats) if stats else None,
            "log_errors": len(re.findall(r" (?:ERROR|WARN) ", text)),
        }



def fmt(value, pattern="%.1f", none="n/a"):
    return none if value is None else pattern % value



def cpu_model():
    for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
        if line.startswith("Model name:"):
            return line.split(":", 1)[1].strip()
    return "unknown"



def write_readme(path, block, begin, end, before=None):
    """Replaces the block between the markers; a new block goes before the line `before`
    (or at the end)."""
    begin_block = begin + "\n" + block + end + "\n"
    text = Path(path).read_text() if Path(path).exists() else ""
    if begin in text and end in text:
        head, rest = text.split(begin, 1)
        tail = rest.split(end, 1)[1].lstrip("\n")
        text = head + begin_block + ("\n" + tail if tail else "")
    elif before and ("\n" + before) in text:
        head, tail = text.split("\n" + before, 1)
        text = head.rstrip("\n") + "\n\n" + begin_block + "\n" + before + tail
    else:
        text = (text.rstrip("\n") + "\n\n" if text else "## Agent cost (`bench/agent-cost/run`)\n\n") + begin_block
    Path(path).write_text(text)


# ---------------------------------------------------------------------------------------


def add_arguments(parser):
    """The options both runners take."""
    parser.add_argument("--build-dir", default=str(REPO / "build-bench"), help="build directory")
    parser.add_argument("--no-build", action="store_true", help="use the binaries already built")
    parser.add_argument("--source-id", default="index", choices=("index", "ifindex"),
                        help="the agent's SourceId setting (default index)")
    parser.add_argument("--readme", default=str(REPO / "bench" / "README.md"),
                        help="file whose figures block is rewritten")
    parser.add_argument("--no-readme", action="store_true", help="print the figures only")
    parser.add_argument("--keep", action="store_true", help="keep the work directory (logs, datagrams)")


def session(args, body):
    """Builds (Release, unless --no-build), then calls body(bench) with the agent registered in
    a work directory, and removes everything the run made, also on failure or a signal."""
    if os.geteuid() != 0:
        log("run as root (it creates network namespaces)")
        return 1
    if not args.no_build:
        log("building (Release) in %s" % args.build_dir)
        if not (Path(args.build_dir) / "build.ninja").exists():
            subprocess.run(["cmake", "-S", str(REPO), "-B", args.build_dir, "-G", "Ninja",
                            "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["ninja", "-C", args.build_dir, "-j2", "agent_cost"], check=True, stdout=subprocess.DEVNULL)
    bench = Bench(args)

    def on_signal(signo, _frame):
        raise SystemExit(128 + signo)

    for signo in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):  # SIGINT even when started ignored
        signal.signal(signo, on_signal)
    try:
        (bench.work / "bin").mkdir()
        shutil.copy2(bench.build / "wendrel", bench.work / "bin" / "wendrel")
        subprocess.run([bench.work / "bin" / "wendrel", "-RegServer"], check=True,
                       env=dict(os.environ, WENDREL_ROOT=str(bench.work / "root")))
        return body(bench)
    except Failure as e:
        log(str(e))
        return 1
    finally:
        bench.cleanup()


def publish(args, report, begin, end, before=None):
    print()
    print(report)
    if not args.no_readme:
        write_readme(args.readme, report, begin, end, before)
        log("figures written to %s" % args.readme)


def load_average():
    with open("/proc/loadavg") as f:
        return ", ".join(f.read().split()[:3])




def start_receiver(bench, path):
    """wendrel_bench's receiver on the agent side's 127.0.0.1:6343, storing into `path`."""
    process = bench.start(bench.in_ns(bench.agent_ns, bench.tool, "collect", COLLECTOR[0], COLLECTOR[1], path, cpu=0),
                          stdout=subprocess.PIPE, text=True)
    if process.stdout.readline().strip() != "ready":
        raise Failure("the receiver did not start")
    return process


def stop_receiver(bench, process):
    status, out = bench.stop_reading(process)
    lines = out.strip().splitlines()
    if status != 0 or not lines:
        raise Failure("the receiver ended with status %s" % status)
    return json.loads(lines[-1])


class Sample:
    """A flow sample as wendrel_bench decode prints it."""
    __slots__ = ("sequence", "source_id", "rate", "pool", "drops", "input", "output", "frame_length", "header")

    def __init__(self, fields):
        for name, value in zip(self.__slots__, fields):
            setattr(self, name, value)
        self.header = bytes.fromhex(self.header)


class Counters:
    __slots__ = ("sequence", "source_id", "if_index", "if_type", "status", "in_octets", "out_octets", "name")

    def __init__(self, fields):
        for name, value in zip(self.__slots__, fields):
            setattr(self, name, value)
        self.name = bytes.fromhex(self.name).decode("utf-8", "replace")


class Datagram:
    def __init__(self, line):
        self.at, self.size, self.malformed = line["at"], line["size"], line.get("malformed")
        self.sequence = line.get("sequence")
        self.samples = [Sample(s) for s in line.get("samples", ())]
        self.counters = [Counters(c) for c in line.get("counters", ())]


def decode(tool, path, offset=0, strict=True):
    """The datagrams stored by the receiver, read by the tests' decoder: in the agent's exact
    shape, or (not `strict`) any well-formed sFlow v5. Those from byte `offset` on; with the
    offset after the last complete one."""
    out = subprocess.run([str(tool), "decode", str(path), "--from", str(offset)] + ([] if strict else ["--any"]),
                         check=True, capture_output=True, text=True).stdout
    datagrams = [Datagram(json.loads(line)) for line in out.splitlines()]
    return datagrams, offset + sum(12 + d.size for d in datagrams)


def classify(header, constant_addresses):
    """Which of the bench's classes a sampled header belongs to: "constant" (IPv4 with the
    constant flow's source and destination, 8 bytes), "ipv4", "ipv6", or None for a frame the
    bench did not send."""
    if header[6:12] != SENDER_MAC or len(header) < 14:
        return None
    if header[12:14] == b"\x86\xdd":
        return "ipv6"
    if header[12:14] != b"\x08\x00":
        return None
    return "constant" if header[26:34] == constant_addresses else "ipv4"


def marked(header):
    """(try, number, send time in wall-clock ns) of a marked frame's sample, or None."""
    if len(header) < 60 or header[6:12] != SENDER_MAC or header[42:46] != MARKER:
        return None
    return (int.from_bytes(header[46:48], "big"), int.from_bytes(header[48:52], "big"),
            int.from_bytes(header[52:60], "big"))
