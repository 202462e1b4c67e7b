"""Tables and plot for bench/compare.py, from the figures its workers reported."""
import importlib.util
import os
import sys

import numpy as np

ORDER = ["ours", "hnswlib", "faiss", "usearch", "numpy"]


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    from importlib.metadata import PackageNotFoundError, version
    versions = []
    for package in ("hnswlib", "faiss-cpu", "usearch", "numpy", "orjson"):
        try:
            versions.append(f"{package} {version(package)}")
        except PackageNotFoundError:
            pass
    return f"{model}, {os.cpu_count()} logical CPUs; Python {sys.version.split()[0]}; " + ", ".join(versions)


def number(value):
    if value is None:
        return "n/a"
    return f"{value:,.0f}" if value >= 100 else f"{value:.2f}" if value >= 1 else f"{value:.3f}"


def ratio(a, b):
    return f"{a / b:.2f}x" if a is not None and b else "n/a"


def qps_at_recall(sweep, recall):
    """A peer's queries per second at `recall`, read off its ef sweep by interpolating
    log(QPS) linearly in recall between the settings on either side. None outside the
    recalls the sweep reached."""
    points = sorted((v["recall"], v["qps"]) for v in sweep.values())
    for (r0, q0), (r1, q1) in zip(points, points[1:]):
        if r0 <= recall <= r1:
            t = 0.0 if r1 == r0 else (recall - r0) / (r1 - r0)
            return float(np.exp(np.log(q0) + t * (np.log(q1) - np.log(q0))))
    return None


def equal_recall(ours, ref):
    """Our QPS over the peer's at our recall, or why there is none."""
    if ours is ref:
        return "1.00x"
    if not ref or len(ref.get("sweep", {})) < 2:
        return "n/a"
    qps = qps_at_recall(ref["sweep"], ours["recall"])
    if qps is not None:
        return ratio(ours["qps"], qps)
    recalls = [v["recall"] for v in ref["sweep"].values()]
    return "beyond its sweep" if ours["recall"] > max(recalls) else "below its sweep"


def index_table(size, results):
    ref = results.get("hnswlib")
    lines = [f"### {size.replace('x', ' x ')}", "",
             "| implementation | build s | QPS (ef 100) | p50 ms | p99 ms | recall@10 | peak RSS MB"
             " | build / hnswlib | QPS / hnswlib | at equal recall | recall - hnswlib | RSS / hnswlib |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for impl, r in results.items():
        diff = f"{r['recall'] - ref['recall']:+.4f}" if ref else "n/a"
        lines.append(
            f"| {impl} | {r['build_s']:.2f} | {r['qps']:.0f} | {r['p50_ms']:.3f} | {r['p99_ms']:.3f}"
            f" | {r['recall']:.4f} | {r['rss_mb']:.0f} | {ratio(r['build_s'], ref and ref['build_s'])}"
            f" | {ratio(r['qps'], ref and ref['qps'])} | {equal_recall(r, ref)}"
            f" | {diff} | {ratio(r['rss_mb'], ref and ref['rss_mb'])} |")
    sweeps = {impl: r["sweep"] for impl, r in results.items() if "sweep" in r and len(r["sweep"]) > 1}
    if sweeps:
        efs = sorted({int(ef) for sweep in sweeps.values() for ef in sweep})
        lines += ["", "ef sweep (QPS / recall@10):", "",
                  "| implementation | " + " | ".join(f"ef {ef}" for ef in efs) + " |",
                  "|---|" + "---:|" * len(efs)]
        for impl, sweep in sweeps.items():
            cells = [f"{sweep[str(ef)]['qps']:.0f} / {sweep[str(ef)]['recall']:.3f}" if str(ef) in sweep
                     else "" for ef in efs]
            lines.append(f"| {impl} | " + " | ".join(cells) + " |")
    return lines + [""]


IO_ROWS = [("open snapshot (s)", "open_snapshot_s", False), ("open WAL (s)", "open_wal_s", False),
           ("compact (s)", "compact_s", False), ("upsert (records/s)", "upsert_per_s", True),
           ("upsert_batch incl. conversion (MB/s of log)", "batch_mb_s", True)]


def io_table(size, io):
    lines = [f"### {size.replace('x', ' x ')}", "",
             "| measure | ours | json | orjson | ours vs json | ours vs orjson |", "|---|---:|---:|---:|---:|---:|"]
    for label, key, higher_better in IO_ROWS:
        if key not in io["ours"]:
            continue
        values = [io.get(name, {}).get(key) for name in ("ours", "json", "orjson")]
        speedups = [ratio(values[0], v) if higher_better else ratio(v, values[0]) for v in values[1:]]
        cells = [number(v) for v in values]
        lines.append(f"| {label} | " + " | ".join(cells + speedups) + " |")
    ours = io["ours"]
    notes = [f"log {ours['wal_mb']:.0f} MB, of which building VectorEntry objects took {ours['batch_convert_s']:.2f} s"
             f" of {ours['batch_s']:.2f} s"]
    if "compact_write_s" in ours:
        notes.append(f"snapshot {ours['snapshot_mb']:.0f} MB; compact also rebuilds the index: its file work"
                     f" alone (snapshot written, log emptied) took {ours['compact_write_s']:.2f} s, timed by a"
                     " process watching the log")
    return lines + [""] + [f"- {n}" for n in notes] + [""]


def targets(report):
    """(target, measured, met) rows; a figure that was not measured is reported as such."""
    rows = []
    for size, results in report["index"].items():
        ours, ref = results.get("ours"), results.get("hnswlib")
        if not (ours and ref):
            rows.append((f"index targets on {size}", "ours or hnswlib missing", "n/a"))
            continue
        build, qps = ours["build_s"] / ref["build_s"], ours["qps"] / ref["qps"]
        recall, rss = ours["recall"] - ref["recall"], ours["rss_mb"] / ref["rss_mb"]
        rows += [(f"build <= 1.0x hnswlib, {size}", f"{build:.2f}x", build <= 1.0),
                 (f"QPS >= 1.0x hnswlib at ef 100, {size}", f"{qps:.2f}x", qps >= 1.0),
                 (f"recall@10 >= hnswlib - 0.003, {size}", f"{recall:+.4f}", recall >= -0.003),
                 (f"peak RSS <= 1.5x hnswlib, {size}", f"{rss:.2f}x", rss <= 1.5)]
    for size, io in report["io"].items():
        if not io:
            continue
        ours, js, oj = io["ours"], io.get("json", {}), io.get("orjson", {})
        if "open_snapshot_s" in ours and "open_snapshot_s" in js:
            rows.append((f"snapshot open >= 10x faster than json.loads, {size}",
                         f"{js['open_snapshot_s'] / ours['open_snapshot_s']:.1f}x",
                         js["open_snapshot_s"] >= 10 * ours["open_snapshot_s"]))
            if "open_snapshot_s" in oj:
                rows.append((f"snapshot open faster than orjson.loads, {size}",
                             f"{oj['open_snapshot_s'] / ours['open_snapshot_s']:.2f}x",
                             oj["open_snapshot_s"] > ours["open_snapshot_s"]))
            # The target is the write: the snapshot written and the log emptied. The
            # call as a whole also rebuilds the index, which the anchors do not do.
            if "compact_write_s" in ours:
                files = js["compact_s"] / max(ours["compact_write_s"], 1e-9)
                rows.append((f"compact write >= 10x faster than json.dumps, {size}",
                             f"{files:.1f}x (the whole call, index rebuild included,"
                             f" {js['compact_s'] / ours['compact_s']:.2f}x)", files >= 10))
        else:
            rows.append((f"upsert_batch from NumPy rows >= 50 MB/s of log, {size}",
                         f"{ours['batch_mb_s']:.0f} MB/s", ours["batch_mb_s"] >= 50))
    return rows


def write_markdown(report, path):
    lines = ["# pelmor_vector_db against its peers", "",
             f"Machine: {machine()}. The machine was shared with other work during the run, so absolute"
             " figures are noisy; ratios taken in the same run are the figures to compare.", "",
             f"Command: `{' '.join(['python bench/compare.py'] + report['argv'])}` ({report['total_s']:.0f} s)."
             f" Build threads: {report['threads']}; queries: {report['queries']} per size, one call each,"
             " single-threaded, top 10, faster of two passes. Peak RSS is the child process's VmHWM, data arrays included.", "",
             "## Targets", "", "| target | measured | met |", "|---|---|---|"]
    for target, measured, met in targets(report):
        lines.append(f"| {target} | {measured} | {met if met == 'n/a' else ('yes' if met else 'NO')} |")
    lines += ["", "## Index build and queries", ""]
    for size, results in report["index"].items():
        lines += index_table(size, results)
    if report["io"]:
        lines += ["## Store files against the JSON anchors", ""]
        for size, io in report["io"].items():
            lines += io_table(size, io) if io else [f"### {size}: failed", ""]
    with open(path, "w") as f:
        f.write("\n".join(lines))


def plot(report, path):
    if importlib.util.find_spec("matplotlib") is None:
        print("skipping the plot: matplotlib is not installed")
        return
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    sizes = list(report["index"])
    fig, axes = plt.subplots(1, len(sizes) + 1, figsize=(6 * (len(sizes) + 1), 5))
    for ax, size in zip(axes, sizes):
        for impl, r in report["index"][size].items():
            if impl == "ours":
                ax.scatter([r["recall"]], [r["qps"]], marker="*", s=250, color="crimson", zorder=3,
                           label="pelmor_vector_db (ef 100)")
            else:
                sweep = sorted(r["sweep"].items(), key=lambda kv: int(kv[0]))
                ax.plot([v["recall"] for _, v in sweep], [v["qps"] for _, v in sweep], marker="o",
                        label=impl if len(sweep) > 1 else f"{impl} (exact)")
        ax.set(xlabel="recall@10", ylabel="queries per second (1 thread)", yscale="log",
               title=f"{size.replace('x', ' x ')}: recall against QPS")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
    impls = sorted({i for s in sizes for i in report["index"][s]}, key=ORDER.index)
    width = 0.8 / max(len(sizes), 1)
    for k, size in enumerate(sizes):
        builds = [report["index"][size].get(i, {}).get("build_s", 0) for i in impls]
        axes[-1].bar(np.arange(len(impls)) + k * width, builds, width, label=size.replace("x", " x "))
    axes[-1].set(xticks=np.arange(len(impls)) + width * (len(sizes) - 1) / 2, ylabel="seconds",
                 title=f"index build, {report['threads']} threads")
    axes[-1].set_xticklabels(impls)
    axes[-1].legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


# ---------------------------------------------------------------- scale sweep

STORE_SERIES = [("open + first answer", "open_first_s"), ("compact, file part", "compact_write_s"),
                ("compact, rebuild", "compact_rebuild_s"), ("upsert + search", "write_search_s")]


def sweep_series(report):
    """{dim: {label: [(count, seconds), ...]}}: every implementation's build and the
    store's own timed steps, by size, within each dimension."""
    series = {}
    for entry in report["sweep"].values():
        dim = series.setdefault(entry["dim"], {})
        for impl, r in entry["impls"].items():
            dim.setdefault(f"{impl} build", []).append((entry["count"], r["build_s"]))
        for label, key in STORE_SERIES:
            if entry["store"] and entry["store"].get(key):
                dim.setdefault(f"ours {label}", []).append((entry["count"], entry["store"][key]))
    return series


def slope(points):
    """Least-squares slope of log(seconds) against log(n): 1 is linear growth."""
    if len({n for n, _ in points}) < 2:
        return None
    n, t = np.log([p[0] for p in points]), np.log([p[1] for p in points])
    return float(np.polyfit(n, t, 1)[0])


def write_sweep_markdown(report, path):
    lines = ["# Scale sweep", "",
             f"Machine: {machine()}. Shared with other work during the run: compare ratios from the same run.", "",
             f"Command: `{' '.join(['python bench/compare.py'] + report['argv'])}` ({report['total_s']:.0f} s)."
             f" Build threads: {report['threads']}; rounds: {report['rounds']} (implementations alternating; the"
             f" fastest build, the best QPS run and the highest peak count); queries: {report['queries']} per size,"
             f" single-threaded, top 10, ef 100; upsert + search: median of {report['write_rounds']} rounds.", "",
             "## Index build and queries", "",
             "QPS / hnswlib at equal recall: hnswlib's queries per second at our recall, read off its runs at ef"
             " " + ", ".join(map(str, sorted({int(ef) for e in report["sweep"].values()
                                               for ef in e["impls"].get("hnswlib", {}).get("sweep", {})})))
             + " (log QPS interpolated linearly in recall).", "",
             "| size | implementation | build s | QPS | recall@10 | peak RSS MB | build / hnswlib | QPS / hnswlib"
             " | QPS / hnswlib at equal recall | RSS / hnswlib |", "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for size, entry in report["sweep"].items():
        ref = entry["impls"].get("hnswlib")
        for impl, r in entry["impls"].items():
            lines.append(f"| {size} | {impl} | {r['build_s']:.2f} | {r['qps']:.0f} | {r['recall']:.4f}"
                         f" | {r['rss_mb']:.0f} | {ratio(r['build_s'], ref and ref['build_s'])}"
                         f" | {ratio(r['qps'], ref and ref['qps'])}"
                         f" | {equal_recall(r, ref)}"
                         f" | {ratio(r['rss_mb'], ref and ref['rss_mb'])} |")
    lines += ["", "## The store's own steps", "",
              "Open: best of two in one process (log before `compact`, snapshot after); open + first answer: the"
              " snapshot in a fresh process, then one search, which builds the index. `compact` = file part (until"
              " the log turns empty, seen by a watching process) + rebuild. Ratios divide by hnswlib's build.", "",
              "| size | open log s | open snapshot s | open + first answer s | / hnswlib build | compact s | file part s"
              " | rebuild s | rebuild / hnswlib build | upsert_batch MB/s | upsert + search s |",
              "|---|" + "---:|" * 10]
    for size, entry in report["sweep"].items():
        st, ref = entry["store"], entry["impls"].get("hnswlib")
        if not st:
            continue
        hb = ref and ref["build_s"]
        lines.append(f"| {size} | {st['open_wal_s']:.3f} | {st['open_snapshot_s']:.3f} | {st['open_first_s']:.3f}"
                     f" | {ratio(st['open_first_s'], hb)} | {st['compact_s']:.3f} | {st['compact_write_s']:.3f}"
                     f" | {st['compact_rebuild_s']:.3f} | {ratio(st['compact_rebuild_s'], hb)}"
                     f" | {st['batch_mb_s']:.0f} | {number(st['write_search_s'])} |")
    lines += ["", "Memory of the store's processes (MB; peak = VmHWM over the step alone, resident = VmRSS after it;"
              " baseline = the fresh process before the step: interpreter and NumPy):", "",
              "| size | baseline | peak open | resident after open | peak / resident | the same above baseline | peak first search"
              " | resident after first search | peak open log | peak compact | resident after compact | snapshot MB |",
              "|---|" + "---:|" * 11]
    for size, entry in report["sweep"].items():
        st = entry["store"]
        if not st:
            continue
        base = st["start_rss_mb"]
        lines.append(f"| {size} | {base:.0f} | {st['open_peak_mb']:.0f} | {st['open_rss_mb']:.0f}"
                     f" | {st['open_peak_mb'] / st['open_rss_mb']:.2f}"
                     f" | {(st['open_peak_mb'] - base) / max(st['open_rss_mb'] - base, 1):.2f}"
                     f" | {st['first_search_peak_mb']:.0f}"
                     f" | {st['first_search_rss_mb']:.0f} | {st['open_wal_peak_mb']:.0f} | {st['compact_peak_mb']:.0f}"
                     f" | {st['compact_rss_mb']:.0f} | {st['snapshot_mb']:.0f} |")
    series = sweep_series(report)
    lines += ["", "## Growth: slope of log(seconds) against log(n)", "",
              "1.0 is linear; an HNSW build is expected a little above it.", "",
              "| measure | " + " | ".join(f"d = {d}" for d in series) + " |", "|---|" + "---:|" * len(series)]
    for label in sorted({label for dim in series.values() for label in dim}):
        cells = [slope(dim.get(label, [])) for dim in series.values()]
        lines.append(f"| {label} | " + " | ".join("n/a" if c is None else f"{c:.2f}" for c in cells) + " |")
    skipped = [(size, what, why) for size, entry in report["sweep"].items() for what, why in entry["skipped"].items()]
    if skipped:
        lines += ["", "## Skipped", ""] + [f"- {size}, {what}: {why}" for size, what, why in skipped]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def plot_sweep(report, path):
    if importlib.util.find_spec("matplotlib") is None:
        print("skipping the plot: matplotlib is not installed")
        return
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    series = sweep_series(report)
    labels = sorted({label for lines in series.values() for label in lines})
    colours = dict(zip(labels, plt.rcParams["axes.prop_cycle"].by_key()["color"] * 3))  # alike in every panel
    fig, axes = plt.subplots(1, len(series), figsize=(7 * len(series), 5), squeeze=False)
    for ax, (dim, lines) in zip(axes[0], series.items()):
        for label, points in sorted(lines.items()):
            points = sorted(points)
            fit = slope(points)
            style = "-" if label.endswith(" build") else "--"
            ax.plot([p[0] for p in points], [p[1] for p in points], style, marker="o", color=colours[label],
                    label=label + ("" if fit is None else f" (slope {fit:.2f})"))
        ax.set(xscale="log", yscale="log", xlabel="records", ylabel="seconds",
               title=f"d = {dim}: time against size, {report['threads']} threads")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
