#!/usr/bin/env python3
"""Writes the fuzz inputs too large to keep in the repository.

Usage: make_seeds.py OUT
  OUT/corpus  log files of many lines that cross the reader's 8 KiB buffer; they join the
              fuzzing corpus
  OUT/deep    values nested a million levels deep; each target runs them once, since a
              decoder that recursed per level would overflow the stack on them
"""
import os
import sys

DEEP = 1_000_000
ENTRY = '{"id":"a","embedding":[1.0,0.5,-2.25],"metadata":"m","created_at":"t0"}'
UPSERT = '{"op":"upsert","data":%s}' % ENTRY
DELETE = '{"op":"delete","data":{"id":"a"}}'


def arrays(n):
    return "[" * n + "]" * n


def objects(n):
    return '{"a":' * n + "null" + "}" * n


def deep_inputs():
    # Skipped unknown members may nest without limit; held `data` counts every level.
    return {
        "snapshot_skip_arrays.json": '{"dim":0,"entries":[],"x":%s}' % arrays(DEEP),
        "snapshot_skip_objects.json": '{"dim":0,"entries":[],"x":%s}' % objects(DEEP),
        "snapshot_skip_in_entry.json": '{"dim":3,"entries":[{"x":%s,%s]}'
        % (arrays(DEEP), ENTRY[1:]),
        "snapshot_skip_unclosed.json": '{"dim":0,"entries":[],"x":' + "[{\"a\":" * DEEP,
        "wal_skip_in_data.json": '{"op":"delete","data":{"id":"x","x":%s}}' % objects(DEEP),
        "wal_skip_in_record.json": '{"op":"delete","data":{"id":"x"},"note":%s}' % arrays(DEEP),
        "wal_held_deep.json": '{"data":{"id":"x","x":%s},"op":"delete"}' % arrays(DEEP),
        "wal_held_array_deep.json": '{"data":%s,"op":"upsert"}' % arrays(DEEP),
        "wal_record_deep.json": arrays(DEEP),
        "walfile_deep_line.wal": "%s\n%s\n%s\n"
        % (UPSERT, '{"op":"delete","data":{"id":"x","x":%s}}' % arrays(DEEP), DELETE),
    }


def long_logs():
    long_line = '{"op":"upsert","data":{"id":"%s","embedding":[%s],"metadata":"","created_at":""}}' % (
        "L" * 4000,
        ",".join(["0.33333334"] * 500),
    )
    mixed = []
    for i in range(300):
        line = UPSERT if i % 3 else DELETE
        mixed.append(line + ("\r\n" if i % 7 == 0 else "\n") + ("  \n" if i % 11 == 0 else ""))
    return {
        "walfile_many_lines.wal": "".join(mixed),
        "walfile_long_lines.wal": long_line + "\n" + DELETE + "\r\n" + long_line + "\n",
        "walfile_long_torn.wal": UPSERT + "\n" + long_line[: len(long_line) - 5],
    }


def write_all(folder, files):
    os.makedirs(folder, exist_ok=True)
    for name, text in files.items():
        with open(os.path.join(folder, name), "w", encoding="utf-8") as out:
            out.write(text)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    write_all(os.path.join(out, "corpus"), long_logs())
    write_all(os.path.join(out, "deep"), deep_inputs())


if __name__ == "__main__":
    main()
