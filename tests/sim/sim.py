#!/usr/bin/env python3
"""Plant-life simulator: seeded random histories against the real ovretain and
ovnode, checked after every step by the model in model.py.

Each history starts from an empty node space and drive root of its own and
draws its steps from client actions, the service's life (start, stop, SIGTERM,
SIGKILL at random moments), reboots, layout changes, settings and faults. The
history is drawn from its seed alone, before it runs, so the same seed gives
the same steps. A failing history is shortened (steps removed while it still
fails the same way) and printed as a script of plain ovnode/ovretain commands.
Run by scripts/simulate.sh; exit status 0 when no history failed, 1 when one did.
"""
import argparse, json, multiprocessing, os, random, shlex, shutil, signal, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from model import Model, is_plant  # noqa: E402

SET = "SERVICE.OvRetain."
KINDS = [(1, 1), (3, 1), (4, 2), (5, 2), (6, 4), (7, 4), (12, 16), (12, 8), (13, 4), (20, 3)]
SETTINGS = {"UseBackup": (1, [0, 1]), "AutoLoad": (1, [0, 1, 1]), "Migrate": (1, [0, 1, 1]),
            "AutoSave": (7, [0, 100, 300, 1000]), "Journal": (7, [0, 100, 100, 200]), "KeepOld": (7, [0, 2, 8, 10])}
ALNUM = "abcdefghijklmnopqrstuvwxyz0123456789"
# A plant large enough for the saves that share their walk with a second
# thread: a block of nodes nobody writes, amid the plant's own.
BULK, BULK_ROW = 16400, "#bulk"


# ---------------------------------------------------------------- generator
def value(rng, kind, size):
    lim = {1: (0, 255), 3: (0, 255), 4: (-32768, 32767), 5: (0, 65535), 6: (-2**31, 2**31 - 1), 7: (0, 2**32 - 1)}
    if kind in lim:
        return rng.randint(*lim[kind])
    if kind == 12:
        n = rng.choice([0, size - 1, size - 1, rng.randint(1, size - 1)])
        return "".join(rng.choice(ALNUM) for _ in range(n))
    return "".join("%02x" % rng.randint(0, 255) for _ in range(size))


def generate(seed, length):
    """The steps of one history, drawn from the seed alone."""
    rng = random.Random(seed)
    names = iter(range(1000))
    rows = [["P.n%d" % next(names), k, s, value(rng, k, s)] for k, s in rng.sample(KINDS, rng.randint(5, 8))]
    rows.append([SET + "AutoRun", 1, 1, 1])
    for name, (kind, vals) in SETTINGS.items():
        if rng.random() < 0.5:
            rows.insert(rng.randint(0, len(rows)), [SET + name, kind, 4 if kind == 7 else 1, rng.choice(vals)])
    layouts, steps, running = [], [("init", [list(r) for r in rows])], False

    def plant():
        return [r for r in rows if is_plant(r[0])]

    def change(op):
        """One change of the layout file, as a new program brings it."""
        nonlocal rows
        layouts.append([list(r) for r in rows])
        ps = [i for i, r in enumerate(rows) if is_plant(r[0])]
        i = rng.choice(ps)
        if op == "add":
            k, s = rng.choice(KINDS)
            rows.insert(rng.randint(0, len(rows)), ["P.n%d" % next(names), k, s, value(rng, k, s)])
        elif op == "remove" and len(ps) > 3:
            del rows[i]
        elif op == "rename":
            rows[i][0] = "P.n%d" % next(names)
        elif op == "resize" and rows[i][1] in (12, 13):
            rows[i][2] = rng.choice([4, 8, 16, 24])
            rows[i][3] = value(rng, rows[i][1], rows[i][2])
        elif op in ("resize", "retype"):
            k, s = rng.choice([ks for ks in KINDS if ks[0] != rows[i][1]])
            rows[i][1:4] = [k, s, value(rng, k, s)]
        elif op == "reorder":
            j = rng.choice(ps)
            rows[i], rows[j] = rows[j], rows[i]
        elif op == "setting":   # only the service's own configuration nodes added
            missing = [n for n in SETTINGS if not any(r[0] == SET + n for r in rows)]
            if missing:
                n = rng.choice(missing)
                kind, vals = SETTINGS[n]
                rows.insert(rng.randint(0, len(rows)), [SET + n, kind, 4 if kind == 7 else 1, rng.choice(vals)])
        elif op == "rollback" and layouts:
            rows = [list(r) for r in rng.choice(layouts)]
        steps.append(("layout", [list(r) for r in rows]))

    while len(steps) < length:
        weights = {"write": 30, "save": 5, "load": 5, "restore": 1.5, "copy": 1, "settle": 5, "reboot": 3,
                   "cycles": 0.7, "upgrades": 0.4, "incident": 1, "layout": 4, "setting": 4, "create": 1, "damage": 5, "rmlock": 0.7,
                   "full": 1.5, "free": 1.5, "intruder": 1, "run": 1}
        weights.update({"start": 4, "stop": 3, "term": 2, "kill": 2, "killsave": 2, "killburst": 1.5} if running
                       else {"start": 25})
        what = rng.choices(list(weights), list(weights.values()))[0]
        if what == "write":
            r = rng.choice(plant())
            steps.append(("write", r[0], value(rng, r[1], r[2])))
        elif what == "start":
            variant = rng.choices(["plain", "nolink", "killstart"], [6, 3, 1.5])[0]
            steps.append(("start", variant, rng.randint(0, 400)))
            running = variant != "killstart"
        elif what in ("stop", "term", "kill", "reboot"):
            steps.append((what,))
            running = False
        elif what == "cycles":   # short plant lives without a load: reboot, start, stop
            steps += [("reboot",), ("start", "plain", 0), ("stop",)] * rng.randint(1, 10)
            running = False
        elif what == "upgrades":   # program changes, each adding a node, while the plant runs
            for _ in range(rng.randint(2, 9)):
                change("add")
                r = rng.choice(plant())
                steps += [("start", "plain", 0), ("write", r[0], value(rng, r[1], r[2])), ("settle",)]
            running = True
        elif what == "incident" and running:   # values made durable, a file damaged, then a load or a restart
            for _ in range(rng.randint(1, 4)):
                r = rng.choice(plant())
                steps += [("write", r[0], value(rng, r[1], r[2])), ("settle",)]
            target = rng.choice(["bin", "journal", "check", "backup"])
            steps.append(("damage", target, rng.choice(["flip", "cut", "delete"]), rng.getrandbits(32),
                          rng.getrandbits(32)))
            steps += rng.choice([[("load",)], [("kill",), ("start", "plain", 0)], [("reboot",), ("start", "plain", 0)]])
        elif what in ("killsave", "killburst"):
            steps.append((what, rng.randint(0, 120)))
            running = False
        elif what == "layout":
            change(rng.choice(["add", "remove", "rename", "resize", "retype", "reorder", "setting", "rollback"]))
            running = False
        elif what == "setting":
            n = rng.choice(list(SETTINGS))
            v = rng.choice(SETTINGS[n][1])
            for r in rows:
                if r[0] == SET + n:
                    r[3] = v
            steps.append(("setting", n, v, [list(r) for r in rows]))
        elif what == "create":
            n = rng.choice(list(SETTINGS))
            steps.append(("create", n, SETTINGS[n][0], rng.choice(SETTINGS[n][1][1:])))
        elif what == "damage":
            target = rng.choice(["bin", "bin", "backup", "check", "layout", "journal", "journal", "old"])
            kinds = ["flip", "cut", "delete", "delete"] if target == "check" else ["flip", "flip", "cut", "delete"]
            steps.append(("damage", target, rng.choice(kinds), rng.getrandbits(32), rng.getrandbits(32)))
        elif what == "full":
            steps.append(("full", rng.choice([0, 64, 512, 4096])))
        elif what == "run":
            steps.append(("run", rng.choice([0, 1, 1])))
        elif what in ("restore", "copy"):
            steps.append((what, rng.getrandbits(16)))
        elif what == "intruder":   # half the time a person has removed the lock file as stale
            steps.append((what, rng.randint(0, 1)))
        else:
            steps.append((what,))
    return steps


def with_bulk(seed, steps, always=False):
    """The steps of a history of a large plant for one seed in five (a draw
    of its own, so that the history's steps stay those of its seed), or
    always: each layout gets the bulk block in its middle."""
    if not always and random.Random(seed ^ 0xB01C).random() >= 0.2:
        return steps
    at = {"init": 1, "layout": 1, "setting": 3}
    out = []
    for step in steps:
        if step[0] in at:
            rows = [list(r) for r in step[at[step[0]]]]
            rows.insert(len(rows) // 2, [BULK_ROW, 7, 4, 0])
            step = step[:at[step[0]]] + (rows,) + step[at[step[0]] + 1:]
        out.append(step)
    return out


# ---------------------------------------------------------------- executor
class Failure(Exception):
    pass


def norm(kind, v):
    if kind in (1, 3, 4, 5, 6, 7):
        return int(v)
    return v if kind == 12 else str(v).lower()


class Sim:
    def __init__(self, bindir, work):
        self.bin, self.work = bindir, work
        self.space = "ovsim%d" % os.getpid()
        self.drives = os.path.join(work, "drives")
        self.dir = os.path.join(self.drives, "C", "Orvale")
        self.layout = os.path.join(work, "layout.csv")
        self.logfile = os.path.join(work, "ovretain.log")
        self.stats = dict(histories=0, steps=0, kills=0, faults=0, loads=0)
        os.makedirs(self.drives, exist_ok=True)
        self.tmpfs = False
        if os.geteuid() == 0 and subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m,mode=0755", "tmpfs",
                                                 self.drives], capture_output=True).returncode == 0:
            self.tmpfs = True
        else:
            print("simulate: no tmpfs could be mounted on the drive root: the full-disk fault is skipped")
        self.env = dict(os.environ, OVNODE_SPACE=self.space, OVRT_DRIVES=self.drives)
        self.env.pop("OVRT_FAULT", None)
        self.proc = None

    def close(self):
        try:
            self.reset()
        finally:
            if self.tmpfs:
                subprocess.run(["umount", self.drives])

    # -- commands, each recorded for the replay script
    def note(self, line):
        self.script.append(line)

    def cmd(self, args, timeout=20, space=None, record=True):
        env = dict(self.env, OVNODE_SPACE=space) if space else self.env
        if record:
            self.note(("OVNODE_SPACE=$S2 " if space else "") + shlex.join(args))
        try:
            r = subprocess.run([os.path.join(self.bin, args[0])] + args[1:], env=env, capture_output=True,
                               text=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Failure("hung: %s did not end within %d s" % (shlex.join(args), timeout))
        return r.returncode, r.stdout

    def table(self):
        rc, out = self.cmd(["ovnode", "list", "--json"], record=False)
        if rc != 0:
            return []
        return [(n["name"], n["type"], n["size"], norm(n["type"], n["value"])) for n in json.loads(out)]

    def status(self):
        rc, out = self.cmd(["ovnode", "status", "--json"], record=False)
        try:
            return json.loads(out)
        except ValueError:
            return None

    def lines(self):
        with open(self.logfile, errors="replace") as f:
            f.seek(self.logpos)
            text = f.read()
        out = []
        for line in text.splitlines():
            parts = line.split(" ", 3)
            if len(parts) == 4 and parts[2] == "ovretain:":
                out.append((parts[1], parts[3]))
        return out

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def wait_proc(self, timeout=20):
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("hung: the service did not end within %d s" % timeout)
        self.note("wait $pid")
        self.proc = None
        return rc

    def kill(self, sig=signal.SIGKILL):
        self.note("kill -%s $pid" % sig.name[3:])
        self.proc.send_signal(sig)
        if sig == signal.SIGKILL:
            self.stats["kills"] += 1
        return self.wait_proc()

    def files(self):
        try:
            return sorted(os.listdir(self.dir))
        except OSError:
            return []

    def path(self, name):
        return os.path.join(self.dir, name)

    def rm(self, path, shown):
        self.note("rm -f " + shown)
        if os.path.exists(path):
            os.remove(path)

    def write_layout(self, rows):
        parts = [["name,type,size,value\n"]]
        for n, k, s, v in rows:
            if n == BULK_ROW:
                parts.append(None)
                parts.append([])
            else:
                parts[-1].append("%s,%d,%s,%s\n" % (n, k, s if k in (12, 13) or k not in (1, 3, 4, 5, 6, 7) else "", v))
        bulk = "".join("Q.b%d,7,,%d\n" % (i, i) for i in range(BULK))
        with open(self.layout, "w") as f:
            f.write("".join(bulk if p is None else "".join(p) for p in parts))
        if len(parts) == 1:
            self.note("cat >\"$L\" <<'EOF'\n" + "".join(parts[0]) + "EOF")
            return
        self.note("{ cat <<'EOF'\n" + "".join(parts[0]) + "EOF\n"
                  "seq 0 %d | awk '{print \"Q.b\" $1 \",7,,\" $1}'\n" % (BULK - 1) +
                  "cat <<'EOF'\n" + "".join(parts[2]) + "EOF\n} >\"$L\"")

    def reset(self):
        if self.alive():
            self.proc.kill()
            self.proc.wait()
        self.proc = None
        for space in (self.space, self.space + "x"):
            self.cmd(["ovnode", "destroy", "--force"], space=space, record=False)
            if os.path.exists("/dev/shm/ovstatus-" + space):
                os.remove("/dev/shm/ovstatus-" + space)
        for name in os.listdir(self.drives):
            p = os.path.join(self.drives, name)
            shutil.rmtree(p) if os.path.isdir(p) else os.remove(p)

    # -- one history
    def history(self, steps):
        """Runs steps; returns None or (step index, failure text)."""
        self.reset()
        self.stats["histories"] += 1
        self.script, self.model = [], Model()
        open(self.logfile, "w").close()
        self.intruded, self.intruder_values, self.kept_damaged = False, set(), False
        for i, step in enumerate(steps):
            self.note("# step %d: %s" % (i, step[0] if step[0] in ("init", "layout", "setting") else
                                          " ".join(map(str, step))))
            self.logpos, self.index = os.path.getsize(self.logfile), i
            began = time.monotonic()
            try:
                fails = self.step(step)
            except Failure as f:
                fails = [str(f)]
            self.stats["steps"] += 1
            if time.monotonic() - began > 60:
                fails.append("hung: step took %.0f s" % (time.monotonic() - began))
            if fails:
                return i, fails[0]
        if self.alive():
            self.kill()
        return None

    def start_service(self, extra=None, space=None, log=None):
        env = dict(self.env, **(extra or {}))
        if space:
            env["OVNODE_SPACE"] = space
        self.note("%s%sovretain 2>>\"$LOG\" >/dev/null & pid=$!" % ("".join("%s=%s " % kv for kv in (extra or {}).items()),
                                                        "OVNODE_SPACE=$S2 " if space else ""))
        return subprocess.Popen([os.path.join(self.bin, "ovretain")], env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=open(log or self.logfile, "a"))

    def wait_ready(self, proc, space=None, deadline=15):
        """Live counted twice: the start-up check and any autoload are done."""
        seen, end = [], time.monotonic() + deadline
        self.note("ready")
        while time.monotonic() < end:
            if proc.poll() is not None:
                return False
            # This run's own service says so in its log once both are done.
            if space is None and any(t.startswith("Service ready:") for _l, t in self.lines()):
                return True
            rc, out = self.cmd(["ovnode", "get", SET + "Live"], space=space, record=False)
            if rc == 0 and (not seen or out != seen[-1]):
                seen.append(out)
                if len(seen) >= 3:
                    return True
            time.sleep(0.03)
        raise Failure("hung: the service was not ready within %d s" % deadline)

    def retained(self):
        """The files that hold values: the retain file, its backup, kept ones."""
        return [f for f in self.files() if f in ("OvRetain.bin", "OvRetain.$$$")
                or f.endswith(".old") and not f.startswith("OvRetain.journal")]

    def dumps(self):
        out = []
        for name in self.retained():
            args = ["ovnode", "retain-dump", self.path(name), "--json", "--journal"]
            rc, out_text = self.cmd(args, record=False)
            try:
                d = json.loads(out_text)
            except ValueError:
                continue
            if not d.get("header_matches") and not d.get("layout_record"):
                # Slots named by nothing: a user names the record with
                # --layout (two records of its hash and length, and no check
                # record to tell which); each one that reads it counts.
                for record in (f for f in self.files() if f.endswith(".layout")):
                    rc, text = self.cmd(args + ["--layout", self.path(record)], record=False)
                    try:
                        d = json.loads(text) if rc == 0 else {}
                    except ValueError:
                        d = {}
                    if d.get("layout_record"):
                        out.append((name, self.slots(d)))
                continue
            out.append((name, self.slots(d)))
        return out

    @staticmethod
    def slots(dump):
        return {(s["name"], s["type"], s["size"]): norm(s["type"], s["value"])
                for s in dump.get("slots", []) if "value" in s}

    def restores(self):
        """What retain-restore of each kept file gives, in a node space of
        its own built from the layout file."""
        out, s3 = [], self.space + "r"
        for name in self.retained():
            self.cmd(["ovnode", "destroy", "--force"], space=s3, record=False)
            self.cmd(["ovnode", "load-layout", self.layout], space=s3, record=False)
            if self.cmd(["ovnode", "retain-restore", self.path(name)], space=s3, record=False)[0] == 0:
                env, self.env = self.env, dict(self.env, OVNODE_SPACE=s3)
                try:
                    out.append((name, {(r[0], r[1], r[2]): r[3] for r in self.table()}))
                finally:
                    self.env = env
        self.cmd(["ovnode", "destroy", "--force"], space=s3, record=False)
        return out

    def step(self, step):
        m, what, fails = self.model, step[0], []
        loadish = None   # None, or (ok, expect_ok) of a load this step made
        durable_check, forgive = what not in ("write", "save", "load", "copy", "run", "setting", "create"), None
        running = self.alive()
        if what == "init" or what == "layout":
            self.write_layout(step[1])
            if what == "init":
                self.cmd(["ovnode", "load-layout", self.layout])
                m.rebuilt(self.table())
                return []
            what = "reboot"
        if what == "write":
            key = next((m.key_of(r) for r in m.table if r[0] == step[1]), None)
            if key is None:
                self.note("# no node %s" % step[1])
            elif self.cmd(["ovnode", "set", step[1], str(step[2])])[0] == 0:
                m.wrote(key, norm(key[1], step[2]), running)
        elif what in ("save", "load"):
            if not running or m.setting("Run", 1) != 1:
                self.note("# service not running")
            else:
                expect = m.file_ok and m.file_layout is not None and not self.intruded
                rc, _ = self.cmd(["ovnode", what, "--wait", "--timeout", "15"], timeout=25)
                if what == "save" and rc == 0:
                    m.durable_now()
                if what == "load":
                    loadish = (rc == 0, expect)
        elif what == "start":
            if running:
                return []
            if self.intruded:   # another node space wrote here; this run may take its files
                self.take_intruders_files()
            m.dirty = False   # what changed before this run, it cannot know
            expect = (m.setting("AutoLoad") == 1 and not m.adopted and m.file_ok
                      and m.compatible(m.file_layout, m.layout()))
            self.proc = self.start_service({"OVRT_FAULT": "link:1:EPERM:sticky"} if step[1] == "nolink" else None)
            if step[1] == "killstart":
                time.sleep(step[2] / 1000)
                self.note("sleep %.3f" % (step[2] / 1000))
                self.kill()
            elif not self.wait_ready(self.proc):
                self.wait_proc()
            m.started(self.lines())
            # A migration the start-up check could not write leaves no file to load.
            expect = expect and m.file_layout is not None
            st = self.status()
            auto = (st or {}).get("operations", {}).get("autoload", {})
            if auto.get("successes") or auto.get("failures"):
                loadish = (bool(auto.get("successes")), expect)
            elif expect and step[1] == "plain" and self.alive():
                fails.append("AutoLoad 1, intact retain file of this layout, but no autoload")
            if st and self.alive() and st.get("awaits_first_load") and m.adopted:
                fails.append("status says the file awaits its first load after a load or save")
        elif what in ("stop", "term"):
            if running:
                # A varying moment in the run: lives of different length save different files.
                time.sleep(self.index % 11 / 20)
                self.note("sleep %.2f" % (self.index % 11 / 20))
                if what == "stop":
                    rc, _ = self.cmd(["ovnode", "service", "stop", "--wait", "--timeout", "20"], timeout=30)
                    self.wait_proc()
                else:
                    rc = self.kill(signal.SIGTERM)
                if rc == 0:
                    m.durable_now()
        elif what in ("kill", "killsave", "killburst"):
            if running:
                if what == "killsave":
                    self.cmd(["ovnode", "set", SET + "Save", "1"])
                elif what == "killburst":   # journal groups until it outgrows the file and folds
                    rng = random.Random(step[1])
                    for _ in range(12):
                        r = rng.choice(m.plant())
                        v = value(rng, r[1], r[2])
                        if self.cmd(["ovnode", "set", r[0], str(v)])[0] == 0:
                            m.wrote(m.key_of(r), norm(r[1], v), True)
                if what != "kill":
                    time.sleep(step[1] / 1000)
                    self.note("sleep %.3f" % (step[1] / 1000))
                self.kill()
                # A save that ended before the kill wrote what the nodes held.
                if what == "killsave" and any(l == "INF" and " save done: " in t for l, t in self.lines()):
                    m.durable_now()
        elif what == "reboot":
            if running:
                self.kill()
            self.cmd(["ovnode", "destroy", "--force"])
            self.cmd(["ovnode", "load-layout", self.layout])
            m.rebuilt(self.table())
            # Without the service's own nodes the table is not the files' layout:
            # what they hold is checked after the next start.
            return self.check_common(fails, False, None)
        elif what == "setting":
            self.write_layout(step[3])
            if any(r[0] == SET + step[1] for r in m.table):
                self.cmd(["ovnode", "set", SET + step[1], str(step[2])])
        elif what == "create":
            if not any(r[0] == SET + step[1] for r in m.table):
                self.cmd(["ovnode", "create", SET + step[1], str(step[2])])
                self.cmd(["ovnode", "set", SET + step[1], str(step[3])])
        elif what == "run":
            if running:
                self.cmd(["ovnode", "service", "run" if step[1] else "pause"])
                time.sleep(0.15)
        elif what == "settle":
            fails += self.settle()
        elif what == "damage":
            forgive = self.damage(*step[1:])
        elif what == "rmlock":
            self.stats["faults"] += 1
            self.rm(self.path("OvRetain.lock"), "\"$R/OvRetain.lock\"")
            # The lock file was all that told this run another node space had
            # claimed the directory: now it may take that one's files.
            if self.intruded and running:
                self.take_intruders_files()
        elif what in ("full", "free"):
            if not self.tmpfs:
                self.note("# no tmpfs: full-disk fault skipped")
            elif what == "free":
                self.rm(os.path.join(self.drives, "filler"), "\"$D/filler\"")
            else:
                self.stats["faults"] += 1
                st = os.statvfs(self.drives)
                n = max(0, st.f_bavail * st.f_frsize - step[1])
                self.note("fallocate -l %d \"$D/filler\"" % n)
                if n:
                    subprocess.run(["fallocate", "-l", str(n), os.path.join(self.drives, "filler")])
        elif what == "intruder":
            if running:
                # Every other time this run's service is stalled meanwhile
                # (a busy machine): the other one gets in before it notices.
                stall = self.index % 2 == 0
                self.note("main=$pid" + ("; kill -STOP $pid" if stall else ""))
                if stall:
                    self.proc.send_signal(signal.SIGSTOP)
                try:
                    if step[1]:
                        self.rm(self.path("OvRetain.lock"), "\"$R/OvRetain.lock\"")
                    self.intruder()
                finally:
                    if stall:
                        self.proc.send_signal(signal.SIGCONT)
                self.note("pid=$main" + ("; kill -CONT $pid" if stall else ""))
        elif what == "restore":
            kept = [f for f in self.retained() if f != "OvRetain.bin"]
            if kept:
                f = kept[step[1] % len(kept)]
                self.cmd(["ovnode", "retain-restore", self.path(f)])
                table = self.table()
                if not self.kept_damaged:   # a damaged kept file restores damaged values
                    fails += m.check_restore(table, running, self.intruder_values)
                else:
                    m.check_restore(table, running, self.intruder_values)
                return self.check_common(fails, durable_check, None, table)
        elif what == "copy":
            fails += self.copy(step[1])
        table = self.table()
        if loadish is not None:
            self.stats["loads"] += 1
            fails += m.check_load(table, loadish[0], self.lines(), loadish[1])
        return self.check_common(fails, durable_check, forgive, table)

    def check_common(self, fails, durable_check, forgive, table=None):
        m = self.model
        table = self.table() if table is None else table
        fails += m.check_unchanged(table, "after a step with no load")
        m.table = table
        kept = [f for f in self.files() if f.startswith("OvRetain.journal.") and f.endswith(".old")]
        if len(kept) > max(8, m.setting("KeepOld")):
            fails.append("kept journals never pruned: %d OvRetain.journal.N.old files" % len(kept))
        # The table is the service's; a fault's loss is given up even before a start.
        if durable_check and table and m.run_layout is not None or forgive:
            # Right after a fault, what the damaged file alone held is given up.
            dumps = [d for d in self.dumps() if not forgive or d[0] != forgive]
            if m.lost(dumps, forgive):
                dumps += [d for d in self.restores() if not forgive or d[0] != forgive]
            fails += m.check_durable(dumps, bool(forgive))
        return fails

    def settle(self):
        """Waits for autosave or the journal to make the written values durable."""
        m = self.model
        period = max(m.setting("AutoSave"), m.setting("Journal"))
        if not (self.alive() and period and m.setting("Run", 1) == 1 and m.dirty):
            time.sleep(0.2)
            self.note("sleep 0.2")
            return []
        def counts(st):
            ops = st.get("operations", {})
            done = st.get("journal", {}).get("appends", 0) + sum(ops.get(k, {}).get("successes", 0)
                                                                 for k in ("autosave", "journal_save"))
            return done, sum(o.get("failures", 0) for o in ops.values())
        st = self.status()
        if not st:
            return []
        c0, f0 = counts(st)
        end = time.monotonic() + 2 * max(period, 100) / 1000 + 1.5
        self.note("sleep %.1f   # autosave / journal period" % (2 * max(period, 100) / 1000 + 1.5))
        while time.monotonic() < end and self.alive():
            time.sleep(0.05)
            st = self.status() or st
            c, f = counts(st)
            if f > f0:
                return []
            if c > c0:
                m.durable_now()
                return []
        from model import reports_failure
        if not self.alive() or reports_failure(self.lines()):
            return []
        held = dict(self.dumps()).get("OvRetain.bin", {})
        if all(held.get(m.key_of(r)) == r[3] for r in m.plant()):   # a save got there first
            m.durable_now()
            return []
        if m.adopted and st.get("awaits_first_load"):
            return ["status says the file awaits its first load after a load or save: autosave and journal stay off"]
        if m.adopted:
            return ["values written, autosave/journal on, nothing made durable and nothing reported"]
        return []

    def damage(self, target, kind, r1, r2):
        """A fault in one file; returns its name (what it alone held is given up)."""
        names = {"bin": ["OvRetain.bin"], "backup": ["OvRetain.$$$"], "check": ["OvRetain.check"],
                 "journal": ["OvRetain.journal"],
                 "layout": [f for f in self.files() if f.endswith(".layout")],
                 "old": [f for f in self.files() if f.endswith(".old")]}[target]
        names = [n for n in names if os.path.exists(self.path(n))]
        if not names:
            self.note("# no %s file to damage" % target)
            return None
        self.stats["faults"] += 1
        f = self.path(names[r1 % len(names)])
        size = os.path.getsize(f)
        q = "\"$R\"/'%s'" % os.path.basename(f)
        if kind == "delete" or size == 0:
            self.rm(f, q)
        elif kind == "cut":
            self.note("truncate -s %d %s" % (r2 % size, q))
            os.truncate(f, r2 % size)
        else:
            at, bit = r2 % size, (r2 >> 24) % 8
            with open(f, "r+b") as h:
                h.seek(at)
                b = h.read(1)[0] ^ (1 << bit)
                h.seek(at)
                h.write(bytes([b]))
            self.note("printf '\\x%02x' | dd of=%s bs=1 seek=%d conv=notrunc status=none" % (b, q, at))
        self.model.flipped |= target == "bin" and kind == "flip"
        self.model.unchecked |= target == "check"
        if target in ("bin", "journal"):
            self.model.damaged()
        gone = kind == "delete" or size == 0
        # A journal cut short or gone is a journal that ends there; a retain
        # file gone is replaced by whatever the next save writes.
        if target == "journal" and kind != "flip" or target == "bin" and gone:
            for n in self.model.nodes.values():
                n.fidx = None
        self.kept_damaged |= target in ("old", "backup", "bin")   # a damaged retain file is kept aside later
        if target == "layout":
            self.model.forget_durable()
        return os.path.basename(f)

    def copy(self, r):
        """A kept file copied under another name reads as the original."""
        # The retain file and its backup change under a running service.
        kept = [f for f in self.retained() if not self.alive() or f not in ("OvRetain.bin", "OvRetain.$$$")]
        if not kept:
            return []
        f = kept[r % len(kept)]
        self.note("cp \"$R/%s\" \"$R/copy.bin\"" % f)
        try:
            shutil.copyfile(self.path(f), self.path("copy.bin"))
        except OSError:   # a full drive root
            return []
        rc1, a = self.cmd(["ovnode", "retain-dump", self.path(f), "--json"])
        rc2, b = self.cmd(["ovnode", "retain-dump", self.path("copy.bin"), "--json"])
        self.rm(self.path("copy.bin"), "\"$R/copy.bin\"")
        try:
            sa = json.loads(a)["slots"]
        except (ValueError, KeyError):
            return []
        try:
            sb = json.loads(b)["slots"]
        except (ValueError, KeyError):
            sb = None
        # Where two records of its hash describe it (a type changed at equal
        # size) and no check record entry names one, only the kept file's
        # name tells them apart: the copy's dump says it has no record, and
        # --layout chooses.
        try:
            d = json.loads(b)
            unnamed = not d.get("header_matches") and not d.get("layout_record")
            twins = len([n for n in self.files() if n.startswith("OvRetain.%08x." % int(d["header"], 16))
                         and n.endswith(".layout")]) > 1
        except (ValueError, KeyError, TypeError):
            unnamed = twins = False
        if (rc1 != rc2 or sa != sb) and not (unnamed and twins):
            return ["a copy of %s under another name does not read as the original" % f]
        return []

    def take_intruders_files(self):
        m = self.model
        for n in m.nodes.values():
            n.fidx = None
        m.file_ok, self.intruded = False, False
        m.tolerated |= self.intruder_values

    def intruder(self):
        """A second node space on the same directory, run after its lock file is gone."""
        s2 = self.space + "x"
        self.stats["faults"] += 1
        self.cmd(["ovnode", "destroy", "--force"], space=s2)
        self.cmd(["ovnode", "load-layout", self.layout], space=s2)
        for n, k, s, _v in self.model.plant():
            if k not in (1, 3, 4, 5, 6, 7):
                v = "INTRUDER"[:s - 1] if k == 12 else "ee" * s
                self.cmd(["ovnode", "set", n, v], space=s2)
                self.intruder_values.add(v)
        proc = self.start_service(space=s2, log=os.path.join(self.work, "intruder.log"))
        try:
            if self.wait_ready(proc, space=s2, deadline=10):
                self.intruded = True
                # Its file is not the one this node space adopted: the
                # service, whose claim is lost, waits for a load.
                self.model.damaged()
                self.cmd(["ovnode", "save", "--wait", "--timeout", "10"], space=s2, timeout=20)
                self.cmd(["ovnode", "service", "stop", "--wait", "--timeout", "10"], space=s2, timeout=20)
        finally:
            if proc.poll() is None:
                proc.kill()
            proc.wait()
            self.note("wait $pid")
        self.cmd(["ovnode", "destroy", "--force"], space=s2)


# ---------------------------------------------------------------- runs
def shrink(sim, steps, at, text, budget):
    """Removes steps while the history still fails the same way."""
    kind = text.split(":")[0]
    best = steps[:at + 1]
    end = time.monotonic() + budget
    chunk = max(1, len(best) // 2)
    while chunk >= 1 and time.monotonic() < end:
        i, changed = 1, False
        while i < len(best) and time.monotonic() < end:
            cand = best[:i] + best[i + chunk:]
            r = sim.history(cand)
            if r and r[1].split(":")[0] == kind:
                best, changed = cand[:r[0] + 1], True
            else:
                i += chunk
        if not changed:
            chunk //= 2
    r = sim.history(best)   # once more, for its script
    return best, r


def replayed(path):
    """The steps a replay script was made from."""
    line = next(l for l in open(path) if l.startswith("# sim-steps: "))
    return [tuple(x) for x in json.loads(line[13:])]


def replay(sim, seed, at, text, steps, result):
    lines = ["#!/usr/bin/env bash",
             "# Replays simulator seed %s (failed at step %d: %s)," % (seed, at, text),
             "# shortened to %d steps%s." % (len(steps), "" if result else "; the shortened run did not fail again"),
             "# Run as root from the build's bin directory on PATH.",
             "# sim-steps: " + json.dumps(steps),
             "set -u",
             "export OVNODE_SPACE=simreplay$$ OVRT_DRIVES=$(mktemp -d)",
             "D=$OVRT_DRIVES R=$OVRT_DRIVES/C/Orvale L=$(mktemp) LOG=$(mktemp) S2=simreplay$$x",
             "mount -t tmpfs -o size=4m,mode=0755 tmpfs \"$D\" 2>/dev/null",
             "# ready: the service counted Live twice (start-up check and any autoload done), or ended",
             "ready() { local n=0 a b; a=$(ovnode get %sLive 2>/dev/null); while [ $n -lt 2 ] && "
             "kill -0 $pid 2>/dev/null; do sleep 0.03; b=$(ovnode get %sLive 2>/dev/null); "
             "[ \"$b\" != \"$a\" ] && n=$((n + 1)) a=$b; done; }" % (SET, SET)]
    text_all = "\n".join(sim.script)
    for real, var in ((sim.dir, "$R"), (sim.drives, "$D"), (sim.layout, "$L")):
        text_all = text_all.replace(real, var)
    lines.append(text_all)
    lines += ["cat \"$LOG\"; ls -l \"$R\"",
              "kill -9 $pid 2>/dev/null; wait 2>/dev/null; ovnode destroy --force >/dev/null",
              "umount \"$D\" 2>/dev/null; rm -rf \"$D\" \"$L\" \"$LOG\""]
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--seed", type=int, help="first history's seed (default: from the clock)")
    ap.add_argument("--steps", type=int, default=400, help="steps in all (default 400)")
    ap.add_argument("--minutes", type=float, help="stop starting histories after this long")
    ap.add_argument("--bin", required=True, help="directory holding ovretain and ovnode")
    ap.add_argument("--length", type=int, default=60, help="steps per history (default 60)")
    ap.add_argument("--seeds-file", help="regression seeds run first: 'SEED [LENGTH [large]]' a line")
    ap.add_argument("--out", help="directory for replay scripts (default: a temporary one)")
    ap.add_argument("--shrink-seconds", type=float, default=120)
    ap.add_argument("--keep-going", action="store_true", help="go on after a failing history")
    ap.add_argument("--again", help="run the steps of a replay script once more, verbosely")
    ap.add_argument("--jobs", type=int, default=1, help="histories run side by side (default 1)")
    a = ap.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))
    began = time.monotonic()
    if a.again:
        work = tempfile.mkdtemp(prefix="ovsim-work-")
        sim = Sim(os.path.abspath(a.bin), work)
        try:
            r = sim.history(replayed(a.again))
            print("\n".join(sim.script))
            print(open(sim.logfile).read(), sim.files())
            print("result:", r)
        finally:
            sim.close()
            shutil.rmtree(work, ignore_errors=True)
        return 1 if r else 0
    out = a.out or tempfile.mkdtemp(prefix="ovsim-")
    os.makedirs(out, exist_ok=True)
    plan = []   # (seed or replay script, steps)
    for line in open(a.seeds_file) if a.seeds_file else []:
        f = line.split("#")[0].split()
        if f and f[0].endswith(".sh"):
            path = os.path.join(os.path.dirname(a.seeds_file), f[0])
            plan.append((f[0], replayed(path)))
        elif f:   # SEED [LENGTH [large]]
            steps = generate(int(f[0]), int(f[1]) if len(f) > 1 else a.length)
            plan.append((int(f[0]), with_bulk(int(f[0]), steps, True) if f[2:] == ["large"] else steps))
    seed = a.seed if a.seed is not None else int(time.time()) % 1000000 * 1000
    jobs = max(1, a.jobs)
    shares = [(a, plan[k::jobs], seed + k, jobs, out, began) for k in range(jobs)]
    if jobs == 1:
        results = [run(*shares[0])]
    else:   # histories side by side, each worker with a node space and drive root of its own
        with multiprocessing.get_context("fork").Pool(jobs) as pool:
            results = pool.starmap(run, shares)
    st = {key: sum(r[0][key] for r in results) for key in results[0][0]}
    failures = [f for r in results for f in r[1]]
    print("simulate: %d histories, %d steps, %d kills, %d faults, %d loads checked, %d failed, %.0f s"
          % (st["histories"], st["steps"], st["kills"], st["faults"], st["loads"], len(failures),
             time.monotonic() - began))
    return 1 if failures else 0


def run(a, plan, seed, stride, out, began):
    """Runs the planned histories, then fresh ones from seed on (every
    stride-th) until this worker's share of the steps or the minutes are
    spent; returns (stats, failures)."""
    work = tempfile.mkdtemp(prefix="ovsim-work-")
    sim = Sim(os.path.abspath(a.bin), work)
    failures = []
    try:
        while True:
            if plan:
                s, steps = plan.pop(0)
            else:
                if sim.stats["steps"] * stride >= a.steps or (a.minutes and time.monotonic() - began > a.minutes * 60):
                    break
                s, steps = seed, with_bulk(seed, generate(seed, a.length))
                seed += stride
            r = sim.history(steps)
            if not r:
                continue
            at, text = r
            print("FAIL seed %s step %d: %s" % (s, at, text), flush=True)
            short, again = shrink(sim, steps, at, text, a.shrink_seconds)
            path = os.path.join(out, "replay-%s.sh" % os.path.basename(str(s)).replace(".sh", ""))
            with open(path, "w") as f:
                f.write(replay(sim, s, at, text, short, again))
            print("  shortened to %d steps%s; replay script: %s" % (
                len(short), "" if again else " (did not fail again)", path), flush=True)
            if again:
                print("  fails with: %s" % again[1], flush=True)
            failures.append((s, at, text))
            if not a.keep_going:
                break
    finally:
        sim.close()
        shutil.rmtree(work, ignore_errors=True)
    return sim.stats, failures


if __name__ == "__main__":
    sys.exit(main())
