"""PEP 517 backend: builds the extension with the project's own CMake build and
packs `velmora.abi3.so` into a stable-ABI wheel. It needs nothing beyond the
standard library, cmake, ninja and a C++ compiler (see scripts/install-deps)."""

import base64
import hashlib
import os
import subprocess
import sys
import sysconfig
import tempfile
import zipfile

NAME = "velmora"
VERSION = "0.1.0"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _tag():
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"cp38-abi3-{platform}"


def _metadata():
    return (
        "Metadata-Version: 2.1\n"
        f"Name: {NAME}\n"
        f"Version: {VERSION}\n"
        "Summary: Typed graphs in memory, queried with a compact pattern language, in parallel\n"
        "Requires-Python: >=3.8\n"
    )


def _build_module(build_dir):
    subprocess.run(
        ["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
         "-DVELMORA_TESTS=OFF", "-DVELMORA_BENCH=OFF", f"-DPython3_EXECUTABLE={sys.executable}"],
        check=True,
    )
    subprocess.run(["cmake", "--build", build_dir, "--target", "velmora_module"], check=True)
    return os.path.join(build_dir, f"{NAME}.abi3.so")


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
    tag = _tag()
    dist_info = f"{NAME}-{VERSION}.dist-info"
    wheel_name = f"{NAME}-{VERSION}-{tag}.whl"
    with tempfile.TemporaryDirectory() as build_dir:
        module = _build_module(build_dir)
        with open(module, "rb") as f:
            files = {f"{NAME}.abi3.so": f.read()}
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
            info.external_attr = 0o755 << 16 if path.endswith(".so") else 0o644 << 16
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
