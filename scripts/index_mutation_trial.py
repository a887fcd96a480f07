#!/usr/bin/env python3
"""Outside trial of the index edit path: damages copies of index files one mutation at a time and
runs an editing command between two `vxdbf check --json` runs, counting what the edit did.

The bases are tables built with vxdbf (small and multi-level tags, unique and FOR tags) and the
tables of the shared corpus whose .MDX check finds sound. Each trial copies one base into a
scratch folder, applies one mutation to its .MDX (file header fields, a tag-table entry, a tag
header field, a node's key count, a child pointer, truncation, a random byte), runs check, one edit
(append, set, delete or recall) and check again, and counts:

  refused      the edit exited non-zero
  accepted     the edit exited 0
  damaged_ok   accepted although check called a tag the edit touched damaged before it
  worse        accepted and check afterwards reports a problem it did not report before
  changed_bad  exited non-zero but the table's bytes changed
  crashes      killed by a signal or timed out

With --repair each trial ends with `check --repair` and counts:

  repaired           check finds nothing afterwards
  repair_unreadable  the index opened before the repair but not after it
  repair_lost        the table's bytes changed under the repair (it rebuilds tags only)

Usage: nice -n 19 scripts/index_mutation_trial.py --vxdbf build/tools/vxdbf/vxdbf \
           [--count 2000] [--seconds 1200] [--seed 1] [--work /tmp/vx-index-trial]
"""

import argparse
import json
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import time

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "shared",
                      "corpus")


def run(vxdbf, args, stdin=""):
    try:
        r = subprocess.run([vxdbf] + args, input=stdin.encode(), capture_output=True, timeout=60)
        return r.returncode, r.stdout.decode(errors="replace"), r.stderr.decode(errors="replace")
    except subprocess.TimeoutExpired:
        return -999, "", "timeout"


def check(vxdbf, table):
    """Answers (status, {tag name or "*": set of problems}); "*" holds file-level problems."""
    status, out, _ = run(vxdbf, ["check", table, "--json"])
    found = {}
    try:
        report = json.loads(out)
        for p in report.get("problems", []):
            where = p["where"]
            tag = where[4:] if where.startswith("tag ") else "*"
            found.setdefault(tag, set()).add(p["problem"])
    except (ValueError, KeyError):
        found["*"] = {"no report: " + out[:80]}
    return status, found


def table_info(vxdbf, table):
    status, out, _ = run(vxdbf, ["info", table, "--json"])
    return json.loads(out) if status == 0 else None


def tag_list(vxdbf, table):
    """The (name, key, for) of each tag of a sound index."""
    status, out, _ = run(vxdbf, ["tags", table, "--json"])
    if status != 0:
        return None
    return [(t["name"], t["key"].upper(), t["for"].upper()) for t in json.loads(out)]


def tags_as_read(vxdbf, table, base_tags):
    """The base's tags with the definitions the damaged index now gives where it still gives
    one: an edit changes a tag as its header defines it (a FOR condition the damage erased no
    longer decides which records the tag holds)."""
    _, out, _ = run(vxdbf, ["tags", table, "--json"])
    try:
        now = {t["name"]: (t["name"], t["key"].upper(), t["for"].upper())
               for t in json.loads(out) if "key" in t and "for" in t}
    except (ValueError, TypeError, KeyError):
        now = {}
    return [now.get(tag[0], tag) for tag in base_tags]


def build_bases(vxdbf, work):
    """vxdbf-built tables: answers a list of table paths."""
    bases = []
    for shape, rows in (("small", 12), ("deep", 400)):
        folder = os.path.join(work, "base-" + shape)
        os.makedirs(folder, exist_ok=True)
        table = os.path.join(folder, "T.DBF")
        run(vxdbf, ["create", table, "--field", "NAME,C,12", "--field", "CITY,C,10", "--field",
                    "N,N,6", "--field", "D,D,8"])
        lines = ["NAME,CITY,N,D"]
        for i in range(rows):
            lines.append("n%d,%s,%d,%04d-%02d-%02d" % ((i * 7919) % rows, ("Paris", "Rome", "Oslo")[i % 3],
                                                        i, 1950 + i % 60, 1 + i % 12, 1 + i % 28))
        run(vxdbf, ["append", table], "\n".join(lines) + "\n")
        for tag in (["--tag", "NAME", "--key", "UPPER(NAME)"],
                    ["--tag", "CITY", "--key", "CITY", "--unique"],
                    ["--tag", "WIDE", "--key", "NAME+SPACE(88)"],
                    ["--tag", "NUM", "--key", "N", "--descending"],
                    ["--tag", "DAY", "--key", "D", "--for", ".NOT.DELETED()"]):
            run(vxdbf, ["index", table] + tag)
        if check(vxdbf, table)[0] == 0:
            bases.append(table)
    return bases


def corpus_bases(vxdbf, work, limit):
    bases = []
    if not os.path.isdir(CORPUS):
        return bases
    for root, _, files in sorted(os.walk(CORPUS)):
        for f in sorted(files):
            if not f.lower().endswith(".mdx") or len(bases) >= limit:
                continue
            stem = f[:-4]
            dbfs = [g for g in files if g.lower() == (stem + ".dbf").lower()]
            if not dbfs or os.path.getsize(os.path.join(root, f)) > 400_000:
                continue
            folder = os.path.join(work, "corpus-%d" % len(bases))
            os.makedirs(folder, exist_ok=True)
            for g in files:
                if g.lower().startswith(stem.lower() + "."):
                    shutil.copy(os.path.join(root, g), os.path.join(folder, g))
            table = os.path.join(folder, dbfs[0])
            if check(vxdbf, table)[0] == 0 and tag_list(vxdbf, table):
                bases.append(table)
            else:
                shutil.rmtree(folder)
    return bases


def mdx_of(table):
    folder, name = os.path.split(table)
    stem = os.path.splitext(name)[0].lower()
    for g in os.listdir(folder):
        if g.lower() == stem + ".mdx":
            return os.path.join(folder, g)
    return None


def mutate(data, rng):
    """One mutation of an index file's bytes; answers (kind, new bytes)."""
    b = bytearray(data)
    tags = b[28] if len(b) > 28 else 0
    entry = lambda i: 512 + 32 * i
    header_page = lambda i: struct.unpack_from("<I", b, entry(i))[0]
    kind = rng.choice(["header", "entry", "tag header", "node count", "child pointer",
                       "truncate", "random byte", "root pointer"])
    if kind == "header":
        at = rng.choice([0, 20, 21, 22, 23, 25, 26, 28, 32, 33])
        b[at] = rng.choice([0, 1, 2, 3, 0x29, 47, 48, 255, b[at] ^ 0xFF])
    elif kind == "entry" and tags:
        i = rng.randint(1, tags)
        at = entry(i) + rng.choice([0, 1, 4, 16, 17, 18, 20])
        if at == entry(i):
            struct.pack_into("<I", b, at, rng.choice([header_page(rng.randint(1, tags)),
                                                      rng.randint(0, len(b) // 512 + 8)]))
        else:
            b[at] = rng.randint(0, 255)
    elif kind in ("tag header", "root pointer", "node count", "child pointer") and tags:
        i = rng.randint(1, tags)
        h = header_page(i) * 512
        if h + 1024 > len(b):
            b[rng.randrange(len(b))] ^= 0xFF
            return "random byte", bytes(b)
        root = struct.unpack_from("<I", b, h)[0]
        if kind == "tag header":
            at = h + rng.choice([8, 9, 12, 13, 14, 18, 23, 24, 245, 246, 762])
            b[at] = rng.choice([0, 1, 8, 12, 41, ord("C"), ord("N"), ord("X"), 255])
        elif kind == "root pointer":
            pages = len(b) // 512
            choices = [header_page(rng.randint(1, tags)), pages + 100, 0, 2, rng.randrange(pages)]
            struct.pack_into("<I", b, h, rng.choice(choices))
        else:
            n = root * 512
            if n + 1024 > len(b):
                b[rng.randrange(len(b))] ^= 0xFF
                return "random byte", bytes(b)
            item = struct.unpack_from("<H", b, h + 18)[0] or 16
            count = struct.unpack_from("<H", b, n)[0]
            if kind == "node count":
                struct.pack_into("<H", b, n, rng.choice([0, count + 1, 200, 0xFFFF]))
            else:
                slot = rng.randint(0, count)
                pages = len(b) // 512
                at = n + 8 + slot * item
                if at + 4 <= len(b):
                    struct.pack_into("<I", b, at, rng.choice(
                        [header_page(rng.randint(1, tags)), pages + 50, root, rng.randrange(pages)]))
    elif kind == "truncate":
        b = b[:rng.choice([2048, 3071, max(3072, len(b) - 512), max(3072, len(b) - 1024)])]
    else:
        kind = "random byte"
        b[rng.randrange(len(b))] ^= 1 << rng.randrange(8)
    return kind, bytes(b)


def tag_values(vxdbf, table, n, tags):
    """Each tag's (key, FOR) values for record n, as vxdbf eval shows them (None: no value)."""
    values = []
    for _, key, condition in tags:
        pair = []
        for expr in (key, condition or ".T."):
            status, out, _ = run(vxdbf, ["eval", expr, "--table", table, "--record", str(n),
                                         "--format", "jsonl"])
            pair.append(out if status == 0 else None)
        values.append(tuple(pair))
    return values


def meets(condition):
    """Whether a FOR value from tag_values holds (a value that cannot be made counts as held)."""
    return condition is None or '"value": false' not in condition


def tag_touched(before, after):
    """Whether an edit that took a tag's (key, FOR) values from `before` (None: the record is
    appended) to `after` changes, inserts or removes a key in the tag."""
    if None in after:
        return True
    if before is None:
        return meets(after[1])
    if None in before:
        return True
    was, now = meets(before[1]), meets(after[1])
    return was != now or (now and before[0] != after[0])


def deletion_flag(dbf, info, n):
    """The first byte of record n as stored."""
    at = info["header_length"] + (n - 1) * info["record_length"]
    return dbf[at:at + 1]


def choose_edit(info, tags, rng, dbf):
    """Answers (args after the table, stdin, touched tag names): the tags whose key the edit
    changes (a set of a field the key or FOR expression names, a deletion mark that changes under
    a FOR condition that names DELETED(), every tag for an append)."""
    fields = info["fields"]
    records = info["records"]
    text = [f for f in fields if f["type"] == "C" and f["length"] >= 2]
    numbers = [f for f in fields if f["type"] == "N" and f["length"] >= 3 and f.get("decimals", 0) == 0]
    kinds = ["append", "set", "delete", "recall"] if records else ["append"]
    kind = rng.choice(kinds)
    names = [t[0] for t in tags]
    if kind == "append":
        f = rng.choice(text or numbers or fields)
        value = "zz%d" % rng.randint(0, 99) if f["type"] == "C" else str(rng.randint(0, 99))
        return ["append"], "%s\n%s\n" % (f["name"], value[:f["length"]]), names
    n = str(rng.randint(1, records))
    if kind == "set" and (text or numbers):
        f = rng.choice(text + numbers)
        value = "q%d" % rng.randint(0, 999) if f["type"] == "C" else str(rng.randint(0, 99))
        touched = [t[0] for t in tags if re.search(r"\b%s\b" % re.escape(f["name"].upper()), t[1] + " " + t[2])]
        return ["set", n, "%s=%s" % (f["name"], value[:f["length"]])], "", touched
    kind = "delete" if kind == "set" else kind
    flag = deletion_flag(dbf, info, int(n))
    flips = (kind == "delete") == (flag != b"*")
    touched = [t[0] for t in tags if "DELETED" in t[2]] if flips else []
    return [kind, n], "", touched


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--vxdbf", required=True)
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--seconds", type=int, default=1200)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--work", default="/tmp/vx-index-trial")
    parser.add_argument("--corpus-bases", type=int, default=12)
    parser.add_argument("--show", type=int, default=5, help="examples printed per finding")
    parser.add_argument("--repair", action="store_true", help="end each trial with check --repair")
    a = parser.parse_args()
    vxdbf = os.path.abspath(a.vxdbf)
    shutil.rmtree(a.work, ignore_errors=True)
    os.makedirs(a.work)
    rng = random.Random(a.seed)
    bases = build_bases(vxdbf, a.work) + corpus_bases(vxdbf, a.work, a.corpus_bases)
    base_data = []
    for table in bases:
        base_data.append((table, table_info(vxdbf, table), tag_list(vxdbf, table)))
    print("bases: %d (%s)" % (len(bases), ", ".join(os.path.relpath(t, a.work) for t in bases)))
    counts = {k: 0 for k in ("trials", "refused", "accepted", "damaged_ok", "worse", "changed_bad",
                             "crashes", "damaged_before", "repaired", "repair_unreadable",
                             "repair_lost")}
    examples = {k: [] for k in counts}
    kinds = {}
    start = time.time()
    scratch = os.path.join(a.work, "trial")
    def repair(t, what):
        if not a.repair:
            return
        opens = "index_tags" in (table_info(vxdbf, t) or {})
        with open(t, "rb") as f:
            dbf = f.read()
        status, _, err = run(vxdbf, ["check", t, "--repair"])
        if status < 0 or status > 4:
            counts["crashes"] += 1
            examples["crashes"].append(what + " | repair status %d" % status)
        with open(t, "rb") as f:
            if f.read() != dbf and "now counts" not in err:
                counts["repair_lost"] += 1
                examples["repair_lost"].append(what)
        if check(vxdbf, t)[0] == 0:
            counts["repaired"] += 1
        if opens and "index_tags" not in (table_info(vxdbf, t) or {}):
            counts["repair_unreadable"] += 1
            examples["repair_unreadable"].append(what + " | " + err.strip()[:200])

    for trial in range(a.count):
        if time.time() - start > a.seconds:
            break
        table, info, tags = rng.choice(base_data)
        shutil.rmtree(scratch, ignore_errors=True)
        shutil.copytree(os.path.dirname(table), scratch)
        t = os.path.join(scratch, os.path.basename(table))
        mdx = mdx_of(t)
        with open(mdx, "rb") as f:
            kind, damaged = mutate(f.read(), rng)
        with open(mdx, "wb") as f:
            f.write(damaged)
        status_before, before = check(vxdbf, t)
        with open(t, "rb") as f:
            dbf_before = f.read()
        args, stdin, touched = choose_edit(info, tags, rng, dbf_before)
        record = int(args[1]) if args[0] != "append" else info["records"] + 1
        read_tags = tags_as_read(vxdbf, t, tags)
        values_before = tag_values(vxdbf, t, record, read_tags) if args[0] != "append" else None
        status, _, err = run(vxdbf, [args[0], t] + args[1:], stdin)
        with open(t, "rb") as f:
            dbf_after = f.read()
        _, after = check(vxdbf, t)
        counts["trials"] += 1
        if counts["trials"] % 200 == 0:
            print("after %d trials: %s" % (counts["trials"], json.dumps(counts, sort_keys=True)),
                  flush=True)
        kinds[kind] = kinds.get(kind, 0) + 1
        what = "%s: %s %s %s" % (kind, args[0], " ".join(args[1:]), err.strip()[:160])
        damaged_touched = "*" in before or any(name in before for name in touched)
        if damaged_touched:
            counts["damaged_before"] += 1
        if status < 0 or status > 3:
            counts["crashes"] += 1
            examples["crashes"].append(what + " status %d" % status)
            continue
        if status != 0:
            counts["refused"] += 1
            if dbf_before != dbf_after:
                counts["changed_bad"] += 1
                examples["changed_bad"].append(what)
            repair(t, what)
            continue
        counts["accepted"] += 1
        # The tags the edit did change: a tag is touched when the edit changes, inserts or
        # removes a key in it (an appended record: every tag whose FOR condition it meets).
        values_after = tag_values(vxdbf, t, record, read_tags)
        touched = [tag[0] for i, tag in enumerate(tags)
                   if tag_touched(None if values_before is None else values_before[i],
                                  values_after[i])]
        damaged_touched = bool(touched) and ("*" in before or any(name in before for name in touched))
        if damaged_touched:
            counts["damaged_ok"] += 1
            examples["damaged_ok"].append(what + " | before: " +
                                          "; ".join(sorted(p for n in touched + ["*"]
                                                           for p in before.get(n, set())))[:300])
        # A count of all key differences changes with the records; the differences themselves
        # are listed one by one.
        def listed(found):
            return {(n, p) for n, ps in found.items() for p in ps
                    if not p.endswith("key differences in all")}
        new = listed(after) - listed(before)
        if new:
            counts["worse"] += 1
            examples["worse"].append(what + " | new: " + "; ".join("%s: %s" % x for x in sorted(new))[:300])
        repair(t, what)
    counts["seconds"] = int(time.time() - start)
    print("mutations by kind:", json.dumps(kinds, sort_keys=True))
    print(json.dumps(counts, sort_keys=True))
    for k, shown in examples.items():
        for e in shown[:a.show]:
            print("%s: %s" % (k, e))
    return 0 if counts["changed_bad"] == 0 and counts["crashes"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
