"""pelmor_vector_db against peer ANN libraries and JSON anchors, in one run.

    python bench/compare.py            # full run: 100,000 x 128 and 20,000 x 384 (about 10 minutes)
    python bench/compare.py --quick    # small sizes, about a minute
    python bench/compare.py --data real --impls ours,hnswlib --no-io
                                       # sentence embeddings of real text (bench/real_data.py)
    python bench/compare.py --sweep    # growth with size, 10,000 to 1,000,000 records (about 45 minutes a round)

Every implementation runs in its own subprocess on the same seeded data, so that its
peak RSS (VmHWM) is its own. Results go to bench/out/results.md and results.png
(with --sweep: sweep.md and sweep.png); bench/README.md explains each figure.
"""
import argparse
import importlib.util
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

from compare_report import plot, plot_sweep, write_markdown, write_sweep_markdown

M, EF_CONSTRUCTION, EF_SEARCH, TOP_K = 32, 100, 100, 10
EF_SWEEP = [10, 20, 40, 70, 100, 150, 250, 400]
# The peers' settings in the scale sweep, around ef 100: enough to read off their speed at
# our recall.
EF_AROUND = [40, 70, 100, 150, 250, 400]
PEERS = ["hnswlib", "faiss", "usearch", "numpy"]
MODULES = {"ours": "pelmor_vector_db", "hnswlib": "hnswlib", "faiss": "faiss", "usearch": "usearch",
           "numpy": "numpy"}
OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "out")


# ---------------------------------------------------------------- data

def clustered(rng, count, dim, centres, spread=1.0):
    """Gaussian clusters around `centres`, float32."""
    labels = rng.integers(0, len(centres), size=count)
    noise = rng.standard_normal((count, dim), dtype=np.float32) * spread
    return (centres[labels] + noise).astype(np.float32)


def make_data(folder, count, dim, queries, seed):
    """Writes base vectors, held-out queries and the exact top 10 by cosine as .npy files."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((max(10, count // 1000), dim), dtype=np.float32)
    base, query = clustered(rng, count, dim, centres), clustered(rng, queries, dim, centres)
    paths = {name: os.path.join(folder, f"{name}_{count}x{dim}.npy") for name in ("base", "query", "truth")}
    np.save(paths["base"], base)
    np.save(paths["query"], query)
    np.save(paths["truth"], exact_top(base, query))
    return paths


REAL_VARIANTS = ("full", "20000", "pca128", "dup20")


def real_variant(base, query, variant, seed):
    """The real base in another shape, each isolating one trait of real data:
    `20000`, its first rows; `pca128`, projected on its 128 principal axes (real
    anisotropy at the synthetic sets' width); `dup20`, with a fifth of its rows
    replaced by exact copies of other rows. None for the base as it is."""
    if variant == "full":
        return None
    if variant.isdigit():
        return base[:int(variant)], query
    if variant == "pca128":
        centre = base.mean(axis=0)
        axes = np.linalg.svd(base - centre, full_matrices=False)[2][:128].T
        return ((base - centre) @ axes).astype(np.float32), ((query - centre) @ axes).astype(np.float32)
    if variant == "dup20":
        rng = np.random.default_rng(seed)
        copied = rng.choice(len(base), size=len(base) // 5, replace=False)
        base = base.copy()
        base[copied] = base[rng.integers(0, len(base), size=len(copied))]
        return base, query
    raise ValueError(f"unknown real variant {variant!r}; known: {', '.join(REAL_VARIANTS)}")


def real_data_paths(folder, queries, variant="full", seed=7):
    """The dataset of bench/real_data.py as the same three .npy files, with the first
    `queries` of its held-out queries; its key names the size as the synthetic ones do."""
    import real_data
    base, query, truth = real_data.load()
    query, truth = query[:queries], truth[:queries]
    changed = real_variant(base, query, variant, seed)
    if changed is not None:
        base, query = changed
        truth = real_data.exact_top(base, query)[0]
    paths = {name: os.path.join(folder, f"{name}_real_{variant}.npy") for name in ("base", "query", "truth")}
    np.save(paths["base"], base)
    np.save(paths["query"], query)
    np.save(paths["truth"], truth)
    label = "real" if variant == "full" or variant.isdigit() else f"real {variant}"
    return f"{len(base)}x{base.shape[1]} {label}", dict(paths, tie_aware=True), len(query)


def unit(x):
    return x / np.maximum(np.linalg.norm(x, axis=1, keepdims=True), 1e-30)


def exact_top(base, query, block=256):
    """Brute-force cosine top 10 of every query, nearest first."""
    normed, result = unit(base), []
    for start in range(0, len(query), block):
        sims = unit(query[start:start + block]) @ normed.T
        top = np.argpartition(-sims, TOP_K, axis=1)[:, :TOP_K]
        order = np.argsort(-np.take_along_axis(sims, top, axis=1), axis=1)
        result.append(np.take_along_axis(top, order, axis=1))
    return np.concatenate(result).astype(np.int64)


# ---------------------------------------------------------------- index workers (child side)

def status_mb(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    return float("nan")


def peak_rss_mb():
    return status_mb("VmHWM")


def time_queries(search, queries, truth, warmup=50, passes=2, hits_of=None):
    """Single-threaded: one call per query, after a few untimed ones to warm caches. On a
    shared machine other work stretches some passes, so the fastest of `passes` counts.
    Returns QPS, p50 and p99 in ms, recall@10 (counted by `hits_of(i, found)` if given,
    else as the share of the true ids found)."""
    for q in queries[:warmup]:
        search(q)
    best = None
    for _ in range(passes):
        latencies, hits = [], 0
        for i, (q, expected) in enumerate(zip(queries, truth)):
            start = time.perf_counter_ns()
            found = search(q)
            latencies.append(time.perf_counter_ns() - start)
            if hits_of:
                hits += hits_of(i, found)
            else:
                hits += len(set(int(x) for x in found[:TOP_K]) & set(expected.tolist()))
        lat = np.array(latencies) / 1e6
        if best is None or lat.mean() < best[0].mean():
            best = lat, hits
    lat, hits = best
    return {"qps": 1000 / lat.mean(), "p50_ms": float(np.percentile(lat, 50)),
            "p99_ms": float(np.percentile(lat, 99)), "recall": hits / (TOP_K * len(queries))}


def build_hnswlib(base, threads):
    import hnswlib
    index = hnswlib.Index(space="cosine", dim=base.shape[1])
    index.init_index(max_elements=len(base), ef_construction=EF_CONSTRUCTION, M=M)
    index.add_items(base, np.arange(len(base)), num_threads=threads)
    index.set_num_threads(1)

    def with_ef(ef):
        index.set_ef(ef)
        return lambda q: index.knn_query(q, k=TOP_K)[0][0]
    return with_ef


def build_faiss(base, threads):
    import faiss
    faiss.omp_set_num_threads(threads)
    normed = base.copy()
    faiss.normalize_L2(normed)
    index = faiss.IndexHNSWFlat(base.shape[1], M, faiss.METRIC_INNER_PRODUCT)
    index.hnsw.efConstruction = EF_CONSTRUCTION
    index.add(normed)
    del normed  # the index keeps its own copy
    faiss.omp_set_num_threads(1)

    def with_ef(ef):
        index.hnsw.efSearch = ef

        def search(q):
            q = q.reshape(1, -1).copy()
            faiss.normalize_L2(q)
            return index.search(q, TOP_K)[1][0]
        return search
    return with_ef


def build_usearch(base, threads):
    from usearch.index import Index
    index = Index(ndim=base.shape[1], metric="cos", dtype="f32", connectivity=M,
                  expansion_add=EF_CONSTRUCTION, expansion_search=EF_SEARCH)
    index.add(np.arange(len(base)), base, threads=threads)

    def with_ef(ef):
        index.expansion_search = ef
        return lambda q: index.search(q, TOP_K, threads=1).keys
    return with_ef


def build_numpy(base, threads):
    normed = unit(base).astype(np.float32)

    def search(q):
        sims = normed @ (q / np.linalg.norm(q))
        top = np.argpartition(-sims, TOP_K)[:TOP_K]
        return top[np.argsort(-sims[top])]
    return lambda ef: search


def run_peer(name, base, queries, truth, threads, hits_of=None, efs=None):
    start = time.perf_counter()
    with_ef = globals()["build_" + name](base, threads)
    result = {"build_s": time.perf_counter() - start, "sweep": {}}
    for ef in ([EF_SEARCH] if name == "numpy" else efs or EF_SWEEP):
        result["sweep"][ef] = time_queries(with_ef(ef), queries, truth, hits_of=hits_of)
    result.update(result["sweep"][EF_SEARCH])
    return result


def run_ours(base, queries, truth, folder, chunk=10_000, hits_of=None):
    """Loads the store in batches (so no second full copy lives in Python objects), then
    times the first search, which builds the index on the worker pool."""
    import pelmor_vector_db as pv
    store = pv.VectorStore.new(os.path.join(folder, "ours.snap"), os.path.join(folder, "ours.wal"))
    for start in range(0, len(base), chunk):
        store.upsert_batch([pv.VectorEntry(str(i), base[i]) for i in range(start, min(start + chunk, len(base)))])
    start = time.perf_counter()
    store.search(queries[0], TOP_K)
    result = {"build_s": time.perf_counter() - start}
    result.update(time_queries(lambda q: [e.id for e, _ in store.search(q, TOP_K)], queries, truth,
                               hits_of=hits_of))
    return result


def index_worker(cfg):
    base, queries, truth = (np.load(cfg[k]) for k in ("base", "query", "truth"))
    hits_of = None
    if cfg.get("tie_aware"):
        import real_data
        hits_of = real_data.tie_aware_hits(base, queries, truth)
    baseline = peak_rss_mb()
    if cfg["impl"] == "ours":
        result = run_ours(base, queries, truth, cfg["folder"], hits_of=hits_of)
    else:
        result = run_peer(cfg["impl"], base, queries, truth, cfg["threads"], hits_of, cfg.get("efs"))
    result.update(rss_mb=peak_rss_mb(), data_rss_mb=baseline)
    return result


# ---------------------------------------------------------------- store I/O worker (child side)

def timed(fn):
    start = time.perf_counter()
    value = fn()
    return time.perf_counter() - start, value


def best_of_two(fn):
    """The faster of two runs, for reads: the first run in a process that has just grown
    also pays for memory pages it touches for the first time, which on a virtual machine
    can cost more than the reading itself. The first result is dropped before the second."""
    first, value = timed(fn)
    value = None
    second, value = timed(fn)
    return min(first, second), value


def wal_line(dumps, key, row):
    """One log line as the JSON anchors write it: the same fields the store writes."""
    record = {"id": key, "embedding": row.tolist(), "metadata": "", "created_at": ""}
    return dumps({"op": "upsert", "data": record})


def anchor_writes(base, folder, singles, name, dumps):
    """upsert and upsert_batch as plain Python would do them with `dumps` (str or bytes)."""
    encode = (lambda s: s.encode()) if name == "json" else (lambda b: b)
    path = os.path.join(folder, f"{name}.wal")

    def one_by_one():
        for i in range(singles):
            with open(path + ".single", "ab") as f:
                f.write(encode(dumps_line(i)) + b"\n")

    def batch():
        text = b"\n".join(encode(dumps_line(i)) for i in range(len(base))) + b"\n"
        with open(path, "wb") as f:
            f.write(text)

    def dumps_line(i):
        return wal_line(dumps, str(i), base[i])
    t_single, _ = timed(one_by_one)
    t_batch, _ = timed(batch)
    return {"upsert_per_s": singles / t_single, "batch_s": t_batch,
            "batch_mb_s": os.path.getsize(path) / t_batch / 1e6}


def anchor_reads(snapshot, wal, loads, dumps, name, folder):
    text_snap = snapshot.decode() if name == "json" else snapshot
    t_snap, doc = best_of_two(lambda: loads(text_snap))

    def compact():
        text = dumps(doc)
        with open(os.path.join(folder, f"{name}.snap"), "wb") as f:
            f.write(text.encode() if name == "json" else text)
    t_dump, _ = timed(compact)
    text_wal = wal.decode() if name == "json" else wal
    t_wal, _ = best_of_two(lambda: [loads(line) for line in text_wal.splitlines()])
    return {"open_snapshot_s": t_snap, "open_wal_s": t_wal, "compact_s": t_dump}


def anchors(base, folder, singles, steps, snapshot=None, wal=None):
    kinds = {"json": (json.loads, lambda o: json.dumps(o, separators=(",", ":")))}
    if importlib.util.find_spec("orjson") is not None:
        import orjson
        kinds["orjson"] = (orjson.loads, orjson.dumps)
    result = {}
    for name, (loads, dumps) in kinds.items():
        result[name] = anchor_writes(base, folder, singles, name, dumps)
        if "reads" in steps:
            result[name].update(anchor_reads(snapshot, wal, loads, dumps, name, folder))
        for suffix in (".wal", ".wal.single", ".snap"):
            path = os.path.join(folder, name + suffix)
            if os.path.exists(path):
                os.remove(path)
    return result


def store_writes(pv, base, folder, singles):
    snap, wal = os.path.join(folder, "io.snap"), os.path.join(folder, "io.wal")
    store = pv.VectorStore.new(snap, wal + ".single")
    t_single, _ = timed(lambda: [store.upsert(pv.VectorEntry(f"s{i}", base[i])) for i in range(singles)])
    store = pv.VectorStore.new(snap, wal)
    t_convert, entries = timed(lambda: [pv.VectorEntry(str(i), base[i]) for i in range(len(base))])
    t_call, _ = timed(lambda: store.upsert_batch(entries))
    size = os.path.getsize(wal)
    return snap, wal, {"upsert_per_s": singles / t_single, "batch_s": t_convert + t_call,
                       "batch_convert_s": t_convert, "batch_mb_s": size / (t_convert + t_call) / 1e6,
                       "wal_mb": size / 1e6}


# Polls the log from another process: compact empties it right after writing the snapshot
# and before rebuilding the index, so the moment it turns empty ends the file work.
WATCH_TRUNCATION = """
import os, sys, time
print("ready", flush=True)
while os.path.getsize(sys.argv[1]) > 0:
    time.sleep(0.0005)
print(time.time(), flush=True)
"""


def timed_compact(store, wal):
    """Seconds for the whole compact and for its file work alone (snapshot written, log emptied)."""
    watcher = subprocess.Popen([sys.executable, "-c", WATCH_TRUNCATION, wal], stdout=subprocess.PIPE,
                               text=True)
    watcher.stdout.readline()
    start = time.time()
    t_compact, _ = timed(store.compact)
    emptied = float(watcher.communicate()[0])
    return t_compact, emptied - start


def store_reads(pv, snap, wal, mark=lambda step: None):
    """Opens the log, compacts (which also builds the index), opens the snapshot.
    `mark(step)` runs after the open of the log and after the compact."""
    t_wal, store = best_of_two(lambda: pv.VectorStore.open(snap, wal))
    mark("open_wal")
    # The logs just written may still be on their way to the disk; compact's own sync
    # should not wait for them.
    os.sync()
    t_compact, t_files = timed_compact(store, wal)
    mark("compact")
    t_snap, reopened = best_of_two(lambda: pv.VectorStore.open(snap, wal))
    assert reopened.len == store.len and reopened.wal_pending == 0
    return {"open_wal_s": t_wal, "open_snapshot_s": t_snap, "compact_s": t_compact,
            "compact_write_s": t_files, "snapshot_mb": os.path.getsize(snap) / 1e6}


def io_worker(cfg):
    import pelmor_vector_db as pv
    base = np.load(cfg["base"])
    singles, steps = min(cfg["singles"], len(base)), cfg["steps"]
    snap, wal, ours = store_writes(pv, base, cfg["folder"], singles)
    snapshot = wal_bytes = None
    if "reads" in steps:
        with open(wal, "rb") as f:
            wal_bytes = f.read()
        ours.update(store_reads(pv, snap, wal))
        with open(snap, "rb") as f:
            snapshot = f.read()
    for path in (snap, wal, wal + ".single"):
        if os.path.exists(path):
            os.remove(path)
    result = {"ours": ours}
    result.update(anchors(base, cfg["folder"], singles, steps, snapshot, wal_bytes))
    return result


# ---------------------------------------------------------------- scale sweep: the store alone (child side)

def memory_marks(figures):
    """`mark(step)` records the peak (VmHWM) and resident (VmRSS) sizes of this process
    as `<step>_peak_mb` and `<step>_rss_mb`, then resets the peak, so that each step's
    peak is its own rather than the largest so far."""
    def mark(step):
        figures[step + "_peak_mb"], figures[step + "_rss_mb"] = peak_rss_mb(), status_mb("VmRSS")
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
        except OSError:
            figures["peaks_cumulative"] = True
    return mark


def sweep_store_worker(cfg):
    """One step of the store's own figures; each runs in a fresh process over the files
    the step before it left, so that no array of an earlier step counts in its peaks."""
    import pelmor_vector_db as pv
    folder, figures = cfg["folder"], {}
    snap, wal = os.path.join(folder, "io.snap"), os.path.join(folder, "io.wal")
    if cfg["phase"] == "write":
        _, _, figures = store_writes(pv, np.load(cfg["base"]), folder, min(cfg["singles"], cfg["count"]))
        os.remove(wal + ".single")
        return figures
    mark = memory_marks(figures)
    mark("start")
    if cfg["phase"] == "compact":
        figures.update(store_reads(pv, snap, wal, mark))
        figures["compact_rebuild_s"] = figures["compact_s"] - figures["compact_write_s"]
        return figures
    # What a user meets: the snapshot opened in a fresh process, the first answer (which
    # builds the index), then a write followed by a search, which rebuilds it each time.
    queries = np.load(cfg["query"])
    t_open, store = timed(lambda: pv.VectorStore.open(snap, wal))
    mark("open")
    t_first, _ = timed(lambda: store.search(queries[0], TOP_K))
    mark("first_search")
    rounds = []
    for i in range(cfg["write_rounds"]):
        entry = pv.VectorEntry(f"w{i}", queries[i % len(queries)])
        t, _ = timed(lambda: (store.upsert(entry), store.search(queries[(i + 1) % len(queries)], TOP_K)))
        rounds.append(t)
    figures.update(open_s=t_open, first_search_s=t_first, open_first_s=t_open + t_first,
                   write_search_s=float(np.median(rounds)) if rounds else None, write_rounds=len(rounds))
    return figures


# ---------------------------------------------------------------- parent: running the children

def spawn(cfg, threads, timeout=1800):
    """Runs one worker in a fresh interpreter; returns (result, None) or (None, reason)."""
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1",
               MKL_NUM_THREADS="1")
    try:
        proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", json.dumps(cfg)],
                              capture_output=True, text=True, env=env, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None, f"timed out after {timeout} s"
    if proc.returncode != 0:
        return None, f"exit {proc.returncode}: {proc.stderr.strip()[-400:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1]), None


def installed(impl):
    if importlib.util.find_spec(MODULES[impl]) is None:
        print(f"skipping {impl}: module {MODULES[impl]} is not installed"
              " (pip install -r bench/requirements.txt)", flush=True)
        return False
    return True


def best_of_rounds(runs):
    """One figure set from several runs of one implementation: the fastest build, the
    query figures (and sweep) of the run with the most queries per second, and the
    highest peak RSS."""
    best = dict(max(runs, key=lambda r: r["qps"]))
    best["build_s"] = min(r["build_s"] for r in runs)
    best["rss_mb"] = max(r["rss_mb"] for r in runs)
    best["rounds"] = len(runs)
    return best


def run_index(paths, impls, threads, folder, rounds=1, timeout=1800):
    """Runs every implementation `rounds` times, alternating, so that a slow spell of a
    shared machine does not fall on one implementation alone."""
    runs = {impl: [] for impl in impls}
    for round_ in range(rounds):
        # Each round starts with the next implementation, so none always runs first.
        shift = round_ % len(impls)
        for impl in impls[shift:] + impls[:shift]:
            start = time.perf_counter()
            cfg = dict(paths, impl=impl, threads=threads, folder=folder)
            r, reason = spawn(cfg, threads, timeout)
            if reason:
                print(f"  {impl}: failed, {reason}", flush=True)
                continue
            runs[impl].append(r)
            print(f"  {impl:8} build {r['build_s']:7.2f} s  qps {r['qps']:8.0f}  recall {r['recall']:.4f}"
                  f"  rss {r['rss_mb']:6.0f} MB  ({time.perf_counter() - start:.0f} s)", flush=True)
    return {impl: best_of_rounds(r) for impl, r in runs.items() if r}


def run_io(path, steps, singles, threads, folder):
    cfg = {"base": path, "steps": steps, "singles": singles, "folder": folder}
    result, reason = spawn(cfg, threads)
    if reason:
        print(f"  store files: failed, {reason}", flush=True)
    return result


# ---------------------------------------------------------------- parent: the scale sweep

SWEEP_SIZES = [(10_000, 128), (100_000, 128), (1_000_000, 128), (100_000, 384), (500_000, 384)]
TRUTH_BLOCK = 256
# The first answer and its write rounds rebuild a million-record index four times, which
# on a busy machine takes more than an hour.
SWEEP_TIMEOUT = 4 * 3600


def available_mb():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def estimate_mb(count, dim):
    """Rough peaks in MiB, on the high side, of each process a size runs: the float32
    rows, about 11 bytes of JSON text a float, and a graph of up to 2 M links a node
    plus a copy of the rows inside every index."""
    mib = 1 / 2**20
    rows, text = count * dim * 4 * mib, count * (dim * 11 + 80) * mib
    records = rows + count * 200 * mib          # the store's rows, ids and map
    graph = rows + count * 2 * M * 4 * 1.3 * mib
    base = 60 + rows                            # interpreter, NumPy and the loaded rows
    return {
        # rows, their normalised copy, and one block of similarities with its sort
        "truth": base + rows + TRUTH_BLOCK * count * 20 * mib,
        "ours": base + records + graph + 10_000 * dim * 8 * mib,
        "hnswlib": base + graph,
        "faiss": base + rows + graph,
        "usearch": base + graph,
        "numpy": base + rows,
        # writing: the rows, every VectorEntry and the store; reading: the store, the
        # snapshot text read whole and the index
        "store": max(base + 2 * records, 60 + records + text + graph),
    }


def best_store(runs):
    """The store's figures over rounds: the shortest time, the highest rate and the
    highest peak or resident size of every measure."""
    best = {}
    for key in runs[0]:
        values = [r[key] for r in runs if r.get(key) is not None]
        if not values or not isinstance(values[0], float):
            best[key] = runs[0][key]
        elif key.endswith("per_s") or key.endswith("mb_s") or key.endswith("_mb"):
            best[key] = max(values)
        else:
            best[key] = min(values)
    best["rounds"] = len(runs)
    return best


def run_store(paths, count, threads, folder, write_rounds):
    """The store's own figures in three fresh processes: writing the log, opening it and
    compacting, then opening the snapshot up to the first answer and the writes after it."""
    figures = {}
    store_folder = tempfile.mkdtemp(prefix="store-", dir=folder)
    try:
        for phase in ("write", "compact", "first"):
            cfg = {"phase": phase, "base": paths["base"], "query": paths["query"], "count": count,
                   "folder": store_folder, "singles": 1_000, "write_rounds": write_rounds}
            result, reason = spawn(cfg, threads, timeout=SWEEP_TIMEOUT)
            if reason:
                print(f"  store {phase}: failed, {reason}", flush=True)
                return None
            figures.update(result)
    finally:
        for name in os.listdir(store_folder):
            os.remove(os.path.join(store_folder, name))
        os.rmdir(store_folder)
    print(f"  store    open+first {figures['open_first_s']:7.2f} s  compact {figures['compact_s']:.2f} s"
          f" (files {figures['compact_write_s']:.2f} s)  write+search {figures['write_search_s'] or 0:.3f} s"
          f"  peak open {figures['open_peak_mb']:.0f} MB", flush=True)
    return figures


def sweep(args, impls, queries, folder):
    """Every size in turn; within a size, the implementations and the store's own steps
    alternate round by round, each in a fresh process."""
    if args.data == "real":
        size, paths, queries = real_data_paths(folder, queries)
        count, dim = (int(x) for x in size.split()[0].split("x"))
        jobs = [(size, count, dim, lambda: paths)]
    else:
        sizes = [tuple(int(x) for x in s.split("x")) for s in args.sizes.split(",")] if args.sizes \
            else SWEEP_SIZES
        jobs = [(f"{count}x{dim}", count, dim,
                 lambda count=count, dim=dim: make_data(folder, count, dim, queries, args.seed))
                for count, dim in sizes]
    results = {}
    for size, count, dim, data in jobs:
        need, free = estimate_mb(count, dim), available_mb()
        budget = 0.8 * free  # the machine is shared: leave room for the others' work
        entry = results[size] = {"count": count, "dim": dim, "estimate_mb": need, "available_mb": free,
                                 "impls": {}, "store": None, "skipped": {}}
        if need["truth"] > budget:
            entry["skipped"]["all"] = f"exact truth needs about {need['truth']:.0f} MiB, {free:.0f} MiB available"
            print(f"skipping {size}: {entry['skipped']['all']}", flush=True)
            continue
        print(f"sweep {size.replace('x', ' x ')}", flush=True)
        paths = dict(data(), efs=EF_AROUND)
        order = []
        for item in impls + (["store"] if "ours" in impls and not args.no_io else []):
            if need[item] > budget:
                entry["skipped"][item] = f"needs about {need[item]:.0f} MiB, {free:.0f} MiB available"
                print(f"  skipping {item}: {entry['skipped'][item]}", flush=True)
            else:
                order.append(item)
        runs = {item: [] for item in order}
        for round_ in range(max(1, args.rounds)):
            shift = round_ % max(1, len(order))
            for item in order[shift:] + order[:shift]:
                if item == "store":
                    r = run_store(paths, count, args.threads, folder, args.write_rounds)
                else:
                    r = run_index(paths, [item], args.threads, folder, timeout=SWEEP_TIMEOUT).get(item)
                if r:
                    runs[item].append(r)
        entry["impls"] = {i: best_of_rounds(r) for i, r in runs.items() if r and i != "store"}
        entry["store"] = best_store(runs["store"]) if runs.get("store") else None
        for name in os.listdir(folder):
            if name.endswith(".npy"):
                os.remove(os.path.join(folder, name))
    return results, queries


def plan(args):
    if args.quick:
        return [(5_000, 64), (2_000, 384)], [(5_000, 64, ["writes", "reads"]), (10_000, 384, ["writes"])]
    return ([(100_000, 128), (20_000, 384)],
            [(100_000, 128, ["writes", "reads"]), (100_000, 384, ["writes"])])


def save(report, started, out, stem, write, draw):
    """Writes stem.json, stem.md and stem.png for a finished report."""
    report["total_s"] = time.perf_counter() - started
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, stem + ".json"), "w") as f:
        json.dump(report, f, indent=1)
    write(report, os.path.join(out, stem + ".md"))
    draw(report, os.path.join(out, stem + ".png"))
    print(f"done in {report['total_s']:.0f} s; wrote {out}/{stem}.md and {stem}.png")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes, about a minute")
    parser.add_argument("--threads", type=int, default=2, help="build threads for every implementation")
    parser.add_argument("--queries", type=int, help="queries per size (1000; 200 with --quick)")
    parser.add_argument("--impls", default=",".join(["ours"] + PEERS), help="comma-separated subset")
    parser.add_argument("--no-io", action="store_true",
                        help="skip the store file measurements (with --sweep, the store's own steps)")
    parser.add_argument("--rounds", type=int, default=1,
                        help="runs of each implementation, alternating; the best figures count")
    parser.add_argument("--seed", type=int, default=42)
    parser.add_argument("--out", default=OUT)
    parser.add_argument("--data", choices=("synthetic", "real"), default="synthetic",
                        help="real: Debian package descriptions embedded by bench/real_data.py,"
                             " in place of the synthetic sizes (the store files use its base too)")
    parser.add_argument("--real-variants", default="full",
                        help="with --data real: comma-separated shapes of the real set to run, of "
                             + ", ".join(REAL_VARIANTS) + " (a number N takes the first N rows)")
    parser.add_argument("--sweep", action="store_true",
                        help="scale sweep: build, queries, open, compact and memory at growing sizes,"
                             " with the growth fitted on log-log axes (bench/out/sweep.md, sweep.png)")
    parser.add_argument("--sizes", help="sweep sizes as COUNTxDIM,... (default "
                        + ",".join(f"{c}x{d}" for c, d in SWEEP_SIZES) + ")")
    parser.add_argument("--write-rounds", type=int, default=3,
                        help="sweep: rounds of one upsert and one search; the median counts")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        cfg = json.loads(args.worker)
        worker = index_worker if "impl" in cfg else sweep_store_worker if "phase" in cfg else io_worker
        print(json.dumps(worker(cfg)))
        return
    queries = args.queries or (200 if args.quick else 1000)
    impls = [i for i in args.impls.split(",") if installed(i)]
    if args.sweep:
        report = {"threads": args.threads, "rounds": max(1, args.rounds), "argv": sys.argv[1:],
                  "write_rounds": args.write_rounds}
        started = time.perf_counter()
        with tempfile.TemporaryDirectory(prefix="pvdb-sweep-") as folder:
            report["sweep"], report["queries"] = sweep(args, impls, queries, folder)
        save(report, started, args.out, "sweep", write_sweep_markdown, plot_sweep)
        return
    index_sizes, io_sizes = plan(args)
    report = {"index": {}, "io": {}, "threads": args.threads, "queries": queries, "argv": sys.argv[1:]}
    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="pvdb-compare-") as folder:
        if args.data == "real":
            io_jobs = []
            for variant in args.real_variants.split(","):
                size, paths, report["queries"] = real_data_paths(folder, queries, variant, args.seed)
                print(f"index {size}", flush=True)
                report["index"][size] = run_index(paths, impls, args.threads, folder, max(1, args.rounds))
                if variant == "full":
                    io_jobs = [(size, lambda paths=paths: paths["base"], ["writes", "reads"])]
        else:
            for count, dim in index_sizes:
                print(f"index {count} x {dim}", flush=True)
                paths = make_data(folder, count, dim, queries, args.seed)
                report["index"][f"{count}x{dim}"] = run_index(paths, impls, args.threads, folder,
                                                              max(1, args.rounds))
            io_jobs = [(f"{count}x{dim}", lambda count=count, dim=dim: make_data(folder, count, dim, 1, args.seed)["base"],
                        steps) for count, dim, steps in io_sizes]
        for size, base_path, steps in ([] if args.no_io or "ours" not in impls else io_jobs):
            print(f"store files {size.replace('x', ' x ')}", flush=True)
            report["io"][size] = run_io(base_path(), steps, 10_000, args.threads, folder)
    save(report, started, args.out, "results", write_markdown, plot)


if __name__ == "__main__":
    main()
