"""The build backend of the korvane Python package (PEP 517), standard
library only, so that `pip install ./python` works offline and without build
isolation's downloads.

The wheel holds the package's .py files from this folder and, from
Korvane's build tree, the extension module _korvane and the formula grammar
(build/python/korvane, laid out by the build: `cmake --build build`). The
build tree is $KORVANE_BUILD_DIR, else ../build beside this folder; when its
extension is missing or older than its sources, the backend builds the
_korvane target there first.
"""

import base64
import hashlib
import os
import subprocess
import sys
import sysconfig
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
NAME = "korvane"


def _version():
    with open(os.path.join(HERE, NAME, "__init__.py"), encoding="utf-8") as file:
        for line in file:
            if line.startswith("__version__"):
                return line.split("=", 1)[1].strip().strip("\"'")
    raise RuntimeError("korvane/__init__.py has no __version__")


def _build_dir():
    named = os.environ.get("KORVANE_BUILD_DIR")
    if named:
        return os.path.abspath(named if os.path.isabs(named) else os.path.join(HERE, "..", named))
    return os.path.abspath(os.path.join(HERE, "..", "build"))


def _extension():
    """The extension module for this interpreter, built when needed."""
    build = _build_dir()
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    module = os.path.join(build, "python", NAME, "_korvane" + suffix)
    if os.path.isfile(os.path.join(build, "CMakeCache.txt")):
        # Up to date with the C++ sources (a no-op when it is).
        result = subprocess.run(["cmake", "--build", build, "--target", "_korvane"], stdout=sys.stderr)
        if result.returncode != 0:
            raise RuntimeError(f"building the extension module in {build} failed")
    if not os.path.isfile(module):
        raise RuntimeError(
            f"no extension module {module} for this Python ({sys.version.split()[0]}): build Korvane first "
            f"(scripts/setup.sh, with python3-dev and pybind11-dev installed), or name its build folder in "
            f"KORVANE_BUILD_DIR")
    return module


def _tag():
    version = f"cp{sys.version_info.major}{sys.version_info.minor}"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"{version}-{version}-{platform}"


def _metadata():
    with open(os.path.join(HERE, "README.md"), encoding="utf-8") as file:
        readme = file.read()
    return (f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {_version()}\n"
            "Summary: Korvane from Python: models, runs in-process or served, tasks and results\n"
            "Requires-Python: >=3.9\nProvides-Extra: pandas\nRequires-Dist: pandas; extra == \"pandas\"\n"
            "Description-Content-Type: text/markdown\n\n" + readme)


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    files = []
    package = os.path.join(HERE, NAME)
    for name in sorted(os.listdir(package)):
        if name.endswith(".py"):
            files.append((f"{NAME}/{name}", os.path.join(package, name)))
    module = _extension()
    files.append((f"{NAME}/{os.path.basename(module)}", module))
    grammar_folder = os.path.join(os.path.dirname(module), "resources")
    for name in sorted(os.listdir(grammar_folder)):
        files.append((f"{NAME}/resources/{name}", os.path.join(grammar_folder, name)))

    info = f"{NAME}-{_version()}.dist-info"
    wheel_name = f"{NAME}-{_version()}-{_tag()}.whl"
    path = os.path.join(wheel_directory, wheel_name)
    record = []
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED) as wheel:
        def add(name, data):
            wheel.writestr(name, data)
            record.append(_record_line(name, data))

        for name, source in files:
            with open(source, "rb") as file:
                add(name, file.read())
        add(f"{info}/METADATA", _metadata().encode())
        add(f"{info}/WHEEL", f"Wheel-Version: 1.0\nGenerator: korvane_build\nRoot-Is-Purelib: false\n"
                             f"Tag: {_tag()}\n".encode())
        record.append(f"{info}/RECORD,,")
        wheel.writestr(f"{info}/RECORD", "\n".join(record) + "\n")
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    raise RuntimeError("the korvane package is built from Korvane's source tree; it has no source archive of "
                       "its own (use Korvane's, or `pip install ./python` in it)")
