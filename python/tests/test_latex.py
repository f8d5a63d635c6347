"""--emit latex: every formula parses in KaTeX (errors on) and the document compiles with pdflatex; read back by
the small reader below, the formulas give the command's predictions bit for bit on random keys and rows, so the
text says what the key computes."""
import math
import os
import random
import re
import subprocess

from key_kit import KARVA, Case, random_genes

CHECKER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "render", "latex", "check.mjs")
NAMES = ["x_1", "y$", "z\\", "w~^", "{v}", "u#%&"]


class Reader:
    """Reads the emitted subset of LaTeX: + - \\cdot, brackets, bars, powers, the functions."""

    TOKEN = re.compile(r"\s*(\\text\{(?:\\[~^]\{\}|\$\\backslash\$|\$\\\$\$|\\.|[^{}\\$])*\}|\\operatorname\{\w+\}|\\[a-zA-Z]+|g_\{\d+\}|"
                       r"\d[\d.]*(?: \\cdot 10\^\{-?\d+\})?|\^\{|[-+(){},]|\w)")

    def __init__(self, text, values, functions):
        self.tokens = self.TOKEN.findall(text)
        self.at, self.values, self.functions = 0, values, functions

    def take(self, token=None):
        got = self.tokens[self.at]
        assert token is None or got == token, (got, token, self.tokens[self.at - 5:self.at + 5])
        self.at += 1
        return got

    def expression(self):
        value = self.term()
        while self.at < len(self.tokens) and self.tokens[self.at] in "+-":
            value = value + self.term() if self.take() == "+" else value - self.term()
        return value

    def term(self):
        value = self.atom()
        while self.at < len(self.tokens) and self.tokens[self.at] == "\\cdot":
            self.take()
            value = value * self.atom()
        return value

    def atom(self):
        token = self.take()
        if token == "-":  # a negative constant
            return -self.atom()
        if token == "(":
            value = self.expression()
            self.take(")")
            return value
        if token == "\\lvert":
            value = abs(self.expression())
            self.take("\\rvert")
            if self.at < len(self.tokens) and self.tokens[self.at] == "^{":
                self.take()
                exponent = self.expression()
                self.take("}")
                return self.functions["pow"](value, exponent)
            return value
        if token == "\\sqrt":
            self.take("{")
            value = math.sqrt(self.atom())
            self.take("}")
            return value
        if token == "\\ln":
            return self.functions["log"](self.atom())
        if token in ("\\sin", "\\cos", "\\exp") or token.startswith("\\operatorname"):
            self.take("(")
            arguments = [self.expression()]
            while self.tokens[self.at] == ",":
                self.take()
                arguments.append(self.expression())
            self.take(")")
            return self.functions[re.sub(r"\\(operatorname\{)?(\w+)\}?", r"\2", token)](*arguments)
        if token[0].isdigit():
            mantissa, _, exponent = token.partition(" \\cdot 10^{")
            return float(mantissa + ("e" + exponent.rstrip("}") if exponent else ""))
        if token == "\\infty":
            return math.inf
        return self.values[token]


def functions_of(definitions):
    """The functions as the document defines them, its constants read from its definitions."""
    constants = [float(v) for v in re.findall(r"(\d+(?:\.\d+)?) & \\text", definitions)] or [0, 0, 0]
    third = re.search(r"rvert\^\{([\d.]+)\}", definitions)

    def guarded(f, overflow):
        def call(*x):
            try:
                return f(*x)
            except OverflowError:
                return overflow
            except ValueError:
                return math.nan
        return call

    def c_round(x):
        if not math.isfinite(x):
            return x
        r = float(math.trunc(x))
        return math.copysign(r + math.copysign(1.0, x) if abs(x - r) >= 0.5 else r, x)

    return {"div": lambda x, y: x / y if y != 0 else constants[0] if x > 0 else constants[1] if x < 0 else constants[2],
            "pow": lambda x, y: math.inf if x == 0 and y < 0 else guarded(math.pow, math.inf)(x, y),
            "cbrt": lambda x: float((x > 0) - (x < 0)) * math.pow(abs(x), float(third.group(1))) if third else None,
            "round": c_round, "log": lambda x: -math.inf if x == 0 else math.log(abs(x)),
            "exp": guarded(math.exp, math.inf), "sin": guarded(math.sin, math.nan), "cos": guarded(math.cos, math.nan)}


def evaluate(document, inputs, row):
    genes, _, definitions = document.partition("where")
    lines = re.search(r"\\begin\{align\*\}(.*?)\\end\{align\*\}", genes, re.S).group(1)
    lines = lines.replace("\\\\\n  &\\quad {}", " ").split("\\\\\n")
    values = {("\\text{%s}" % latex_name(name)): v for name, v in zip(inputs, row)}
    functions = functions_of(definitions)
    for line in lines[:-1]:
        name, _, formula = line.strip().partition(" &= ")
        values[name] = Reader(formula, values, functions).expression()
    return values[lines[-1].strip().partition(" &= ")[2]]


def latex_name(name):
    escaped = {"\\": "$\\backslash$", "$": "$\\$$", "~": "\\~{}", "^": "\\^{}"}
    return "".join(escaped.get(c, "\\" + c if c in "{}&#_%" else c) for c in name)


def test_the_formulas_parse_compile_and_read_back_as_the_commands_values(tmp_path):
    rng = random.Random(41)
    documents = []
    for k in range(8):
        inputs = rng.randint(1, len(NAMES))
        rows = [[rng.choice([rng.uniform(-10, 10), rng.uniform(-1e3, 1e3), 0.0, 0.5, -2.5]) for _ in range(inputs)]
                for _ in range(200)]
        case = Case(str(tmp_path), "k%d" % k, inputs, random_genes(rng, inputs), rows)
        document = subprocess.run([KARVA, "--emit", "latex", "--inputs", ",".join(NAMES[:inputs]), case.key],
                                  capture_output=True, text=True, check=True).stdout
        path = tmp_path / ("k%d.tex" % k)
        path.write_text(document)
        documents.append(str(path))
        for row, expected in zip(rows, case.expected):
            got = evaluate(document, NAMES[:inputs], row)
            assert (math.isnan(got) and math.isnan(expected)) or got == expected, (case.key, row, got, expected)
        compiled = subprocess.run(["pdflatex", "-interaction=nonstopmode", "-halt-on-error", "-no-shell-escape",
                                   "-output-directory", str(tmp_path), str(path)], capture_output=True, text=True,
                                  timeout=120, env=dict(os.environ, TEXMFVAR=str(tmp_path / "texmf")))
        assert compiled.returncode == 0, compiled.stdout[-2000:]
    katex = subprocess.run(["node", CHECKER, *documents], capture_output=True, text=True, timeout=120)
    assert katex.returncode == 0, katex.stdout
