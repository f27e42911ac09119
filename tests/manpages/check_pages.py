#!/usr/bin/env python3
"""Renders the manual pages with groff and fails on any warning, then checks that the utility's
page explains every message that the program's sources can print, and that the simulator's page
describes every option that its --help lists.

The messages are taken from the string literals of every ConsolePrint call in the utility's
folders; each literal run of words in them (the text between conversions such as %s, line ends
and backspaces) must appear in the rendered page.
"""
import argparse
import os
import re
import subprocess
import sys

UTILITY_FOLDERS = ("app", "image", "management", "transfer", "net")
CONVERSION = re.compile(r"%[-0-9]*[sd]|\\[nb]")


def render(groff, page, extra=()):
    return subprocess.run([groff, "-man", "-Tutf8", "-ww", *extra, page], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=30)


def check_warnings(groff, page):
    result = render(groff, page, ["-z"])
    if result.returncode != 0 or result.stderr:
        return [f"{os.path.basename(page)}: groff says: {result.stderr.decode(errors='replace')}"]
    return []


def plain_text(groff, page):
    # A line long enough that no paragraph breaks (nor hyphenates) inside a message; overstrikes
    # and hyphen and quote glyphs are brought back to plain ASCII.
    text = render(groff, page, ["-rLL=4000n", "-P-c"]).stdout.decode()
    text = re.sub(r".\x08", "", text)
    text = text.translate({0x2010: "-", 0x2212: "-", 0x2019: "'", 0x2018: "'"})
    return re.sub(r"\s+", " ", text)


def console_literals(source_dir):
    """The string literals of every ConsolePrint call in the utility's sources."""
    literals = []
    for folder in UTILITY_FOLDERS:
        directory = os.path.join(source_dir, folder)
        if not os.path.isdir(directory):
            continue
        for name in sorted(os.listdir(directory)):
            if not name.endswith(".cpp"):
                continue
            with open(os.path.join(directory, name), encoding="utf-8") as f:
                source = f.read()
            for call in re.finditer(r"\bConsolePrint\((.*?)\);", source, re.DOTALL):
                literals += [(name, text) for text in re.findall(r'"((?:[^"\\]|\\.)*)"',
                                                                   call.group(1))]
    return literals


def check_messages(text, literals):
    problems = []
    for name, literal in literals:
        for fragment in CONVERSION.split(literal):
            fragment = fragment.strip()
            # Fragments without a word (marks, spaces, "%") are layout, not messages.
            if re.search(r"[A-Za-z]{2}", fragment) and fragment not in text:
                problems.append(f"the page does not explain {fragment!r} (printed in {name})")
    return problems


def simulator_options(simulator):
    """The options that `simulator --help` lists, such as --once."""
    result = subprocess.run([simulator, "--help"], stdout=subprocess.PIPE, timeout=10)
    return re.findall(r"^ {2}(--[a-z][a-z0-9-]*)", result.stdout.decode(), re.MULTILINE)


def check_options(text, options):
    problems = [f"the simulator's page does not describe {option}" for option in options
                if not re.search(re.escape(option) + r"(?![a-z0-9-])", text)]
    # An option the page names but --help does not list has been renamed or removed.
    named = set(re.findall(r"(?<![a-z0-9-])(--[a-z][a-z0-9]*(?:-[a-z0-9]+)*)(?![a-z0-9-])", text))
    problems += [f"the simulator's page describes {option}, which --help does not list"
                 for option in sorted(named - set(options) - {"--net"})]
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--groff", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--utility-page", required=True)
    parser.add_argument("--simulator", help="torvane-devsim, whose --help lists its options")
    parser.add_argument("--simulator-page")
    parser.add_argument("pages", nargs="*", help="further pages to render")
    args = parser.parse_args()
    problems = []
    for page in [args.utility_page, *args.pages]:
        problems += check_warnings(args.groff, page)
    literals = console_literals(args.source_dir)
    if len(literals) < 10:
        problems.append(f"only {len(literals)} console texts found in the sources")
    problems += check_messages(plain_text(args.groff, args.utility_page), literals)
    if args.simulator and args.simulator_page:
        options = simulator_options(args.simulator)
        if len(options) < 3:
            problems.append(f"only {len(options)} options in torvane-devsim --help")
        problems += check_options(plain_text(args.groff, args.simulator_page), options)
    for problem in problems:
        print("FAIL " + problem)
    print(f"{len(literals)} console texts checked; " +
          ("ok" if not problems else f"{len(problems)} problems"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
