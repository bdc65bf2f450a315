"""What must survive: the simulator's model of a plant's retained values.

The model knows only what a user sees: the node table (`ovnode list`), the
exit status of each command, the service's log lines, its status record and
what `ovnode retain-dump` shows of each file in the retain directory. Per node
(a name with its type and size) it keeps every value the node was given, in
order, and two marks into that history:

  fidx     the oldest value the retain file (with its journal) may hold: set
           when a save or a journal append is reported done; a load must give
           this value or a newer one written since;
  durable  the newest value a user wrote (or loaded) that a save or append
           made durable (its index); it must stay either in the node or
           readable (it or a newer one) from a file of the retain directory.

Values a rebuilt node space starts with (layout defaults) are not the user's:
saving them supersedes nothing. Each check returns a list of failure texts.
"""

# The service's own routine warnings: they say what it did, not that
# something failed. Every other WRN or ERR line counts as a failure reported.
ROUTINE_WRN = ("Retained file hash code does not match", "current hash code", "file hash code",
               "Retained file kept as", "Retained file migrated by name", "Retained file layout differs under",
               "Retain file saved again after")
STATUS_NODES = {"Live", "SaveCount", "LoadCount", "Save", "Load", "Status", "Error"}


def is_plant(name):
    return name.startswith("P.")


def reports_failure(lines):
    """Whether log lines contain a failure said aloud."""
    for level, text in lines:
        if level == "ERR":
            return True
        if level == "WRN" and not text.startswith(ROUTINE_WRN) and " removed: " not in text:
            return True
    return False


def cut_match(value, other, kind):
    """A text or byte range cut short or zero-filled from `other` (a resize)."""
    if kind == 12:
        return isinstance(value, str) and isinstance(other, str) and other.startswith(value)
    if kind == 13 or kind not in (1, 3, 4, 5, 6, 7):
        a, b = str(value).rstrip("0"), str(other).rstrip("0")
        return a == b[:len(a)] if len(a) <= len(b) else a.startswith(b) and set(a[len(b):]) <= {"0"}
    return False


class Node:
    def __init__(self):
        self.hist = []        # [value, ...] in the order the node held them
        self.real = []        # parallel: the user's (written, loaded) or a default
        self.fidx = None      # see the module text
        self.durable = None   # an index into hist, or None


class Model:
    def __init__(self):
        self.nodes = {}           # (name, type, size) -> Node
        self.table = []           # the node table as last read: [(name, type, size, value)]
        self.run_layout = None    # table (name, type, size) when the running service started
        self.file_layout = None   # layout of the retain file the model expects in place
        self.file_ok = False      # that file is intact: a load of it must succeed
        self.adopted = False      # the node space adopted the file (loaded or saved it)
        self.dirty = False        # a plant value changed since the last durable point
        self.tolerated = set()    # values of another node space that legitimately wrote here
        self.flipped = False      # a bit of the retain file flipped since the last save...
        self.unchecked = False    # ...and its check record damaged or gone: no load can tell

    # ---- the table
    def key_of(self, row):
        return (row[0], row[1], row[2])

    def plant(self):
        return [r for r in self.table if is_plant(r[0])]

    def current(self, key):
        n = self.nodes.get(key)
        return n.hist[-1] if n and n.hist else None

    def setting(self, name, default=0):
        for r in self.table:
            if r[0] == "SERVICE.OvRetain." + name:
                return r[3]
        return default

    def layout(self):
        return [self.key_of(r) for r in self.table]

    def held(self, key, value, real):
        n = self.nodes.setdefault(key, Node())
        if not n.hist or n.hist[-1] != value or n.real[-1] != real:
            n.hist.append(value)
            n.real.append(real)

    def rebuilt(self, table):
        """A node space built afresh from the layout: defaults, nothing adopted."""
        self.table = table
        self.adopted = False
        self.run_layout = None
        for r in self.plant():
            self.held(self.key_of(r), r[3], False)

    def acceptable(self, n):
        """What a load may give: the value made durable, or one the user
        wrote (or loaded) since; never a default the node space was rebuilt with."""
        return [n.hist[n.fidx]] + [v for v, real in zip(n.hist[n.fidx + 1:], n.real[n.fidx + 1:]) if real]

    def foreign(self, key, value):
        """Whether value is one the node never held, under any size of its name."""
        n = self.nodes.get(key)
        if n and value in n.hist or value in self.tolerated:
            return False
        for (name, kind, _size), other in self.nodes.items():
            if name == key[0] and kind == key[1] and any(cut_match(value, h, kind) for h in other.hist):
                return False
        return True

    # ---- events reported by the executables
    def wrote(self, key, value, live=False):
        """A user's write (live: while the service runs, which notices it)."""
        self.dirty |= live and value != self.current(key)
        self.held(key, value, True)

    def durable_now(self):
        """A save or a journal append was reported done: the file holds what
        the nodes hold now; the user's values among them are durable."""
        for r in self.plant():
            n = self.nodes[self.key_of(r)]
            n.fidx = len(n.hist) - 1
            if n.real[-1]:
                n.durable = len(n.hist) - 1
        self.file_layout = self.run_layout or self.layout()
        self.flipped = self.unchecked = False
        self.file_ok = True
        self.adopted = True
        self.dirty = False

    def compatible(self, old, new):
        """A file of layout old stays the file of layout new: equal, or only
        the service's own configuration nodes added."""
        if old is None:
            return False
        if old == new:
            return True
        return [k for k in new if not k[0].startswith("SERVICE.OvRetain.")] == \
            [k for k in old if not k[0].startswith("SERVICE.OvRetain.")] and set(old) <= set(new)

    def started(self, lines):
        """The start-up check ran: a file of another layout is kept aside
        (values stay in its .old), or migrated by name with Migrate."""
        layout = self.layout()
        self.run_layout = layout
        migrated = any(t.startswith("Retained file migrated by name") for _l, t in lines)
        # A compatible file is migrated into the new layout, unless that could
        # not be written (a full disk): then it was kept aside like any other.
        failed = any(t.startswith("Retained file check: the old file was kept aside; ") for _l, t in lines)
        if self.file_layout is None or self.compatible(self.file_layout, layout) and not failed:
            if self.file_layout is not None:
                self.file_layout = layout
            return
        keep = set(self.file_layout) & set(layout) if migrated else set()
        for key, n in self.nodes.items():
            if key not in keep:
                n.fidx = None
        self.file_layout = layout if migrated else None
        self.file_ok = migrated and self.file_ok
        self.adopted = False

    def damaged(self):
        """The retain file or its journal was damaged: it is no longer the
        file the node space adopted."""
        self.file_ok = False
        self.adopted = False

    # ---- checks
    def check_unchanged(self, table, why):
        """Outside loads and restores, plant nodes change only by writes."""
        fails = []
        for r in table:
            if is_plant(r[0]) and self.key_of(r) in self.nodes and self.current(self.key_of(r)) != r[3]:
                fails.append("%s: %s holds %r, expected %r (%s)" % ("node changed without a load", r[0], r[3],
                                                                  self.current(self.key_of(r)), why))
        return fails

    def check_load(self, table, ok, lines, expect_ok):
        """After a load reported as ok (or failed): every node of the file's
        layout holds its newest durable value or a newer one, no node holds
        bytes of another node, a failed load changed nothing, an intact file
        of a compatible layout loads."""
        fails = []
        said = reports_failure(lines)
        # Without its check record, a file that two records of its hash and
        # length describe (a type changed at equal size) cannot be told apart.
        ambiguous = self.unchecked and any(l == "ERR" and "more than one of the" in t for l, t in lines)
        if not ok:
            fails += self.check_unchanged(table, "a failed load")
            if expect_ok and not said:
                fails.append("intact retain file not loaded, nothing reported")
            elif expect_ok and not ambiguous:
                fails.append("intact retain file refused: " + "; ".join(t for l, t in lines if l in ("ERR", "WRN"))[:300])
            self.table = table
            return fails
        for r in table:
            if not is_plant(r[0]):
                continue
            key, v = self.key_of(r), r[3]
            n = self.nodes.setdefault(key, Node())
            if self.foreign(key, v) and self.flipped and self.unchecked:
                self.tolerated.add(v)   # the flipped bytes themselves
            elif self.foreign(key, v):
                fails.append("bytes of another node: %s holds %r after a load" % (r[0], v))
                continue
            if n.fidx is not None and v not in self.acceptable(n) and not said and v not in self.tolerated:
                fails.append("load reported success, %s holds %r, not its durable %r or newer"
                             % (r[0], v, n.hist[n.fidx]))
            real = True
            if v in n.hist:
                real = n.real[len(n.hist) - 1 - n.hist[::-1].index(v)]
            self.held(key, v, real)
        self.table = table
        self.adopted = True
        return fails

    def check_restore(self, table, live, tolerated):
        fails = []
        for r in table:
            if is_plant(r[0]) and self.current(self.key_of(r)) != r[3]:
                if self.foreign(self.key_of(r), r[3]) and r[3] not in tolerated:
                    fails.append("bytes of another node: %s holds %r after retain-restore" % (r[0], r[3]))
                self.wrote(self.key_of(r), r[3], live)
        self.table = table
        return fails

    def lost(self, dumps, files_only=False):
        """Durable values neither in the nodes nor in any file's dump (where
        a newer value of the user's counts: it superseded the durable one).
        dumps: [(file, {(name, type, size): value})]."""
        missing = []
        for key, n in self.nodes.items():
            if n.durable is None or not any(self.key_of(r) == key for r in self.table):
                continue
            if self.current(key) == n.hist[n.durable] and not files_only:
                continue
            newer = [n.hist[n.durable]] + [v for v, real in zip(n.hist[n.durable + 1:], n.real[n.durable + 1:])
                                           if real]
            if any(d.get(key) in newer for _f, d in dumps):
                continue
            missing.append(key)
        return missing

    def forget_durable(self):
        """A layout record was damaged: which files it named can no longer be
        proven, so what only they held is given up."""
        for n in self.nodes.values():
            n.durable = None

    def check_durable(self, dumps, forgive):
        """Nothing durable lost beyond recovery with retain-dump/retain-restore.
        With forgive (right after a fault the simulator caused) the values
        the fault destroyed are dropped from what must survive."""
        fails = []
        for key in self.lost(dumps, forgive):
            n = self.nodes[key]
            if forgive:
                n.durable = None
            else:
                fails.append("durable value lost: %s = %r is in no node and no file" % (key[0], n.hist[n.durable]))
        return fails
