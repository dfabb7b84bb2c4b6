#!/usr/bin/env python3
"""Checks a soak run: the series directory against the chaos server's log and the driver's.

- every stored file is exactly one body that the server served completely (same SHA-256 and
  size): nothing truncated, nothing made up;
- no complete body is stored twice, and every complete body is stored, except at most one that
  the server completed after the driver's last job had started;
- every file the driver saw appear is still there, and the decoy file placed before the run is
  untouched (nothing overwritten);
- the driver's resident memory after warm-up and at the end differ by no more than a margin.

Prints the figures; exits 1 when a check fails.
"""

import argparse
import collections
import hashlib
import json
import os
import sys


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def read_served(path):
    records = []
    with open(path, encoding="utf-8") as stream:
        for line in stream:
            record = json.loads(line)
            if not record.get("summary"):
                records.append(record)
    return records


def read_driver(path):
    jobs = []
    figures = {}
    with open(path, encoding="utf-8") as stream:
        for line in stream:
            words = line.split()
            if not words:
                continue
            if words[0] == "job":
                jobs.append({"counter": int(words[3]), "ms": int(words[5]), "stored": words[7],
                             "stopped": "stopped" in words[8:]})
            elif words[0] in ("start", "end", "summary"):
                figures[words[0]] = dict(zip(words[1::2], (int(w) for w in words[2::2])))
    return jobs, figures


def read_memory(path):
    samples = []
    with open(path, encoding="utf-8") as stream:
        for line in stream:
            t, rss, hwm = line.split()
            samples.append((float(t), int(rss), int(hwm)))
    return samples


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--served", required=True, help="the chaos server's log")
    parser.add_argument("--driver-log", required=True)
    parser.add_argument("--memory", required=True, help="lines: seconds VmRSS VmHWM (KiB)")
    parser.add_argument("--dir", required=True, help="the series directory")
    parser.add_argument("--decoy", required=True, help="file name placed before the run")
    parser.add_argument("--decoy-content", required=True)
    parser.add_argument("--warmup", type=float, default=10.0)
    parser.add_argument("--margin-kib", type=int, default=16384)
    args = parser.parse_args()

    failures = []
    served = read_served(args.served)
    jobs, figures = read_driver(args.driver_log)
    complete = {r["sha256"]: r for r in served if r["complete"]}
    if len(complete) != sum(1 for r in served if r["complete"]):
        failures.append("two complete bodies share a checksum: the bodies are not unique")

    files = sorted(n for n in os.listdir(args.dir) if n != args.decoy)
    stored = collections.Counter()
    for name in files:
        path = os.path.join(args.dir, name)
        digest = sha256_of(path)
        record = complete.get(digest)
        if record is None:
            size = os.path.getsize(path)
            partial = [r["seq"] for r in served if not r["complete"] and r["size"] > size]
            failures.append("%s (%d bytes) is no complete body%s" % (
                name, size, " (truncated?)" if partial else ""))
            continue
        stored[digest] += 1
        if stored[digest] == 2:
            failures.append("body %d is stored twice" % record["seq"])

    # Only the very last answer may have completed after the driver's time was up.
    last_start = max((r["start"] for r in served), default=None)
    missing = [r for d, r in complete.items() if d not in stored]
    allowed = [r for r in missing if r["start"] == last_start]
    if len(missing) > 1 or len(missing) != len(allowed):
        for r in missing:
            failures.append("complete body %d (%s, %d bytes) was not stored" % (
                r["seq"], r["kind"], r["size"]))

    seen = [j["stored"] for j in jobs if j["stored"] != "-"]
    for name in seen:
        if not os.path.exists(os.path.join(args.dir, name)):
            failures.append("%s, stored by a job, has gone" % name)
    if len(seen) != len(files):
        failures.append("the driver saw %d files appear, the directory holds %d" % (
            len(seen), len(files)))
    with open(os.path.join(args.dir, args.decoy), "rb") as stream:
        if stream.read() != args.decoy_content.encode():
            failures.append("the decoy file was overwritten")

    samples = read_memory(args.memory)
    warm = [s for s in samples if s[0] >= args.warmup]
    if len(warm) < 2:
        failures.append("too few memory samples after warm-up (%d)" % len(warm))
    else:
        start, end = warm[0], warm[-1]
        if end[1] - start[1] > args.margin_kib:
            failures.append("VmRSS grew by %d KiB after warm-up" % (end[1] - start[1]))
        if end[2] - start[2] > args.margin_kib:
            failures.append("VmHWM grew by %d KiB after warm-up" % (end[2] - start[2]))

    kinds = collections.Counter(r["kind"] for r in served)
    kinds_complete = collections.Counter(r["kind"] for r in complete.values())
    details = collections.Counter(r["detail"] for r in served if r["kind"] == "garbage")
    print("answers served: %d (%s)" % (len(served), ", ".join(
        "%s %d" % (k, kinds[k]) for k in sorted(kinds))))
    print("garbage kinds: %s" % ", ".join("%s %d" % (k, details[k]) for k in sorted(details)))
    print("complete answers: %d (%s)" % (len(complete), ", ".join(
        "%s %d" % (k, kinds_complete[k]) for k in sorted(kinds_complete))))
    print("jobs: %d, files stored: %d, jobs stopped after the driver's time-out: %d, "
          "ticks dropped: %d" % (len(jobs), len(files), sum(j["stopped"] for j in jobs),
                                 figures.get("summary", {}).get("dropped_ticks", -1)))
    print("stored bytes: %d" % sum(os.path.getsize(os.path.join(args.dir, n)) for n in files))
    if missing:
        print("complete but not stored: %s" % ", ".join(str(r["seq"]) for r in missing))
    if figures.get("start") and figures.get("end"):
        print("driver's own figures: start VmRSS %d KiB VmHWM %d KiB, end VmRSS %d KiB "
              "VmHWM %d KiB" % (figures["start"]["rss_kib"], figures["start"]["hwm_kib"],
                                figures["end"]["rss_kib"], figures["end"]["hwm_kib"]))
    if len(warm) >= 2:
        print("sampled after %.0f s warm-up: VmRSS %d -> %d KiB, VmHWM %d -> %d KiB "
              "(margin %d KiB)" % (args.warmup, warm[0][1], warm[-1][1], warm[0][2], warm[-1][2],
                                   args.margin_kib))
    if failures:
        print("SOAK FAILED:")
        for failure in failures:
            print("  " + failure)
        return 1
    print("soak passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
