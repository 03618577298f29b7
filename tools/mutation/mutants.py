"""Mutant generation: the catalogue of operators, applied to C++ source text.

Every operator works on a masked copy of the file in which comments, string
and character literals are blanked out, so that no mutant ever touches a
comment or a log text. Preprocessor lines and static assertions are left
alone: a mutant there changes the build, not the behaviour.
"""

import re
from dataclasses import dataclass

OPERATORS = ("relational", "constant", "boolean", "negation", "statement", "case-break", "logical", "flag")

# Calls whose deletion only removes a log line: their text is an output the
# catalogue leaves to the review of the log texts, as it does the strings.
LOG_CALL = re.compile(r"\b(Log\w*|QEBLOG\w|FlushQebLogFile)\s*\(")
KEYWORDS = {"return", "if", "while", "for", "switch", "case", "delete", "throw", "else", "do", "co_return",
            "sizeof", "static_assert", "using", "typedef", "template", "namespace", "goto"}


@dataclass(frozen=True)
class Mutant:
    file: str      # path relative to the tree
    line: int      # 1-based
    start: int     # offset in the file
    end: int       # offset after the replaced text
    replacement: str
    operator: str

    def apply(self, text):
        return text[:self.start] + self.replacement + text[self.end:]

    def describe(self, text):
        return f"{text[self.start:self.end]!r} -> {self.replacement!r}"

    @property
    def key(self):
        return f"{self.file}:{self.line}:{self.start}:{self.operator}:{self.replacement}"


def mask(text):
    """The text with comments and literals replaced by blanks (line ends kept)."""
    out = list(text)
    i, n = 0, len(text)

    def blank(a, b):
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            blank(i, j)
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            blank(i, j)
            i = j
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            paren = text.find("(", i + 2)
            delim = text[i + 2:paren]
            j = text.find(")" + delim + '"', paren)
            j = n if j < 0 else j + len(delim) + 2
            blank(i, j)
            i = j
        elif c in "\"'":
            # A digit separator (1'000) is not a character literal.
            if c == "'" and i > 0 and text[i - 1].isalnum():
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            blank(i, min(j + 1, n))
            i = j + 1
        else:
            i += 1
    return "".join(out)


def _line_starts(text):
    starts = [0]
    for m in re.finditer("\n", text):
        starts.append(m.end())
    return starts


def _skipped_lines(masked):
    """Line numbers (1-based) that no operator touches."""
    skipped = set()
    continued = False
    for number, line in enumerate(masked.split("\n"), 1):
        stripped = line.strip()
        if continued or stripped.startswith("#") or "static_assert" in stripped:
            skipped.add(number)
        continued = (stripped.startswith("#") or continued) and stripped.endswith("\\")
    return skipped


REL_SWAPS = {"<": ["<=", ">="], "<=": ["<", ">"], ">": [">=", "<="], ">=": [">", "<"], "==": ["!="], "!=": ["=="]}
NUMBER = re.compile(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.])")


def _number_variants(literal):
    """0 <-> 1, one up and one down, ten times and a tenth."""
    value = int(literal, 0)
    variants = {1} if value == 0 else {value - 1, value + 1, value * 10}
    if value >= 10:
        variants.add(value // 10)
    variants.discard(value)
    hexa = literal.lower().startswith("0x")
    return [("0x%X" % v) if hexa else str(v) for v in sorted(variants)]


def _matching_paren(masked, open_at):
    depth = 0
    for k in range(open_at, len(masked)):
        if masked[k] == "(":
            depth += 1
        elif masked[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


def generate(path, text):
    """Every mutant of one file, in file order."""
    masked = mask(text)
    starts = _line_starts(text)
    skipped = _skipped_lines(masked)
    found = []

    def line_of(offset):
        lo, hi = 0, len(starts) - 1
        while lo < hi:
            mid = (lo + hi + 1) // 2
            if starts[mid] <= offset:
                lo = mid
            else:
                hi = mid - 1
        return lo + 1

    def add(start, end, replacement, operator):
        line = line_of(start)
        if line not in skipped:
            found.append(Mutant(path, line, start, end, replacement, operator))

    # Comparison and equality: the boundary moved by one, or the test negated.
    # clang-format puts blanks around binary operators and none inside a
    # template's brackets, so the blanks tell the two apart.
    for m in re.finditer(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)", masked):
        for swap in REL_SWAPS[m.group(1)]:
            add(m.start(1), m.end(1), swap, "relational")

    for m in NUMBER.finditer(masked):
        for variant in _number_variants(m.group(1)):
            add(m.start(1), m.end(1), variant, "constant")

    for m in re.finditer(r"\b(true|false)\b", masked):
        add(m.start(), m.end(), "false" if m.group(1) == "true" else "true", "boolean")

    # A negation removed, or added to the condition of an if or a while.
    for m in re.finditer(r"!(?!=)", masked):
        add(m.start(), m.end(), "", "negation")
    for m in re.finditer(r"\b(if|while)\s*\(", masked):
        close = _matching_paren(masked, m.end() - 1)
        inner = masked[m.end():close]
        # A single comparison is already negated by the relational operator.
        single = re.search(r"\s(<=|>=|==|!=|<|>)\s", inner) and not re.search(r"&&|\|\|", inner)
        if close > m.end() and not single:
            add(m.end(), close, "!(" + text[m.end():close] + ")", "negation")

    for m in re.finditer(r"\s(&&|\|\|)\s", masked):
        add(m.start(1), m.end(1), "||" if m.group(1) == "&&" else "&&", "logical")

    # A flag dropped from an or-ed set: the operand after each '|', and the
    # first operand of a chain.
    operand = r"[A-Za-z_][\w:]*|0[xX][0-9a-fA-F]+|\d+"
    for m in re.finditer(r"\s\|\s+(" + operand + r")(?![\w(])", masked):
        add(m.start(), m.end(), "", "flag")
    for m in re.finditer(r"(?<![\w|:])(" + operand + r")\s\|\s(?!\|)", masked):
        before = masked[:m.start()].rstrip()
        if not before.endswith("|"):
            add(m.start(), m.end(), "", "flag")

    # Whole statements: a call whose result is not used, a case label, a break.
    for number, line in enumerate(masked.split("\n"), 1):
        stripped = line.strip()
        begin = starts[number - 1] + (len(line) - len(line.lstrip()))
        if re.fullmatch(r"break;", stripped):
            add(begin, begin + len(stripped), "", "case-break")
            continue
        label = re.match(r"(case\s[^:]+|default)\s*:(?!:)", stripped)
        if label:
            add(begin, begin + label.end(), "", "case-break")
            continue
        end = _call_statement_end(masked, begin)
        if end > 0 and not LOG_CALL.search(text[begin:end]):
            add(begin, end, "", "statement")
    found.sort(key=lambda mt: (mt.start, mt.operator, mt.replacement))
    return found


CALL_HEAD = re.compile(r"(?:::)?([A-Za-z_]\w*)(?:(?:::|\.|->)[A-Za-z_]\w*)*\s*\(")


def _call_statement_end(masked, begin):
    """The offset after a call statement that starts at `begin` and stands on
    its own (after ';', '{', '}' or a label), or 0."""
    m = CALL_HEAD.match(masked, begin)
    if not m or m.group(1) in KEYWORDS:
        return 0
    before = masked[:begin].rstrip()
    if before and before[-1] not in ";{}:":
        return 0
    close = _matching_paren(masked, m.end() - 1)
    if close < 0:
        return 0
    after = masked[close + 1:].lstrip()
    return close + 1 + (len(masked) - close - 1 - len(after)) + 1 if after.startswith(";") else 0
