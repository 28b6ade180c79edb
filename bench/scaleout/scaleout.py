#!/usr/bin/env python3
"""Scale-out run: three runners share one account's tasks through leases.

    bench/scaleout/scaleout.py [--build DIR] [--tasks 300] [--period 5] [--lease 6] ...

A private PostgreSQL (Debian's postgresql, run as the postgres user when we
are root), two `quarvex-store serve --db postgresql://...` on two ports over
it, one account with TASKS tasks (autoload, period PERIOD s) that read pages
from a small page server in this process (each page gains a new row now and
then) and post every new record to a web post server in this process, which
logs the task and the record's key. Three `quarvex-runner` processes with a
short lease share the account, split over the two store servers. After the
warm-up the runner holding the most tasks is killed with SIGKILL, and the
run measures:
  (a) how long until every one of its tasks has run again on another runner
      (target: within two lease periods),
  (b) from the post log, whether any record was delivered twice (per task
      and key), before and after the kill,
  (c) tasks per runner before and after, and whether any task was ever seen
      on two live runners at once.
The build folder must hold server/quarvex-store, runner/quarvex-runner and
bench/scaleout/scaleout_seed (configure with -DQUARVEX_BENCH=ON). This is a
benchmark: it prints a report and exits 0 unless the setup itself failed.
"""

import argparse
import collections
import http.server
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

PASSWORD = "scale-pw"
USER = "bench"
PG_USER = "quarvex"
RECORDS_TEXT = {
    "files": "files, a data folder per runner",
    "shared-files": "files, one data folder for all runners",
    "pg": "--records-db on the shared PostgreSQL",
}


def log(text):
    print(f"[{time.strftime('%H:%M:%S')}] {text}", flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def find_pg_bin():
    root = "/usr/lib/postgresql"
    found = []
    for name in os.listdir(root) if os.path.isdir(root) else []:
        bin_dir = os.path.join(root, name, "bin")
        if os.path.exists(os.path.join(bin_dir, "initdb")) and name.isdigit():
            found.append((int(name), bin_dir))
    return max(found)[1] if found else None


class Pages:
    """Page N shows the last ROWS records of its own sequence; a new record
    appears every NEW_EVERY seconds, each page at its own phase. Every fetch
    is logged with its time."""

    def __init__(self, tasks, new_every, rows):
        self.t0 = time.monotonic()
        self.tasks = tasks
        self.new_every = new_every
        self.rows = rows
        self.lock = threading.Lock()
        self.fetches = collections.defaultdict(list)  # page -> [monotonic time]

    def count(self, n, now):
        phase = (n * self.new_every) / self.tasks
        return 1 + int((now - self.t0 + phase) / self.new_every)

    def body(self, n):
        now = time.monotonic()
        with self.lock:
            self.fetches[n].append(now)
        last = self.count(n, now)
        rows = "".join(f"<tr><td>p{n}-r{k}</td><td>{k * 7 % 100}.50</td></tr>\n"
                       for k in range(max(0, last - self.rows), last))
        return f"<html><head><title>page {n}</title></head><body>\n<table>\n{rows}</table>\n</body></html>\n"


class Posts:
    def __init__(self):
        self.lock = threading.Lock()
        self.entries = []  # (monotonic time, task, key)
        self.bad = 0
        self.bad_samples = []

    def add(self, task, key):
        with self.lock:
            self.entries.append((time.monotonic(), task, key))


class QuietServer(http.server.ThreadingHTTPServer):
    def handle_error(self, request, client_address):
        # The killed runner's connections break mid-reply; that is expected.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


def serve_http(handler_class, port):
    server = QuietServer(("127.0.0.1", port), handler_class)
    server.daemon_threads = True
    server.request_queue_size = 128
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def make_page_handler(pages):
    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_GET(self):
            parts = self.path.strip("/").split("/")
            if len(parts) != 2 or parts[0] != "p" or not parts[1].isdigit() or int(parts[1]) >= pages.tasks:
                self.send_error(404)
                return
            data = pages.body(int(parts[1])).encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)
    return Handler


def make_post_handler(posts):
    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_POST(self):
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(min(length, 65536)).decode("utf-8", "replace")
            form = urllib.parse.parse_qs(body)
            task = form.get("task", [None])[0]
            key = form.get("key", [None])[0]
            if task is None or key is None:
                with posts.lock:
                    posts.bad += 1
                    if len(posts.bad_samples) < 3:
                        posts.bad_samples.append(self.path + " " + body[:200])
            else:
                posts.add(int(task), key)
            self.send_response(200)
            self.send_header("Content-Length", "2")
            self.end_headers()
            self.wfile.write(b"ok")
    return Handler


class Run:
    def __init__(self, args):
        self.args = args
        self.tmp = tempfile.mkdtemp(prefix="quarvex-scale-")
        self.pg_dir = None
        self.procs = []  # (name, Popen)
        self.runners = []  # dicts: name, proc, port, store

    # ---- processes ----

    def spawn(self, name, argv, env=None, user=None, stdin=None):
        logf = open(os.path.join(self.tmp, name + ".log"), "wb")
        kwargs = {}
        if user is not None:
            kwargs.update(user=user, group=user, extra_groups=[])
        proc = subprocess.Popen(argv, stdout=logf, stderr=subprocess.STDOUT, env=env,
                                stdin=subprocess.DEVNULL if stdin is None else stdin,
                                start_new_session=True, cwd="/", **kwargs)
        self.procs.append((name, proc))
        return proc

    def start_postgres(self):
        pg_bin = find_pg_bin()
        if pg_bin is None:
            sys.exit("scaleout: PostgreSQL is not installed (no /usr/lib/postgresql/*/bin/initdb)")
        self.pg_dir = tempfile.mkdtemp(prefix="quarvex-scale-pg-")
        user = None
        if os.geteuid() == 0:
            # PostgreSQL refuses to run as root.
            user = "postgres"
            shutil.chown(self.pg_dir, user, user)
        kwargs = dict(user=user, group=user, extra_groups=[]) if user else {}
        subprocess.run([pg_bin + "/initdb", "-D", self.pg_dir + "/data", "-U", PG_USER, "--auth=trust",
                        "-E", "UTF8", "--locale=C", "--no-sync"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd="/", **kwargs)
        self.pg_port = free_port()
        self.spawn("postgres", [pg_bin + "/postgres", "-D", self.pg_dir + "/data", "-p", str(self.pg_port),
                                "-k", self.pg_dir, "-c", "listen_addresses=127.0.0.1", "-c", "fsync=off",
                                "-c", "synchronous_commit=off", "-c", "full_page_writes=off",
                                "-c", "max_connections=100"], user=user)
        for _ in range(600):
            if subprocess.run([pg_bin + "/pg_isready", "-q", "-h", "127.0.0.1", "-p", str(self.pg_port)]).returncode == 0:
                break
            time.sleep(0.1)
        else:
            sys.exit("scaleout: PostgreSQL did not start; see " + self.tmp + "/postgres.log")
        self.db_uri = f"postgresql://{PG_USER}@127.0.0.1:{self.pg_port}/postgres"

    def start_store(self, index):
        name = f"store{index}"
        proc = self.spawn(name, [self.exe("server/quarvex-store"), "--db", self.db_uri, "serve",
                                 "--listen", "127.0.0.1:0", "--max-per-address", "256"])
        path = os.path.join(self.tmp, name + ".log")
        for _ in range(200):
            with open(path, errors="replace") as f:
                for line in f:
                    if "serving on 127.0.0.1:" in line:
                        return int(line.rsplit(":", 1)[1])
            if proc.poll() is not None:
                break
            time.sleep(0.05)
        sys.exit(f"scaleout: {name} did not start; see {path}")

    def start_runner(self, index, store_port, data_dir):
        port = free_port()
        env = dict(os.environ, QUARVEX_PASSWORD=PASSWORD, QUARVEX_HOME=os.path.join(self.tmp, "home"))
        # No proxy from the environment for the loopback servers.
        for key in ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY"):
            env.pop(key, None)
        name = f"runner{index}"
        proc = self.spawn(name, [self.exe("runner/quarvex-runner"), "--server", f"127.0.0.1:{store_port}",
                                 "--user", USER, "--data-dir", data_dir, "--listen", f"127.0.0.1:{port}",
                                 "--lease", str(self.args.lease), "--relist", str(self.args.relist)]
                          + self.records_args, env=env)
        self.runners.append(dict(name=name, proc=proc, port=port, store=store_port, alive=True))

    def exe(self, rel):
        path = os.path.join(self.args.build, rel)
        if not os.access(path, os.X_OK):
            sys.exit(f"scaleout: {path} is missing (build with -DQUARVEX_BENCH=ON)")
        return path

    def runner_tasks(self, runner):
        """Names of the tasks the runner holds and their passes, or None when it does not answer."""
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{runner['port']}/tasks", timeout=2) as reply:
                data = json.loads(reply.read())
        except (OSError, ValueError):
            return None
        return {t["name"]: t for t in data.get("tasks", [])}

    def stop_all(self):
        for name, proc in reversed(self.procs):
            if proc.poll() is None:
                try:
                    os.kill(proc.pid, signal.SIGINT if name == "postgres" else signal.SIGTERM)
                except ProcessLookupError:
                    pass
        for name, proc in self.procs:
            try:
                proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                os.kill(proc.pid, signal.SIGKILL)
                proc.wait()
        if self.args.keep:
            log(f"logs kept in {self.tmp}")
        else:
            shutil.rmtree(self.tmp, ignore_errors=True)
        if self.pg_dir:
            shutil.rmtree(self.pg_dir, ignore_errors=True)

    # ---- the run ----

    def main(self):
        a = self.args
        os.makedirs(os.path.join(self.tmp, "home"))
        pages = Pages(a.tasks, a.new_every, a.rows)
        posts = Posts()
        page_server = serve_http(make_page_handler(pages), 0)
        post_server = serve_http(make_post_handler(posts), 0)
        page_base = f"http://127.0.0.1:{page_server.server_address[1]}/p"
        post_url = f"http://127.0.0.1:{post_server.server_address[1]}/post"

        log("starting PostgreSQL")
        self.start_postgres()
        # The first command makes the tables, before two servers race for it.
        subprocess.run([self.exe("server/quarvex-store"), "--db", self.db_uri, "adduser", USER],
                       input=(PASSWORD + "\n").encode(), check=True, stdout=subprocess.DEVNULL)
        stores = [self.start_store(0), self.start_store(1)]
        log(f"store servers on ports {stores[0]} and {stores[1]}, one PostgreSQL on {self.pg_port}")
        subprocess.run([self.exe("bench/scaleout/scaleout_seed"), f"127.0.0.1:{stores[0]}", USER, str(a.tasks),
                        str(a.period), page_base, post_url],
                       env=dict(os.environ, QUARVEX_PASSWORD=PASSWORD), check=True, stdout=subprocess.DEVNULL)
        log(f"{a.tasks} tasks added (period {a.period} s, a new record per page every {a.new_every} s)")

        help_text = subprocess.run([self.exe("runner/quarvex-runner"), "--help"], capture_output=True,
                                   text=True, errors="replace")
        has_records_db = "--records-db" in help_text.stdout + help_text.stderr
        if a.records == "auto":
            a.records = "pg" if has_records_db else "files"
        if a.records == "pg" and not has_records_db:
            sys.exit("scaleout: this quarvex-runner has no --records-db")
        self.records_args = ["--records-db", self.db_uri] if a.records == "pg" else []
        shared = os.path.join(self.tmp, "data")
        for i in range(3):
            data_dir = shared if a.records == "shared-files" else os.path.join(self.tmp, f"data{i}")
            self.start_runner(i, stores[i % 2], data_dir)
            if a.stagger and i < 2:
                time.sleep(a.stagger)
        log(f"3 runners (lease {a.lease} s): runner0 and runner2 on store0, runner1 on store1")

        overlaps = set()  # tasks seen on two live runners in one poll

        def poll():
            views = {}
            for r in self.runners:
                if r["alive"]:
                    views[r["name"]] = self.runner_tasks(r) or {}
            seen = collections.Counter(name for v in views.values() for name in v)
            overlaps.update(name for name, n in seen.items() if n > 1)
            return views

        # Warm-up: every task held somewhere and posted at least once, then a while longer.
        t_start = time.monotonic()
        while True:
            views = poll()
            held = sum(len(v) for v in views.values())
            with posts.lock:
                posted = len({task for _, task, _ in posts.entries})
            if held >= a.tasks and posted >= a.tasks:
                break
            if time.monotonic() - t_start > a.settle_timeout:
                log(f"warm-up: only {held} tasks held and {posted} tasks posted after {a.settle_timeout} s; going on")
                break
            time.sleep(0.5)
        log(f"all tasks running after {time.monotonic() - t_start:.1f} s; warm-up {a.warmup} s")
        t_end = time.monotonic() + a.warmup
        while time.monotonic() < t_end:
            poll()
            time.sleep(1)

        before = poll()
        victim = max(self.runners, key=lambda r: len(before.get(r["name"], {})))
        victim_tasks = set(before[victim["name"]])
        with posts.lock:
            posts_before = len(posts.entries)
        t_kill = time.monotonic()
        os.kill(victim["proc"].pid, signal.SIGKILL)
        victim["proc"].wait()
        victim["alive"] = False
        log(f"kill -9 {victim['name']} holding {len(victim_tasks)} tasks")

        # (a) when each of the victim's tasks is held and has ended a pass on a live runner
        taken = {}
        ran = {}
        t_limit = t_kill + a.after
        while time.monotonic() < t_limit:
            views = poll()
            now = time.monotonic() - t_kill
            for v in views.values():
                for name, t in v.items():
                    if name in victim_tasks:
                        taken.setdefault(name, now)
                        if t.get("passes", 0) >= 1:
                            ran.setdefault(name, now)
            if len(ran) == len(victim_tasks) and now > a.min_after:
                break
            time.sleep(0.25)
        after = poll()
        t_stop = time.monotonic()
        # A request from the dead runner may still be on its way for a moment.
        fetched = {}
        with pages.lock:
            for n, times in pages.fetches.items():
                later = [t for t in times if t > t_kill + 0.5]
                if later:
                    fetched[n] = later[0] - t_kill
        victim_idx = {int(name.split()[-1]) for name in victim_tasks}

        with posts.lock:
            entries = list(posts.entries)
            bad = posts.bad
            if posts.bad_samples:
                log("malformed posts, e.g.: " + " | ".join(posts.bad_samples))
        self.report(a, before, after, victim, victim_tasks, victim_idx, taken, ran, fetched, entries,
                    posts_before, t_kill, t_stop, bad, overlaps)

    def report(self, a, before, after, victim, victim_tasks, victim_idx, taken, ran, fetched, entries,
               posts_before, t_kill, t_stop, bad, overlaps):
        def stats(values):
            if not values:
                return "none"
            v = sorted(values)
            med = v[len(v) // 2]
            return f"median {med:.2f} s, max {v[-1]:.2f} s"

        print()
        print("== scale-out report")
        print(f"tasks {a.tasks}, period {a.period} s, lease {a.lease} s, relist {a.relist} s, "
              f"record state: {RECORDS_TEXT[a.records]}")
        print("(c) tasks per runner (before kill -> after):")
        for r in self.runners:
            b = len(before.get(r["name"], {}))
            aft = "dead" if not r["alive"] else str(len(after.get(r["name"], {})))
            n_taken = lost = given = 0
            with open(os.path.join(self.tmp, r["name"] + ".log"), errors="replace") as f:
                for line in f:
                    if ": lease taken (" in line:
                        n_taken += 1
                    elif "lease was lost" in line or "could not be renewed in time" in line:
                        lost += 1
                    elif "quarvex-runner: gave back " in line and "not started in time" in line:
                        given += int(line.split("gave back ")[1].split()[0])
            print(f"    {r['name']} (store port {r['store']}): {b} -> {aft}; leases taken {n_taken}, "
                  f"lost {lost}, given back unstarted {given}")
        print(f"    tasks seen on two live runners at once (polled every 0.25-1 s): {len(overlaps)}")
        n = len(victim_tasks)
        two = 2 * a.lease
        late = [name for name in victim_tasks if name not in ran or ran[name] > two]
        print(f"(a) {victim['name']} killed with {n} tasks; after the kill:")
        print(f"    lease taken by another runner: {len(taken)}/{n}, {stats(taken.values())}")
        print(f"    a pass ended on another runner: {len(ran)}/{n}, {stats(ran.values())}")
        page_times = [fetched[i] for i in victim_idx if i in fetched]
        print(f"    page fetched again: {len(page_times)}/{n}, {stats(page_times)}")
        print(f"    within two lease periods ({two} s): {n - len(late)}/{n} -> {'PASS' if not late else 'FAIL'}")
        # (b) duplicates per task and key
        counts = collections.Counter((task, key) for _, task, key in entries)
        dups = {k: c for k, c in counts.items() if c > 1}
        extra = sum(c - 1 for c in dups.values())
        first_seen = {}
        dup_after_kill = 0
        dup_victim = 0
        for t, task, key in entries:
            if (task, key) in first_seen:
                if t > t_kill:
                    dup_after_kill += 1
                if task in victim_idx:
                    dup_victim += 1
            else:
                first_seen[(task, key)] = t
        print(f"(b) web posts received: {len(entries)} ({posts_before} before the kill), "
              f"distinct task+key: {len(counts)}, malformed: {bad}")
        print(f"    delivered more than once: {len(dups)} task+key pairs, {extra} extra deliveries "
              f"({dup_after_kill} after the kill, {dup_victim} of the killed runner's tasks), "
              f"tasks affected: {len({task for task, _ in dups})} -> {'PASS' if not dups else 'FAIL'}")
        if dups:
            sample = sorted(dups.items())[:5]
            print("    e.g. " + ", ".join(f"task {t} key {k} x{c}" for (t, k), c in sample))
        print(f"    observed for {t_stop - t_kill:.1f} s after the kill")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    here = os.path.dirname(os.path.abspath(__file__))
    p.add_argument("--build", default=os.path.join(here, "..", "..", "build", "release"),
                   help="build folder with -DQUARVEX_BENCH=ON (default build/release)")
    p.add_argument("--tasks", type=int, default=300)
    p.add_argument("--period", type=int, default=5, help="task period in seconds")
    p.add_argument("--lease", type=int, default=6, help="runner lease in seconds")
    p.add_argument("--relist", type=int, default=10, help="runner relist interval in seconds")
    p.add_argument("--new-every", type=int, default=20, help="seconds between new records on a page")
    p.add_argument("--rows", type=int, default=5, help="records a page shows")
    p.add_argument("--warmup", type=int, default=30, help="seconds after every task runs, before the kill")
    p.add_argument("--after", type=int, default=60, help="longest wait after the kill, in seconds")
    p.add_argument("--min-after", type=int, default=30, help="shortest wait after the kill, in seconds")
    p.add_argument("--settle-timeout", type=int, default=120)
    p.add_argument("--stagger", type=float, default=0, help="seconds between runner starts")
    p.add_argument("--records", choices=["auto", "files", "shared-files", "pg"], default="auto",
                   help="record state: files in a data folder per runner (as on separate machines), one data "
                        "folder for all three (one machine), or --records-db on the PostgreSQL "
                        "(auto: pg when the runner has --records-db, else files)")
    p.add_argument("--keep", action="store_true", help="keep the logs and data folders")
    args = p.parse_args()
    if args.tasks < 1 or args.period < 1 or args.lease < 3 or args.new_every < 1 or args.rows < 1:
        p.error("tasks, period, new-every and rows must be positive, lease at least 3")
    args.build = os.path.abspath(args.build)
    run = Run(args)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        run.main()
    finally:
        run.stop_all()


if __name__ == "__main__":
    main()
