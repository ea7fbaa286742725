"""Checks the engine's rooms (src/engine/<room>/) against their READMEs.

Each room's README lists, under "Public headers", the headers that code
outside the room may include; every other header of the room is internal to
it. This check fails when
- a file in src/ outside a room includes one of that room's internal headers
  (tests and benchmarks may reach inside: they test the internals);
- a room has no README, or its README names a public header that does not
  exist;
- more than six files sit at the top of src/engine (the rooms hold the rest).

    python tools/check_rooms.py [ROOT]
"""
import pathlib
import re
import sys

MAX_TOP_FILES = 6
INCLUDE = re.compile(r'^\s*#\s*include\s+"engine/([^"]+)"', re.M)
# The README's "Public headers" section: a list of `name.h` entries, up to the
# next heading.
SECTION = re.compile(r"^#+ Public headers\s*$(.*?)(?=^#|\Z)", re.M | re.S)
HEADER = re.compile(r"`([\w/]+\.h)`")


def public_headers(readme: pathlib.Path) -> set[str]:
    m = SECTION.search(readme.read_text(encoding="utf-8"))
    return set(HEADER.findall(m.group(1))) if m else set()


def room_of(path: pathlib.Path, engine: pathlib.Path) -> str | None:
    """The room a source file lives in, or None outside the rooms."""
    try:
        parts = path.relative_to(engine).parts
    except ValueError:
        return None
    return parts[0] if len(parts) > 1 else None


def check(root: pathlib.Path) -> list[str]:
    engine = root / "src" / "engine"
    problems: list[str] = []
    rooms = sorted(p.name for p in engine.iterdir() if p.is_dir())
    public: dict[str, set[str]] = {}
    for room in rooms:
        readme = engine / room / "README.md"
        if not readme.is_file():
            problems.append(f"src/engine/{room} has no README.md")
            continue
        public[room] = public_headers(readme)
        if not public[room]:
            problems.append(f"src/engine/{room}/README.md lists no public headers")
        for h in sorted(public[room]):
            if not (engine / room / h).is_file():
                problems.append(f"src/engine/{room}/README.md names {h}, which does not exist")
    top = sorted(p.name for p in engine.iterdir() if p.is_file())
    if len(top) > MAX_TOP_FILES:
        problems.append(f"{len(top)} files at the top of src/engine (at most {MAX_TOP_FILES}): "
                        + ", ".join(top))
    for src in sorted((root / "src").rglob("*")):
        if src.suffix not in (".h", ".cpp") or not src.is_file():
            continue
        here = room_of(src, engine)
        for target in INCLUDE.findall(src.read_text(encoding="utf-8")):
            parts = target.split("/")
            if len(parts) < 2 or parts[0] == here or parts[0] not in public:
                continue
            header = "/".join(parts[1:])
            if header not in public[parts[0]]:
                problems.append(f"{src.relative_to(root)} includes engine/{target}, internal to "
                                f"src/engine/{parts[0]}")
    return problems


def main() -> int:
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    problems = check(root)
    for p in problems:
        print(p, file=sys.stderr)
    if not problems:
        print("rooms: every include across rooms reaches a public header")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
