#!/usr/bin/env python3
"""Counts non-blank, non-comment lines of C, C++ and (under tests/) Python sources: the tests against the code.

usage: count_lines.py [ROOT]   prints code (src/, include/, tools/), tests (tests/, .py files too) and their ratio
"""
import os
import sys

SOURCE_ENDINGS = (".c", ".cc", ".cpp", ".h", ".hpp")
PYTHON_ENDING = ".py"  # counted under tests/ only: the end-to-end scripts


def count_file(path):
    """Lines that hold something besides white space and // or /* */ comments."""
    count, in_block = 0, False
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            text, code = line, False
            while text:
                if in_block:
                    end = text.find("*/")
                    if end < 0:
                        text = ""
                    else:
                        text, in_block = text[end + 2:], False
                    continue
                stripped = text.lstrip()
                if stripped.startswith("//") or not stripped:
                    break
                if stripped.startswith("/*"):
                    text, in_block = stripped[2:], True
                    continue
                code = True
                # The rest of the line may open a block comment that runs on.
                start = stripped.find("/*")
                in_block = start >= 0 and stripped.find("*/", start) < 0 and "//" not in stripped[:start]
                break
            count += code
    return count


def count_python(path):
    """Lines that hold something besides white space, # comments and docstrings (a line opening with
    triple quotes, and the lines up to the one that closes them)."""
    count, quote = 0, None
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            stripped = line.strip()
            if quote:
                quote = None if quote in stripped else quote
                continue
            if not stripped or stripped.startswith("#"):
                continue
            opener = stripped[:3]
            if opener in ('"""', "'''"):
                quote = None if opener in stripped[3:] else opener
                continue
            count += 1
    return count


def count_tree(root, folder, python=False):
    total = 0
    for base, _, files in os.walk(os.path.join(root, folder)):
        for f in files:
            if f.endswith(SOURCE_ENDINGS):
                total += count_file(os.path.join(base, f))
            elif python and f.endswith(PYTHON_ENDING):
                total += count_python(os.path.join(base, f))
    return total


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    code = sum(count_tree(root, d) for d in ("src", "include", "tools"))
    tests = count_tree(root, "tests", python=True)
    print(f"code {code} lines (src, include, tools); tests {tests} lines; tests/code {tests / code:.1%}")


if __name__ == "__main__":
    main()
