#!/bin/sh
# The documentation's own check:
# - every relative Markdown link (and image) of README.md and docs/*.md
#   points at a file or folder of the repository, and a link to a heading of
#   another page (page.md#heading) at a heading that page has (links to
#   http(s), mailto and anchors of the same page are not checked; text in
#   code is no link);
# - every log line that the troubleshooting table of docs/club-setup.md
#   quotes (its first column, in backticks) is printed by the sources: each
#   part between "..." (the variable parts) is found verbatim in agent/,
#   console/, lockscreen/, platform/, protocol/, settings/ or text/.
# Prints every fault and exits 1 when there is one.
cd "$(dirname "$0")/.." || exit 2
exec python3 - "$@" <<'EOF'
import os
import re
import sys

faults = []
SOURCES = ["agent", "console", "lockscreen", "platform", "protocol", "settings", "text"]


def without_code(lines):
    """The lines with fenced blocks emptied and inline code removed."""
    fenced = False
    for line in lines:
        if re.match(r"^\s*(```|~~~)", line):
            fenced = not fenced
            yield ""
        elif fenced:
            yield ""
        else:
            yield re.sub(r"(`+)(.+?)\1", "", line)


def anchors(page):
    """The anchors of a page's headings, as the usual Markdown renderers make them."""
    found = set()
    with open(page, encoding="utf-8") as f:
        for line in without_code(f.read().split("\n")):
            m = re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
            if m:
                found.add(re.sub(r"[^\w\- ]", "", m.group(1).lower()).replace(" ", "-"))
    return found


pages = ["README.md"] + sorted(
    os.path.join("docs", name) for name in os.listdir("docs") if name.endswith(".md"))
link = re.compile(r"!?\[[^\]]*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
definition = re.compile(r"^[ \t]*\[[^\]\n]+\]:[ \t]*<?(\S+?)>?(?=\s|$)", re.M)
for page in pages:
    with open(page, encoding="utf-8") as f:
        text = "\n".join(without_code(f.read().split("\n")))
    # A link's text may run over a line end.
    found = [(m.start(), m.group(1)) for m in link.finditer(text)]
    found += [(m.start(), m.group(1)) for m in definition.finditer(text)]
    for start, target in found:
        number = text.count("\n", 0, start) + 1
        if re.match(r"^[a-zA-Z][a-zA-Z0-9+.-]*:", target) or target.startswith("#"):
            continue  # http(s), mailto, ...; an anchor of the page itself
        path = target.split("#", 1)[0].split("?", 1)[0]
        resolved = os.path.normpath(os.path.join(os.path.dirname(page), path))
        if resolved.startswith("..") or not os.path.exists(resolved):
            faults.append(f"{page}:{number}: the link '{target}' points at no file of the repository")
        elif "#" in target and resolved.endswith(".md") and \
                target.split("#", 1)[1] not in anchors(resolved):
            faults.append(f"{page}:{number}: the link '{target}' names no heading of {resolved}")


def source_texts():
    for top in SOURCES:
        for root, _, files in os.walk(top):
            for name in files:
                if name.endswith((".cpp", ".h", ".mc", ".rc")):
                    with open(os.path.join(root, name), encoding="utf-8", errors="replace") as f:
                        yield f.read()


sources = "\n".join(source_texts())
table = "docs/club-setup.md"
quoted = 0
with open(table, encoding="utf-8") as f:
    in_section = False
    for number, line in enumerate(f.read().split("\n"), 1):
        if line.startswith("#"):
            in_section = "troubleshooting" in line.lower()
            continue
        if not in_section or not line.startswith("|"):
            continue
        first = line.strip("|").split(" | ")[0]
        for quote in re.findall(r"`([^`]+)`", first):
            quoted += 1
            for part in (p.strip() for p in quote.split("...")):
                as_literal = part.replace("\\", "\\\\").replace('"', '\\"')
                if part and part not in sources and as_literal not in sources:
                    faults.append(f"{table}:{number}: the log line part '{part}' is printed by no source")
if quoted == 0:
    faults.append(f"{table}: its troubleshooting table quotes no log line")

for fault in faults:
    print(fault)
if faults:
    sys.exit(1)
print(f"docs: {len(pages)} pages, every relative link points at a file; "
      f"{quoted} quoted log lines found in the sources")
EOF
