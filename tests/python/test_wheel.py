"""The wheel as a user gets it: built by pip through the in-tree backend,
installed into a fresh virtual environment without network, and loaded with no
help from the build: no LD_LIBRARY_PATH, no PYTHONPATH, nothing of the build
folder on any search path. What it maps must be glibc, the GCC runtime and its
own files."""

import ctypes
import ctypes.util
import json
import os
import re
import subprocess
import textwrap
import time
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
# The wheel packs the module of the build folder under test, which CMake
# links self-contained: building it again there rebuilds nothing.
BUILD = Path(os.environ.get("VELMORA_BUILD_DIR", ROOT / "build"))


def links_shared_libraries():
    cache = BUILD / "CMakeCache.txt"
    text = cache.read_text() if cache.exists() else ""
    return bool(re.search(r"^VELMORA_SANITIZE:\w+=.+$", text, re.MULTILINE)
                or re.search(r"^VELMORA_SELF_CONTAINED:BOOL=(OFF|FALSE|NO|0)$", text, re.MULTILINE | re.I))


pytestmark = pytest.mark.skipif(
    links_shared_libraries(), reason="this build links the module against shared libraries (sanitizers)")

GLIBC = {"libc.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libpthread.so.0", "ld-linux-x86-64.so.2"}
# The GCC runtime: the module needs its unwinder, the bundled oneTBB its C++ library.
GCC_RUNTIME = {"libgcc_s.so.1", "libstdc++.so.6"}
# Libraries that the module links in or carries: never mapped from elsewhere.
OWN_LIBRARIES = re.compile(r"lib(absl_\w+|icu\w+|fmt|tbb|crypto|ssl)\.so")


def run(args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kwargs)


def needed(path):
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", run(["readelf", "-d", str(path)]).stdout)


def glibc_versions(path):
    found = re.findall(r"\bGLIBC_2\.(\d+)\b", run(["objdump", "-T", str(path)]).stdout)
    return {(2, int(minor)) for minor in found}


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """(wheel path, site-packages, venv python)."""
    tmp = tmp_path_factory.mktemp("wheel")
    venv = tmp / "venv"
    run(["/usr/bin/python3", "-m", "venv", str(venv)])
    python = venv / "bin" / "python"
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH", "LD_PRELOAD")}
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "4")
    start = time.monotonic()
    run([str(python), "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index",
         "--config-settings", f"build-dir={BUILD}", "-w", str(tmp / "dist"), str(ROOT)], env=env)
    built = time.monotonic() - start
    (wheel,) = (tmp / "dist").glob("velmora-*.whl")
    run([str(python), "-m", "pip", "install", "--no-index", "--no-deps", str(wheel)], env=env)
    site = Path(run([str(python), "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"]).stdout.strip())
    print(f"wheel {wheel.name}: {wheel.stat().st_size} bytes, built in {built:.1f} s")
    return wheel, site, python


def isolated_run(python, code, cwd):
    """Runs `code` in the venv's interpreter with a bare environment, from a
    folder outside the source tree and the build folder."""
    env = {"PATH": f"{python.parent}:/usr/bin:/bin", "LD_LIBRARY_PATH": "", "HOME": str(cwd),
           "LANG": "C.UTF-8"}
    out = subprocess.run([str(python), "-I", "-c", textwrap.dedent(code)], cwd=cwd, env=env,
                         capture_output=True, text=True, encoding="utf-8", timeout=120)
    assert out.returncode == 0, out.stderr
    return out.stdout


def test_wheel_name_carries_the_glibc_it_needs(installed):
    wheel, site, _ = installed
    match = re.fullmatch(r"velmora-0\.1\.0-cp38-abi3-manylinux_2_(\d+)_x86_64\.whl", wheel.name)
    assert match, wheel.name
    tagged = (2, int(match.group(1)))
    with zipfile.ZipFile(wheel) as whl:
        wheel_file = whl.read("velmora-0.1.0.dist-info/WHEEL").decode()
    assert f"Tag: cp38-abi3-manylinux_2_{tagged[1]}_x86_64\n" in wheel_file
    elves = [site / "velmora.abi3.so", *(site / "velmora.libs").iterdir()]
    # The newest version any of them needs is the one in the tag: no older
    # glibc could load them, and no newer one is asked for.
    assert max(v for elf in elves for v in glibc_versions(elf)) == tagged


def test_module_needs_only_glibc_and_what_it_carries(installed):
    _, site, _ = installed
    module = site / "velmora.abi3.so"
    libs = site / "velmora.libs"
    bundled = {p.name for p in libs.iterdir()}
    assert "libtbb.so.12" in bundled
    assert set(needed(module)) - GLIBC - bundled <= {"libgcc_s.so.1"}
    for lib in libs.iterdir():
        assert set(needed(lib)) - GLIBC - GCC_RUNTIME - bundled == set(), lib.name
    dynamic = run(["readelf", "-d", str(module)]).stdout
    assert "Library runpath: [$ORIGIN/velmora.libs]" in dynamic
    exported = [line.split()[-1] for line in run(["objdump", "-T", str(module)]).stdout.splitlines()
                if re.search(r"\s(DF|DO)\s+\.\w+", line)]
    assert exported == ["PyInit_velmora"]


def test_stubs_are_installed_where_type_checkers_look(installed):
    _, site, _ = installed
    stubs = (ROOT / "python" / "velmora.pyi").read_text()
    assert (site / "velmora.pyi").read_text() == stubs
    assert (site / "velmora-stubs" / "__init__.pyi").read_text() == stubs


def test_type_checker_checks_code_against_the_installed_stubs(installed, tmp_path):
    _, _, python = installed
    (tmp_path / "good.py").write_text(textwrap.dedent("""
        from velmora import Constant, Graph, Node

        g = Graph([Constant("alice", "Person")])
        rows = g.query().match("(p:Person)").limit(1).return_("p")
        p = rows[0]["p"]
        if isinstance(p, Node):
            term = p.term()
            print(term.uid() if term is not None else None, p.type().as_var(), p.properties())
    """))
    (tmp_path / "bad.py").write_text(textwrap.dedent("""
        from velmora import Graph

        g = Graph()
        g.query().limit("3")
        count: int = g.nodes()[0].uid()
        g.nodes()[0].term().uid()
        g.subgraph(nodes=[1])
    """))
    out = subprocess.run(
        ["/usr/bin/python3", "-m", "mypy", "--strict", "--cache-dir", os.devnull,
         "--python-executable", str(python), "--no-error-summary", "good.py", "bad.py"],
        cwd=tmp_path, capture_output=True, text=True)
    lines = sorted(int(n) for n in re.findall(r"^bad\.py:(\d+): error", out.stdout, re.MULTILINE))
    assert lines == [5, 6, 7, 8], out.stdout + out.stderr
    assert "good.py" not in out.stdout


def test_installed_module_runs_a_query_on_its_own(installed, tmp_path):
    _, site, python = installed
    report = json.loads(isolated_run(python, """
        import json, velmora
        from velmora import Constant, Graph
        g = Graph([Constant("alice", "Person"), Constant("lives_in", "(X:*) -> City")])
        g.query().create("(p:Person {name: 'Alice'})-[e]->(c:City {name: 'Paris'})").execute()
        rows = g.query().match("(p:Person)-[e]->(c:City)").return_("p", "c")
        maps = [line.split()[-1] for line in open("/proc/self/maps") if "/" in line]
        print(json.dumps({
            "file": velmora.__file__,
            "cities": [str(row["c"].term()) for row in rows],
            "uid": g.query().match("(p:Person)").return_("p")[0]["p"].uid(),
            "maps": sorted(set(maps)),
        }))
    """, tmp_path))
    assert report["file"] == str(site / "velmora.abi3.so")
    assert report["cities"] == ["(lives_in alice)"]
    # Uids are SHA-256 digests, here from the module's own libcrypto.
    import hashlib

    assert report["uid"] == hashlib.sha256(b"var:Person").hexdigest()
    for path in report["maps"]:
        assert not path.startswith(str(BUILD)) and not path.startswith(str(ROOT)), path
        if OWN_LIBRARIES.search(Path(path).name):
            assert Path(path).parent == site / "velmora.libs", path


def icu():
    """Debian's own ICU through ctypes, with its version suffix on every name."""
    name = ctypes.util.find_library("icuuc")
    if not name:
        pytest.fail("libicuuc is not installed (scripts/install-deps installs it)")
    lib = ctypes.CDLL(name)
    suffix = "_" + name.rsplit(".", 1)[-1]
    char_type = getattr(lib, "u_charType" + suffix)
    has_property = getattr(lib, "u_hasBinaryProperty" + suffix)
    char_type.restype = ctypes.c_int8
    has_property.restype = ctypes.c_int8
    return char_type, has_property


def test_static_icu_answers_as_debians_shared_icu(installed, tmp_path):
    """The module's ICU carries no data package. Property texts escape exactly
    the code points that the character properties mark, so escaping every
    code point shows the properties the module sees, to compare with the ones
    Debian's complete ICU gives."""
    _, _, python = installed
    text = isolated_run(python, """
        import sys
        from velmora import Graph
        everything = "".join(chr(c) for c in range(0x20, 0x110000) if not 0xD800 <= c < 0xE000)
        sys.stdout.buffer.write(str(Graph().query().set("a", {"s": everything})).encode())
    """, tmp_path)
    escaped = {int(h, 16) for h in re.findall(r"\\u\{([0-9a-f]+)\}", text)}

    char_type, has_property = icu()
    UCHAR_GRAPHEME_EXTEND = 11
    # Separators, controls, format characters, surrogates, private use, unassigned.
    hidden = {12, 13, 14, 15, 16, 17, 18, 0}
    expected = {c for c in range(0x7F, 0x110000) if not 0xD800 <= c < 0xE000
                and (char_type(c) in hidden or has_property(c, UCHAR_GRAPHEME_EXTEND))}
    assert escaped == expected
    assert 0x0378 in escaped and 0x0301 in escaped and 0x00E9 not in escaped


def test_static_icu_knows_letters_and_white_space(installed, tmp_path):
    """Names must start with a letter (ICU's Alphabetic) and patterns are
    trimmed of ICU's White_Space: both through the module's own ICU."""
    _, _, python = installed
    _, has_property = icu()
    UCHAR_ALPHABETIC, UCHAR_WHITE_SPACE = 0, 31
    spaces = [c for c in range(0x110000) if has_property(c, UCHAR_WHITE_SPACE)]
    letters = [0xE9, 0x540D, 0x10400, 0x1E900]  # é, 名, 𐐀, 𞤀
    assert all(has_property(c, UCHAR_ALPHABETIC) for c in letters)
    out = isolated_run(python, f"""
        from velmora import Graph
        q = Graph().query()
        for c in {spaces!r}:
            q = q.match(chr(c) + "(a:A)" + chr(c))
        for c in {letters!r}:
            q = q.match("(" + chr(c) + ":A)")
        print(str(q), end="")
    """, tmp_path)
    assert out == "MATCH (a:A)\n" * len(spaces) + "".join(f"MATCH ({chr(c)}:A)\n" for c in letters)
