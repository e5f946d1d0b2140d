"""PEP 517 backend: builds the extension with the project's own CMake build and
packs `velmora.abi3.so` into a stable-ABI manylinux wheel, with the shared
libraries it needs beyond glibc in `velmora.libs/` and its type stubs. It needs
nothing beyond the standard library, cmake, ninja, a C++ compiler and binutils
(see scripts/install-deps).

The build folder is a fresh temporary one unless `--config-settings
build-dir=DIR` (or VELMORA_WHEEL_BUILD_DIR) names one to keep and reuse. A
folder that CMake has configured already is built as it stands, so a
developer's build folder (`build/`) packs the module it has built; its debug
information stays out of the wheel."""

import base64
import hashlib
import os
import re
import subprocess
import sys
import sysconfig
import tempfile
import zipfile

NAME = "velmora"
VERSION = "0.1.0"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULE = f"{NAME}.abi3.so"
LIBS = f"{NAME}.libs"
STUBS = os.path.join(ROOT, "python", f"{NAME}.pyi")

# What every manylinux system provides: glibc's libraries, and the GCC runtime
# (libstdc++, libgcc_s) that the bundled oneTBB links against.
GLIBC_LIBRARIES = {
    "libc.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libpthread.so.0",
    "libutil.so.1", "libresolv.so.2", "ld-linux-x86-64.so.2",
}
SYSTEM_LIBRARIES = GLIBC_LIBRARIES | {"libgcc_s.so.1", "libstdc++.so.6"}


def _needed(path):
    """The sonames an ELF file names in its dynamic section."""
    out = subprocess.run(["readelf", "-d", path], check=True, capture_output=True, text=True).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)


def _resolved(path):
    """Soname -> file, as the loader resolves them for `path` on this machine."""
    out = subprocess.run(["ldd", path], check=True, capture_output=True, text=True).stdout
    return dict(re.findall(r"^\s*(\S+) => (/\S+)", out, re.MULTILINE))


def _bundled_libraries(module):
    """Soname -> file of every library outside the system set that the module
    needs. Bundled libraries have no run path of their own: whatever they need
    beyond the system set must be named by the module too, so that the loader
    has it loaded already."""
    resolved = _resolved(module)
    direct = [soname for soname in _needed(module) if soname not in SYSTEM_LIBRARIES]
    missing = [soname for soname in direct if soname not in resolved]
    if missing:
        raise RuntimeError(f"{MODULE} needs {', '.join(missing)}, which this machine does not have")
    bundled = {soname: resolved[soname] for soname in direct}
    for soname, path in bundled.items():
        for dependency in _needed(path):
            if dependency not in SYSTEM_LIBRARIES and dependency not in bundled:
                raise RuntimeError(f"{soname} needs {dependency}, which {MODULE} does not name")
    return bundled


def _glibc_version(paths):
    """The newest glibc symbol version that any of `paths` needs, as (2, N)."""
    newest = (2, 5)  # manylinux1's glibc: nothing older is tagged
    for path in paths:
        out = subprocess.run(["objdump", "-T", path], check=True, capture_output=True, text=True).stdout
        for major, minor in re.findall(r"\bGLIBC_(\d+)\.(\d+)", out):
            newest = max(newest, (int(major), int(minor)))
    return newest


def _tag(glibc):
    arch = sysconfig.get_platform().split("-", 1)[1].replace("-", "_").replace(".", "_")
    return f"cp38-abi3-manylinux_{glibc[0]}_{glibc[1]}_{arch}"


def _metadata():
    return (
        "Metadata-Version: 2.1\n"
        f"Name: {NAME}\n"
        f"Version: {VERSION}\n"
        "Summary: Typed graphs in memory, queried with a compact pattern language, in parallel\n"
        "Requires-Python: >=3.8\n"
    )


def _check_self_contained(cache):
    with open(cache) as f:
        text = f.read()
    shared = re.search(r"^VELMORA_SELF_CONTAINED:BOOL=(OFF|FALSE|NO|0)$", text, re.MULTILINE | re.IGNORECASE)
    if shared or re.search(r"^VELMORA_SANITIZE:\w+=.+$", text, re.MULTILINE):
        raise RuntimeError(f"{os.path.dirname(cache)} links the module against shared libraries "
                           "(sanitizers, or VELMORA_SELF_CONTAINED off): build the wheel in another folder")


def _build_module(build_dir):
    cache = os.path.join(build_dir, "CMakeCache.txt")
    if os.path.exists(cache):
        _check_self_contained(cache)
    else:
        # The interpreter behind a virtual environment: the module is built
        # for the stable ABI, not for one environment.
        python = os.path.realpath(sys.executable)
        subprocess.run(
            ["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
             "-DVELMORA_TESTS=OFF", "-DVELMORA_BENCH=OFF", "-DVELMORA_SELF_CONTAINED=ON",
             f"-DPython3_EXECUTABLE={python}"],
            check=True,
        )
    subprocess.run(["cmake", "--build", build_dir, "--target", "velmora_module"], check=True)
    return os.path.join(build_dir, MODULE)


def _build_dir(config_settings):
    chosen = (config_settings or {}).get("build-dir") or os.environ.get("VELMORA_WHEEL_BUILD_DIR")
    return os.path.abspath(chosen) if chosen else None


def _read(path):
    with open(path, "rb") as f:
        return f.read()


def _wheel_files(module):
    """Archive path -> bytes of the module, its bundled libraries and its stubs."""
    bundled = _bundled_libraries(module)
    glibc = _glibc_version([module, *bundled.values()])
    with tempfile.TemporaryDirectory() as tmp:
        stripped = os.path.join(tmp, MODULE)
        subprocess.run(["objcopy", "--strip-debug", module, stripped], check=True)
        files = {MODULE: _read(stripped)}
    for soname, path in sorted(bundled.items()):
        files[f"{LIBS}/{soname}"] = _read(path)
    # A stub beside the module serves editors that read site-packages directly;
    # a stub-only package (PEP 561) is what mypy looks for, as it finds no
    # stub of a single-file module on its own.
    stubs = _read(STUBS)
    files[f"{NAME}.pyi"] = stubs
    files[f"{NAME}-stubs/__init__.pyi"] = stubs
    return files, glibc


def _record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}"


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    dist_info = f"{NAME}-{VERSION}.dist-info"
    os.makedirs(os.path.join(metadata_directory, dist_info), exist_ok=True)
    with open(os.path.join(metadata_directory, dist_info, "METADATA"), "w") as f:
        f.write(_metadata())
    return dist_info


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    dist_info = f"{NAME}-{VERSION}.dist-info"
    build_dir = _build_dir(config_settings)
    if build_dir:
        files, glibc = _wheel_files(_build_module(build_dir))
    else:
        with tempfile.TemporaryDirectory() as build_dir:
            files, glibc = _wheel_files(_build_module(build_dir))
    tag = _tag(glibc)
    wheel_name = f"{NAME}-{VERSION}-{tag}.whl"
    files[f"{dist_info}/METADATA"] = _metadata().encode()
    files[f"{dist_info}/WHEEL"] = (
        f"Wheel-Version: 1.0\nGenerator: velmora_build\nRoot-Is-Purelib: false\nTag: {tag}\n"
    ).encode()
    record = [_record_line(path, data) for path, data in files.items()]
    record.append(f"{dist_info}/RECORD,,")
    files[f"{dist_info}/RECORD"] = ("\n".join(record) + "\n").encode()
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as whl:
        for path, data in files.items():
            info = zipfile.ZipInfo(path)
            executable = path.endswith(".so") or path.startswith(f"{LIBS}/")
            info.external_attr = (0o755 if executable else 0o644) << 16
            whl.writestr(info, data, zipfile.ZIP_DEFLATED)
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    import tarfile

    name = f"{NAME}-{VERSION}"
    tracked = subprocess.run(["git", "ls-files"], cwd=ROOT, check=True, capture_output=True, text=True)
    path = os.path.join(sdist_directory, f"{name}.tar.gz")
    with tarfile.open(path, "w:gz") as tar:
        for file in tracked.stdout.split():
            tar.add(os.path.join(ROOT, file), arcname=f"{name}/{file}")
    return f"{name}.tar.gz"
