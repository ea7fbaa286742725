"""Checks a built wheel and says what it is: its tag and size, the module,
lumvero_contrib's native part, the engine library both load, the stubs and the
licence inside it, the BLAS left out of it (it comes from the scipy-openblas32
package) and the RPATHs that find the engine and that BLAS.
Exits non-zero when something is missing. Usage: check_wheel.py WHEEL"""
import os
import subprocess
import sys
import tempfile
import zipfile


def dynamic_section(z, member, d):
    """(RPATH/RUNPATH text, NEEDED libraries) of a shared object in the wheel."""
    so = z.extract(member, d)
    out = subprocess.run(["readelf", "-d", so], capture_output=True, text=True).stdout
    rpath = " ".join(line.split("[", 1)[1].rstrip("]") for line in out.splitlines()
                     if "RPATH" in line or "RUNPATH" in line)
    needed = [line.split("[", 1)[1].rstrip("]") for line in out.splitlines() if "NEEDED" in line]
    return rpath, needed


def loads_core(member, rpath, needed, want):
    """Problems with how a module finds the engine library."""
    problems = []
    if want not in rpath.split(":"):
        problems.append(f"{member} RPATH {rpath!r} does not reach lumvero.libs")
    if "liblumvero_core.so" not in needed:
        problems.append(f"{member} does not load liblumvero_core.so: {needed}")
    return problems


def main():
    path = sys.argv[1]
    name = os.path.basename(path)
    problems = []
    with zipfile.ZipFile(path) as z:
        names = z.namelist()
        modules = [n for n in names
                   if n.startswith("lumvero.") and n.endswith(".so") and "/" not in n]
        if len(modules) != 1:
            problems.append(f"expected one top-level lumvero module, found {modules}")
        native = [n for n in names if n.startswith("lumvero_contrib/_native.") and n.endswith(".so")]
        if len(native) != 1:
            problems.append(f"expected one lumvero_contrib/_native module, found {native}")
        for want in ("lumvero_contrib/index.py", "lumvero_contrib/py.typed"):
            if want not in names:
                problems.append(f"{want} missing")
        if "lumvero-stubs/__init__.pyi" not in names:
            problems.append("lumvero-stubs/__init__.pyi missing")
        if not any(n.endswith(".dist-info/licenses/LICENSE") for n in names):
            problems.append("LICENSE missing from .dist-info/licenses")
        bundled = [n for n in names if ".libs/" in n and not n.endswith("/")]
        if any("openblas" in n for n in bundled):
            problems.append(f"BLAS bundled: {bundled}")
        meta = z.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode()
        for want in ("License-Expression: Apache-2.0", "Requires-Dist: scipy-openblas32"):
            if want not in meta:
                problems.append(f"METADATA lacks {want!r}")
        core = "lumvero.libs/liblumvero_core.so"
        if core not in names:
            problems.append(f"{core} missing")
        rpath = native_rpath = core_rpath = ""
        needed = []
        with tempfile.TemporaryDirectory() as d:
            # Both modules load the one engine library (one pool per process);
            # it alone links the BLAS.
            if modules:
                rpath, needed = dynamic_section(z, modules[0], d)
                problems += loads_core(modules[0], rpath, needed, "$ORIGIN/lumvero.libs")
            if native:
                native_rpath, native_needed = dynamic_section(z, native[0], d)
                problems += loads_core(native[0], native_rpath, native_needed,
                                       "$ORIGIN/../lumvero.libs")
            if core in names:
                core_rpath, core_needed = dynamic_section(z, core, d)
                if "$ORIGIN/../scipy_openblas32/lib" not in core_rpath.split(":"):
                    problems.append(f"{core} RPATH {core_rpath!r} does not reach "
                                    f"scipy_openblas32/lib")
                if "libscipy_openblas.so" not in core_needed:
                    problems.append(f"{core} does not load libscipy_openblas.so: {core_needed}")
    tag = name[:-4].split("-", 2)[2]
    print(f"wheel:    {name}")
    print(f"tag:      {tag}")
    print(f"size:     {os.path.getsize(path) / 1e6:.1f} MB")
    print(f"bundled:  {', '.join(os.path.basename(b) for b in bundled) or 'nothing'}")
    if modules:
        print(f"NEEDED:   {', '.join(needed)}")
    print(f"RPATH:    {rpath}")
    print(f"contrib:  {native_rpath}")
    print(f"core:     {core_rpath}")
    for p in problems:
        print(f"PROBLEM: {p}", file=sys.stderr)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
