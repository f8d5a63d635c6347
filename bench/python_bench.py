#!/usr/bin/env python3
"""Times karva.Key.predict on 1M rows x 10 inputs against the same formulas
evaluated by numpy one operation per node (vectorised C too, but numpy's
vector maths is not the platform's libm to the last bit).

Usage: PYTHONPATH=build/python python3 bench/python_bench.py bench/data/bench.key
"""
import struct
import sys
import time

import numpy as np

UNARY = "ACDELQRS"


def genes_of(path):
    data = open(path, "rb").read()
    variables, count = struct.unpack_from("<ii", data)
    at, genes = 8, []
    for _ in range(count):
        intercept, slope, length = struct.unpack_from("<ddi", data, at)
        symbols = data[at + 20:at + 20 + length].split(b"\0")[0].decode("latin-1")
        genes.append((intercept, slope, symbols))
        at += 28 + length
    return variables, genes


def numpy_gene(symbols, columns):
    """The tree level by level, then evaluated bottom-up with numpy."""
    letters = {chr(97 + m): m for m in range(len(columns))}
    nodes = [[symbols[0], []]]
    level, pos = [nodes[0]], 1
    while level and pos < len(symbols):
        following = []
        for node in level:
            arity = 0 if node[0] in letters else 1 if node[0] in UNARY else 2
            for _ in range(arity):
                child = [symbols[pos], []]
                pos += 1
                node[1].append(child)
                following.append(child)
        level = following

    def value(node):
        s, kids = node
        if s in letters:
            return columns[letters[s]]
        a = value(kids[0])
        if s in UNARY:
            return {"A": np.abs, "C": np.cos, "E": np.exp, "R": np.round, "S": np.sin,
                    "L": lambda v: np.log(np.abs(v)), "Q": lambda v: np.sqrt(np.abs(v)),
                    "D": lambda v: np.sign(v) * np.power(np.abs(v), 1 / 3)}[s](a)
        b = value(kids[1])
        if s == "/":
            return np.where(b == 0, np.where(a > 0, 4294967295.0, np.where(a < 0, 1.0, 0.0)), a / np.where(b == 0, 1, b))
        return {"+": np.add, "-": np.subtract, "*": np.multiply, "^": lambda x, y: np.power(np.abs(x), y)}[s](a, b)

    return value(nodes[0])


def best(f, runs=5):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    import karva

    key_path = sys.argv[1]
    key = karva.Key(key_path)
    variables, genes = genes_of(key_path)
    x = np.random.default_rng(1).uniform(-50, 50, (1_000_000, variables))

    def with_numpy():
        with np.errstate(all="ignore"):
            columns = [x[:, m] for m in range(variables)]
            for intercept, slope, symbols in genes:
                columns.append(numpy_gene(symbols, columns) * slope + intercept)
        return columns[-1]

    one = best(lambda: key.predict(x, jobs=1))
    two = best(lambda: key.predict(x, jobs=2))
    numpy_s = best(with_numpy)
    print(f"1M x {variables}: predict jobs=1 {one:.3f} s, jobs=2 {two:.3f} s, numpy per node {numpy_s:.3f} s")
    same = np.mean(key.predict(x).view(np.uint64) == with_numpy().view(np.uint64))
    print(f"numpy agrees to the bit on {same:.1%} of the rows")


if __name__ == "__main__":
    main()
