"""Malformed scene files for the command line: random bytes, random JSON, mutated valid scenes.

Shared by `bench/fuzz_route.py` (many files, each through a `kelvane route`
process) and the bounded in-process test in test_fuzz_cli.py.
"""

import json
import random
from pathlib import Path

EXAMPLES = sorted((Path(__file__).parent.parent / "examples").glob("*.json"))

# Values that have broken readers before: wrong types, extremes, deep or huge shapes.
NASTY = [None, True, False, 0, -1, -5, 1, 2**31, 2**63, 1e308, -1e308, 1e-320, 0.5, "", "x", "12,4", "auto",
         "1/0", "\u00e9\u4e2d", [], {}, [0], [0, 0], [1, 1], [0, 0, 0, 0], [[0, 0]], ["auto"], {"a": 1},
         [float("nan"), 0], [float("inf"), 0], [1e10, 0], [-1e10, 5], "x" * 10_000, list(range(1000))]
SPECIAL_TEXTS = [
    b"", b"null", b"{}", b"[]", b'"scene"', b"\xef\xbb\xbf{}", b"[" * 100_000 + b"]" * 100_000,
    b'{"delta": ' + b"9" * 400 + b"}", b'{"delta": ' + b"9" * 5000 + b"}", b'{"delta": 1e400}',
    b'{"delta": NaN, "routes": []}', b'{"delta": 5, "routes": [{"start": [0, 0], "start_heading": [1, 0], '
    b'"end": [1e999, 0], "end_heading": [1, 0]}]}', b"\x00" * 64, "{\"description\": \"caf\u00e9\"}".encode("latin-1"),
]


def random_json(rng, depth=0):
    kind = rng.randrange(8 if depth < 5 else 5)
    if kind == 0:
        return rng.choice(NASTY[:20])
    if kind == 1:
        return rng.uniform(-1e6, 1e6)
    if kind == 2:
        return rng.randrange(-1000, 1000)
    if kind == 3:
        return "".join(rng.choice("abc_- \u00e9{}[]\"\\") for _ in range(rng.randrange(8)))
    if kind == 4:
        return rng.choice(["routes", "delta", "spacing", "dbu", "width", "obstacles", "strategy", "options", "gds"])
    if kind in (5, 6):
        keys = ["routes", "delta", "spacing", "dbu", "width", "obstacles", "strategy", "options", "gds", "start",
                "end", "start_heading", "end_orientation", "box", "name", "iters", "cell"]
        return {rng.choice(keys): random_json(rng, depth + 1) for _ in range(rng.randrange(6))}
    return [random_json(rng, depth + 1) for _ in range(rng.randrange(5))]


def _places(node, path=()):
    """Every (path, value) inside a JSON document, the document itself first."""
    yield path, node
    if isinstance(node, dict):
        for k, v in node.items():
            yield from _places(v, path + (k,))
    elif isinstance(node, list):
        for i, v in enumerate(node):
            yield from _places(v, path + (i,))


def mutate(doc, rng):
    """A copy of the JSON document `doc` with one to three random changes."""
    doc = json.loads(json.dumps(doc))
    for _ in range(rng.randrange(1, 4)):
        places = list(_places(doc))
        path, value = rng.choice(places[1:] or places)
        if not path:
            return rng.choice(NASTY)
        parent = doc
        for k in path[:-1]:
            parent = parent[k]
        op = rng.randrange(5)
        if op == 0:
            del parent[path[-1]]
        elif op == 1 and isinstance(parent, list):
            parent.insert(path[-1], json.loads(json.dumps(value)))
        elif op == 2 and isinstance(parent, dict):
            parent[rng.choice(["colour", "width", "gds", "strategy", "name"])] = rng.choice(NASTY)
        elif op == 3 and isinstance(value, (int, float)) and not isinstance(value, bool):
            parent[path[-1]] = rng.choice([-value, value * 1e9, value + 1e-7, str(value), 0, None])
        else:
            parent[path[-1]] = rng.choice(NASTY) if rng.random() < 0.7 else random_json(rng)
    return doc


def nudge(doc, rng):
    """A copy of `doc` with a few numbers moved a little: often still a valid scene, now routed differently."""
    doc = json.loads(json.dumps(doc))
    numbers = [(path, v) for path, v in _places(doc) if isinstance(v, (int, float)) and not isinstance(v, bool)]
    for path, v in rng.sample(numbers, min(len(numbers), rng.randrange(1, 4))):
        parent = doc
        for k in path[:-1]:
            parent = parent[k]
        parent[path[-1]] = v + rng.choice([-10, -1, -0.5, 0.001, 0.5, 1, 10, 100])
    return doc


def scene_file(rng, kind):
    """Bytes of one malformed file of `kind` ("bytes", "json" or "mutated")."""
    if kind == "bytes":
        if rng.random() < 0.2:
            return rng.choice(SPECIAL_TEXTS)
        return bytes(rng.randrange(256) for _ in range(rng.randrange(1, 2000)))
    if kind == "json":
        return json.dumps(random_json(rng)).encode()
    doc = json.loads(rng.choice(EXAMPLES).read_text())
    text = json.dumps(nudge(doc, rng) if rng.random() < 0.4 else mutate(doc, rng))
    if rng.random() < 0.15:  # damage the text too: cut it short or change one byte
        i = rng.randrange(len(text))
        text = text[:i] if rng.random() < 0.5 else text[:i] + rng.choice("{}[],:\"0\\") + text[i + 1:]
    return text.encode("utf-8", "surrogatepass")


KINDS = ("bytes", "json", "mutated")


def write_files(folder, count, seed=0):
    """`count` files, kinds in turn, into `folder`; returns their paths."""
    rng = random.Random(seed)
    paths = []
    for i in range(count):
        kind = KINDS[i % len(KINDS)]
        p = Path(folder) / f"{i:05d}-{kind}.json"
        p.write_bytes(scene_file(rng, kind))
        paths.append(p)
    return paths
