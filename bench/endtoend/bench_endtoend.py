#!/usr/bin/env python3
"""End-to-end benchmark of the terminal on a virtual display.

ingest: for each market size N, starts quote-server with N futures contracts
(one commodity each, so the "外盘" table on screen holds N rows) stepping at
--rate, and the real Quorvel on Xvfb; after a warm-up it reports, over the
measured window, the quotes per second the window handled, the refresh
timer's lateness (p95, max), the GUI thread's CPU share and that of the
terminal's other threads, the quote server's CPU share, the bytes left unread
in the terminal's socket (the server is ahead when they stay high) and the
process's RSS; also the whole process's CPU share and its threads' wake-ups
a second (with --rate 0, a frozen market: what a still board costs).

flood: the same board against a hostile quote-server (--flood KINDS) that, besides
its market steps, sends unasked quotes, depth, trades or K-line replies of
market and unknown codes as fast as the terminal reads them; it samples the
RSS every second (the run stops early past --rss-limit-mib) and reports the
largest and last RSS and the refresh timer's lateness over the run.

ingest --floor: the start-up floor (bench/startup) with the busy animation
of the terminal's status bar, its CPU share and wake-ups a second measured
as those of a still board: the least a still board can cost.

startup: starts the cloud service and quote-server with the built-in market,
launches Quorvel --launches times and reports how long each took from exec to
the event loop's first pass, beyond the start-up's fixed 2,500 ms of pauses.
With --floor it launches the start-up floor (bench/startup: the same
libraries, splash, pauses and a 5,000-row table, nothing of the terminal's
own) instead, from the same folder, and times it the same way.

Quote and lateness figures come from the TRACE line per 20 refresh ticks that
quorvel-refreshwatch (the program with a watch on its window's refresh timer
and quote signal, built beside it) writes to the program's log; ingest and
flood run it in place of Quorvel. The start-up end comes from the program's
DEBUG line; CPU time and RSS from /proc. All traffic stays on 127.0.0.1.
"""

import argparse
import datetime
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

FIXED_PAUSES_MS = 2500
TICK = 0.5
REFRESH_LINE = re.compile(
    r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \d{3}) \[TRACE\] .*refresh: (\d+) quotes in (\d+) ms; "
    r"ticks late \(ms\):([ \d]*)$")
STARTED_LINE = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \d{3}) \[DEBUG\] .*start-up done")


def log_time(stamp):
    day, clock, ms = stamp.split(" ")
    t = datetime.datetime.strptime(day + " " + clock, "%Y-%m-%d %H:%M:%S")
    return time.mktime(t.timetuple()) + int(ms) / 1000.0


def percentile(values, p):
    if not values:
        return float("nan")
    ordered = sorted(values)
    k = max(0, min(len(ordered) - 1, int(round(p / 100.0 * len(ordered) + 0.5)) - 1))
    return ordered[k]


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def cloud_port(build):
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("QUORVEL_CLOUD_BASE_URL"):
                return int(line.strip().rstrip("/").rsplit(":", 1)[1])
    raise SystemExit("no QUORVEL_CLOUD_BASE_URL in the build's CMakeCache.txt")


class Log:
    """The lines the program appends to today's log beside its executable."""

    def __init__(self, build):
        self.folder = os.path.join(build, "bin", "Logs")
        self.offsets = {}
        for path in self.files():
            self.offsets[path] = os.path.getsize(path)

    def files(self):
        if not os.path.isdir(self.folder):
            return []
        return [os.path.join(self.folder, n) for n in os.listdir(self.folder) if n.endswith(".log")]

    def new_lines(self):
        lines = []
        for path in self.files():
            start = self.offsets.get(path, 0)
            with open(path, "rb") as f:
                f.seek(start)
                data = f.read()
            self.offsets[path] = start + len(data)
            lines += data.decode("utf-8", "replace").splitlines()
        return lines


SERVER = None  # the quote-server program; the build's own unless --server says otherwise
STATS_LINE = re.compile(r"^stats: quotes pushed (\d+) held back (\d+) flooded (\d+)$")


def start_quote_server(build, work, args):
    out = open(os.path.join(work, "quote-server.out"), "w+")
    program = SERVER or os.path.join(build, "bin", "quote-server")
    proc = subprocess.Popen([program, "--port", "0", "--stats"] + args, stdout=out, stderr=subprocess.STDOUT)
    for _ in range(200):
        out.seek(0)
        first = out.readline()
        if first.strip().isdigit():
            return proc, int(first)
        time.sleep(0.05)
    proc.kill()
    raise SystemExit("quote-server did not start; see " + out.name)


def server_counts(work, flooded=False):
    """The quote server's latest totals: quotes pushed and held back (for a client too far
    behind), or with `flooded` the unasked pushes of --flood."""
    pushed = held = flood_total = None
    with open(os.path.join(work, "quote-server.out")) as f:
        for line in f:
            m = STATS_LINE.match(line.strip())
            if m:
                pushed, held, flood_total = int(m.group(1)), int(m.group(2)), int(m.group(3))
    return flood_total if flooded else (pushed, held)


def start_cloud(build, work, source):
    # The demo content names its pictures at the default port; here they are
    # served by this service, at the build's port.
    port = cloud_port(build)
    content = os.path.join(work, "content")
    shutil.rmtree(content, ignore_errors=True)
    shutil.copytree(os.path.join(source, "standins", "cloud-server", "demo"), content)
    for name in os.listdir(content):
        path = os.path.join(content, name)
        if name.endswith(".json"):
            with open(path) as f:
                text = f.read()
            with open(path, "w") as f:
                f.write(text.replace("https://127.0.0.1:18443/", "https://127.0.0.1:%d/" % port))
    out = open(os.path.join(work, "cloud-server.out"), "w")
    proc = subprocess.Popen([os.path.join(build, "bin", "cloud-server"), "--port", str(port),
                             # The build trusts the certificate kept there (QUORVEL_CLOUD_CA_FILE).
                             "--data", os.path.join(build, "cloud-data"), "--content", content],
                            stdout=out, stderr=subprocess.STDOUT)
    for _ in range(100):
        if os.path.getsize(out.name) > 0:
            break
        time.sleep(0.05)
    return proc


def write_config(folder, port):
    with open(os.path.join(folder, "TradeConfig.xml"), "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<root>\n'
                '  <Quote name="local" ip="127.0.0.1" port="%d" username="demo" password="demo"/>\n'
                '  <LeanCloud id="demoAppId" key="demoAppKey" productID="quorvel-demo" channelName="official"\n'
                '             trigger_time="3600" reg_class="demo"/>\n</root>\n' % port)


def program_folder(build, work):
    """A working folder of the program's own: its configuration and a link to the pictures."""
    folder = os.path.join(work, "run")
    os.makedirs(folder, exist_ok=True)
    link = os.path.join(folder, "Resources")
    if not os.path.exists(link):
        os.symlink(os.path.join(build, "bin", "Resources"), link)
    return folder


def write_market(path, contracts, exchanges=7):
    commodities = []
    for i in range(contracts):
        commodities.append({"security_type": "FO", "exchange_no": "EX%d" % (i % exchanges),
                            "exchange_name": "EX%d" % (i % exchanges), "commodity_no": "B%d" % i,
                            "commodity_name": "B%d" % i, "price": 50 + i % 97,
                            "contract_no_list": [{"contract_no": "2701", "flags": 1}]})
    with open(path, "w") as f:
        json.dump({"commodities": commodities}, f)


def thread_cpu_seconds(pid, tid):
    with open("/proc/%d/task/%d/stat" % (pid, tid)) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def process_cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wakeups(pid):
    """Times the process's threads went to sleep so far (their voluntary context switches):
    each is later a wake-up. Threads that ended are not counted."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def thread_wakeups(pid):
    """Voluntary context switches so far by thread name (threads of one name summed)."""
    counts = {}
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/comm" % (pid, task)) as f:
                name = f.read().strip()
            with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches:"):
                        counts[name] = counts.get(name, 0) + int(line.split()[1])
        except OSError:
            pass
    return counts


def unread_kib(server_port):
    """Bytes from the quote server that wait unread in the terminal's socket: when they stay
    high, the terminal rather than the server sets the pace (the server then drops pushes)."""
    total = 0
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            if int(fields[2].split(":")[1], 16) == server_port:
                total += int(fields[4].split(":")[1], 16)
    return total / 1024.0


def rss_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def stop(proc):
    if proc and proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def wait_started(log, proc, deadline):
    while time.time() < deadline:
        for line in log.new_lines():
            m = STARTED_LINE.match(line)
            if m:
                return log_time(m.group(1))
        if proc.poll() is not None:
            return None
        time.sleep(0.01)
    return None


def refresh_figures(lines, since, until):
    """Quotes the window handled, the span they cover and each tick's lateness, from the
    TRACE lines whose 20 ticks lie between the two times."""
    quotes, span_ms, late = 0, 0, []
    for line in lines:
        m = REFRESH_LINE.match(line)
        if not m:
            continue
        at = log_time(m.group(1))
        if at < since + 20 * TICK - 0.5 or at > until + 0.5:
            continue  # the line covers ticks from before the window
        quotes += int(m.group(2))
        span_ms += int(m.group(3))
        late += [int(v) for v in m.group(4).split()]
    return quotes, span_ms, late


def start_board(build, work, env, contracts, args, server_args):
    """A quote server with a market of `contracts` futures and the terminal against it.
    Returns the server, its port, the terminal's log and the terminal (None when it did
    not start); the caller stops both."""
    market = os.path.join(work, "market-%d.json" % contracts)
    write_market(market, contracts)
    server, port = start_quote_server(build, work, ["--rate", str(args.rate), "--moves", str(args.moves),
                                                    "--market", market] + server_args)
    folder = program_folder(build, work)
    write_config(folder, port)
    log = Log(build)
    program = None
    try:
        program = subprocess.Popen([os.path.join(build, "bin", "quorvel-refreshwatch")], cwd=folder, env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    finally:
        if program is None:
            stop(server)
    if wait_started(log, program, time.time() + 60) is None:
        stop(program)
        program = None
    return server, port, log, program


def ingest(build, work, env, contracts, args):
    server, port, log, program = start_board(build, work, env, contracts, args, [])
    try:
        if program is None:
            return {"contracts": contracts, "error": "Quorvel did not start"}
        time.sleep(args.warmup)
        log.new_lines()
        load = load_average()
        cpu0, wall0 = thread_cpu_seconds(program.pid, program.pid), time.time()
        all0, server0 = process_cpu_seconds(program.pid), process_cpu_seconds(server.pid)
        wakes0, per_thread0 = wakeups(program.pid), thread_wakeups(program.pid)
        pushed0, held0 = server_counts(work)
        time.sleep(args.seconds)
        cpu1, wall1 = thread_cpu_seconds(program.pid, program.pid), time.time()
        all1, server1 = process_cpu_seconds(program.pid), process_cpu_seconds(server.pid)
        wakes1, per_thread1 = wakeups(program.pid), thread_wakeups(program.pid)
        pushed1, held1 = server_counts(work)
        rss = rss_mib(program.pid)
        unread = unread_kib(port)
        # The line that closes the window's last 20 ticks may come up to 10 s later.
        quotes, span_ms, late = refresh_figures(log.new_lines(), wall0, wall1)
        result = {"contracts": contracts, "load": load, "unread_kib": unread,
                  "rss_mib": rss, "exited": program.poll() is not None,
                  # With --rate 0 (a frozen market), what a still board costs.
                  "cpu_pct": 100.0 * (all1 - all0) / (wall1 - wall0),
                  "wakeups_per_s": (wakes1 - wakes0) / (wall1 - wall0),
                  "wakeups_per_s_by_thread": {name: round((count - per_thread0.get(name, 0)) / (wall1 - wall0), 1)
                                              for name, count in per_thread1.items()}}
        result.update(run_figures(late, quotes, span_ms, (wall0, wall1), (cpu0, cpu1), (all0, all1),
                                  (server0, server1)))
        if pushed0 is not None and pushed1 is not None:
            result["offered_per_s"] = ((pushed1 + held1) - (pushed0 + held0)) / (wall1 - wall0)
            result["sent_per_s"] = (pushed1 - pushed0) / (wall1 - wall0)
        if not late or not span_ms:
            result["error"] = "no refresh samples"
        return result
    finally:
        stop(program)
        stop(server)


def run_figures(late, quotes, span_ms, wall, gui_cpu, all_cpu, server_cpu):
    """The refresh and CPU figures that ingest and flood runs share; each pair is (start, end)."""
    seconds = wall[1] - wall[0]
    gui = gui_cpu[1] - gui_cpu[0]
    return {"ticks": len(late), "late_p95_ms": percentile(late, 95), "late_max_ms": max(late) if late else 0,
            "gui_cpu_pct": 100.0 * gui / seconds,
            "other_threads_cpu_pct": 100.0 * ((all_cpu[1] - all_cpu[0]) - gui) / seconds,
            "server_cpu_pct": 100.0 * (server_cpu[1] - server_cpu[0]) / seconds,
            # What the window's quote handler was called for; under a backlog the quotes
            # of a contract that a later one replaced before the GUI thread took them
            # are not among them.
            "window_quotes_per_s": quotes / (span_ms / 1000.0) if span_ms else 0}


def flood(build, work, env, contracts, args):
    server, port, log, program = start_board(build, work, env, contracts, args, ["--flood", args.flood])
    try:
        if program is None:
            return {"contracts": contracts, "flood": args.flood, "error": "Quorvel did not start"}
        load = load_average()
        cpu0, wall0 = thread_cpu_seconds(program.pid, program.pid), time.time()
        all0, server0 = process_cpu_seconds(program.pid), process_cpu_seconds(server.pid)
        flooded0 = server_counts(work, flooded=True) or 0
        rss, stopped = [], None
        while time.time() < wall0 + args.seconds:
            time.sleep(1)
            if program.poll() is not None:
                stopped = "the terminal ended"
                break
            rss.append(rss_mib(program.pid))
            if rss[-1] > args.rss_limit_mib:
                stopped = "RSS over %d MiB" % args.rss_limit_mib
                break
        wall1 = time.time()
        alive = program.poll() is None
        cpu1 = thread_cpu_seconds(program.pid, program.pid) if alive else cpu0
        all1 = process_cpu_seconds(program.pid) if alive else all0
        server1 = process_cpu_seconds(server.pid)
        flooded1 = server_counts(work, flooded=True) or 0
        time.sleep(11 if stopped is None else 0)  # the TRACE line of the last ticks
        quotes, span_ms, late = refresh_figures(log.new_lines(), wall0, wall1)
        result = {"contracts": contracts, "flood": args.flood, "load": load, "seconds": round(wall1 - wall0),
                  "rss_max_mib": max(rss) if rss else float("nan"), "rss_last_mib": rss[-1] if rss else float("nan"),
                  "flooded_per_s": (flooded1 - flooded0) / (wall1 - wall0), "unread_kib": unread_kib(port),
                  "load_end": load_average()}
        result.update(run_figures(late, quotes, span_ms, (wall0, wall1), (cpu0, cpu1), (all0, all1),
                                  (server0, server1)))
        if stopped:
            result["stopped"] = stopped
        if not rss or not late:
            result["error"] = "no samples"
        return result
    finally:
        stop(program)
        stop(server)


def floor_idle(build, work, env, args):
    """The still board's floor: the start-up floor with its busy animation (--busy),
    measured as ingest measures the terminal with a frozen market."""
    folder = program_folder(build, work)
    program = subprocess.Popen([os.path.join(build, "bin", "startup_floor"), "--busy"], cwd=folder, env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        for line in program.stdout:
            if line.startswith("start-up done"):
                break
        else:
            return {"program": "startup_floor --busy", "error": "the floor did not start"}
        time.sleep(args.warmup)
        load = load_average()
        all0, wakes0, wall0 = process_cpu_seconds(program.pid), wakeups(program.pid), time.time()
        per_thread0 = thread_wakeups(program.pid)
        time.sleep(args.seconds)
        all1, wakes1, wall1 = process_cpu_seconds(program.pid), wakeups(program.pid), time.time()
        per_thread1 = thread_wakeups(program.pid)
        seconds = wall1 - wall0
        return {"program": "startup_floor --busy", "load": load,
                "cpu_pct": 100.0 * (all1 - all0) / seconds, "wakeups_per_s": (wakes1 - wakes0) / seconds,
                "wakeups_per_s_by_thread": {name: round((count - per_thread0.get(name, 0)) / seconds, 1)
                                            for name, count in per_thread1.items()}}
    finally:
        stop(program)


def floor_startup(build, folder, env):
    """One launch of the start-up floor (bench/startup): the ms from exec to its line
    "start-up done" on standard output, or None."""
    began = time.time()
    program = subprocess.Popen([os.path.join(build, "bin", "startup_floor")], cwd=folder, env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        for line in program.stdout:
            if line.startswith("start-up done"):
                return (time.time() - began) * 1000.0
        return None
    finally:
        stop(program)


def startup(build, source, work, env, args):
    market = []
    if args.market_contracts:
        market = ["--market", os.path.join(work, "market-%d.json" % args.market_contracts)]
        write_market(market[1], args.market_contracts, args.exchanges)
    server, port = start_quote_server(build, work, market)
    cloud = start_cloud(build, work, source)
    folder = program_folder(build, work)
    write_config(folder, port)
    extra = []
    try:
        for _ in range(args.launches):
            if args.floor:
                at = floor_startup(build, folder, env)
                if at is not None:
                    extra.append(at - FIXED_PAUSES_MS)
                continue
            for picture_folder in ("BootPage", "banner"):
                shutil.rmtree(os.path.join(folder, picture_folder), ignore_errors=True)
            log = Log(build)
            began = time.time()
            program = subprocess.Popen([os.path.join(build, "bin", "Quorvel")], cwd=folder, env=env,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                at = wait_started(log, program, began + 60)
            finally:
                stop(program)
            if at is not None:
                extra.append((at - began) * 1000.0 - FIXED_PAUSES_MS)
    finally:
        stop(cloud)
        stop(server)
    result = {"launches": len(extra), "contracts": args.market_contracts or "built-in", "load": load_average(),
              "program": "startup_floor" if args.floor else "Quorvel",
            "beyond_pauses_ms_median": statistics.median(extra) if extra else float("nan"),
            "min_ms": min(extra) if extra else float("nan"), "max_ms": max(extra) if extra else float("nan"),
            "each_ms": [round(v) for v in extra]}
    if not extra:
        result["error"] = "no launch reached the event loop"
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("mode", choices=["ingest", "flood", "startup"])
    parser.add_argument("--build", default="build", help="build folder (default: build)")
    parser.add_argument("--contracts", default="100,1000,5000", help="market sizes for ingest")
    parser.add_argument("--rate", type=float, default=40, help="quote-server market steps per second (ingest)")
    parser.add_argument("--moves", type=int, default=0, help="contracts a market step moves at most (ingest, "
                        "flood; 0: all): --rate 2 --moves 10 offers 20 quotes a second whatever the size")
    parser.add_argument("--warmup", type=float, default=5, help="seconds before measuring (ingest)")
    parser.add_argument("--seconds", type=float, default=30, help="seconds measured per size (ingest)")
    parser.add_argument("--launches", type=int, default=10, help="launches (startup)")
    parser.add_argument("--market-contracts", type=int, default=0,
                        help="startup with a market of this many contracts instead of the built-in one")
    parser.add_argument("--exchanges", type=int, default=7,
                        help="startup: exchanges the market's commodities are spread over (one each at most)")
    parser.add_argument("--flood", default="all", help="what the hostile server sends (flood): quotes, depth, "
                        "trades, klines, comma-separated, or all")
    parser.add_argument("--rss-limit-mib", type=float, default=2048, help="flood: stop the run past this RSS")
    parser.add_argument("--floor", action="store_true", help="startup: launch the start-up floor "
                        "(bench/startup) instead of Quorvel, the same way; ingest: measure the floor with "
                        "its busy animation (--busy) as a frozen market's board is measured")
    parser.add_argument("--server", help="quote-server program (default: the build's)")
    parser.add_argument("--display", default=":156", help="X display to use; Xvfb is started on it when none is there")
    args = parser.parse_args()

    global SERVER
    SERVER = os.path.abspath(args.server) if args.server else None
    build = os.path.abspath(args.build)
    source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    work = tempfile.mkdtemp(prefix="bench-endtoend-")
    # A display already there (one Xvfb for several runs at once) is used as it is.
    xvfb = None
    if not os.path.exists("/tmp/.X11-unix/X" + args.display.lstrip(":")):
        xvfb = subprocess.Popen(["Xvfb", args.display, "-screen", "0", "1920x1080x24", "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    env = dict(os.environ, DISPLAY=args.display, QT_QPA_PLATFORM="xcb")
    failed = 0
    try:
        time.sleep(1)
        if xvfb and xvfb.poll() is not None:
            raise SystemExit("Xvfb did not start on " + args.display)
        results = []
        if args.mode == "ingest" and args.floor:
            results.append(floor_idle(build, work, env, args))
            print(json.dumps(results[-1]), flush=True)
        elif args.mode in ("ingest", "flood"):
            for n in [int(v) for v in args.contracts.split(",")]:
                results.append((ingest if args.mode == "ingest" else flood)(build, work, env, n, args))
                print(json.dumps(results[-1]), flush=True)
        else:
            results.append(startup(build, source, work, env, args))
            print(json.dumps(results[-1]), flush=True)
        # A run that gathered nothing is a failure, not a figure.
        failed = sum(1 for r in results if "error" in r)
        if failed:
            print("bench_endtoend: %d of %d runs gathered no samples" % (failed, len(results)), file=sys.stderr)
    finally:
        stop(xvfb)
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
