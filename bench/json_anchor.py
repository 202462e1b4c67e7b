"""Reference JSON throughput of Python's json and orjson on the bench document.

Usage:
    PVDB_JSON_BENCH_DOC=/tmp/pvdb_json_bench.json build/bench/json_bench
    python3 bench/json_anchor.py /tmp/pvdb_json_bench.json

MB/s is the size of the document in bytes divided by the processor time of one
load or dump (best of several runs): the same basis as the C++ bench's bytes per
second, and less disturbed by other work on a shared machine than wall time.
"""

import json
import sys
import time


def best_seconds(action, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.process_time()
        action()
        best = min(best, time.process_time() - start)
    return best


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "/tmp/pvdb_json_bench.json"
    with open(path, "rb") as file:
        data = file.read()
    size_mb = len(data) / 1e6
    doc = json.loads(data)
    rows = [
        ("json.loads", lambda: json.loads(data)),
        ("json.dumps", lambda: json.dumps(doc, separators=(",", ":"))),
    ]
    try:
        import orjson

        rows += [
            ("orjson.loads", lambda: orjson.loads(data)),
            ("orjson.dumps", lambda: orjson.dumps(doc)),
        ]
    except ImportError:
        print("orjson is not installed (pip install orjson)", file=sys.stderr)
    print(f"document: {size_mb:.1f} MB")
    for name, action in rows:
        seconds = best_seconds(action, 5)
        print(f"{name:14s} {size_mb / seconds:8.1f} MB/s  ({seconds * 1e3:.0f} ms)")


if __name__ == "__main__":
    main()
