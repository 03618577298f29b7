#!/usr/bin/env python3
"""Every test a document cites by name must exist.

Reads the cases the test sources define (TEST, TEST_F, TEST_P and the
prefixes INSTANTIATE_TEST_SUITE_P gives the parameterised ones) and every
`Suite.Case` name cited in README.md, docs/ and bench/ (in backticks or not,
with a `Prefix/` and a `/parameter` if the citation has them; `Suite.*`
names the suite as a whole). Prints each
cited name that no test defines, with where it is cited; exit status 1 when
there is one.

    tools/check-test-names.py [root]
"""
import pathlib
import re
import sys

DEFINE = re.compile(r'^\s*(TEST|TEST_F|TEST_P|TYPED_TEST|TYPED_TEST_P)\s*\(\s*(\w+)\s*,\s*(\w+)\s*\)', re.M)
INSTANTIATE = re.compile(r'INSTANTIATE_(?:TEST_SUITE_P|TYPED_TEST_SUITE_P)\s*\(\s*(\w+)\s*,\s*(\w+)')
# A suite's name is CamelCase (which leaves out Windows structures such as
# SYSTEM_THREAD_INFORMATION.Field); a file name (lower case, or after a
# slash or dot of a path) is not a citation.
CITED = re.compile(r'(?<![\w./-])(?:([A-Z]\w*)/)?([A-Z][a-z]\w*)\.([A-Z]\w*|\*)(?:/[\w*]+)?(?![\w(])')


def defined_cases(root):
    cases, prefixes = set(), {}
    for source in sorted((root / 'tests').rglob('*.cpp')):
        text = source.read_text(encoding='utf-8', errors='replace')
        for _, suite, case in DEFINE.findall(text):
            cases.add((suite, case))
        for prefix, suite in INSTANTIATE.findall(text):
            prefixes.setdefault(suite, set()).add(prefix)
    return cases, prefixes


def documents(root):
    yield root / 'README.md'
    for folder in ('docs', 'bench'):
        yield from sorted((root / folder).glob('*.md'))


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
    cases, prefixes = defined_cases(root)
    suites = {suite for suite, _ in cases}
    missing = 0
    cited = 0
    for document in documents(root):
        if not document.exists():
            continue
        for number, line in enumerate(document.read_text(encoding='utf-8').splitlines(), 1):
            for match in CITED.finditer(line):
                prefix, suite, case = match.groups()
                # A sentence that runs into the next (no space after the
                # full stop) has neither a prefix, a pattern nor a CamelCase
                # case name: not a citation.
                plain = prefix is None and case != '*' and not re.search(r'[A-Z][a-z]+[A-Z]', case)
                if plain and suite not in suites:
                    continue
                cited += 1
                # `Suite.*` (a ctest pattern) cites the suite as a whole.
                defined = suite in suites if case == '*' else (suite, case) in cases
                known = defined and (prefix is None or prefix in prefixes.get(suite, ()))
                if not known:
                    missing += 1
                    print(f'{document.relative_to(root)}:{number}: no test named {match.group(0)}')
    sys.stdout.flush()
    print(f"{cited} citations of tests, {missing} naming no test", file=sys.stderr)
    return 1 if missing else 0


if __name__ == '__main__':
    sys.exit(main())
