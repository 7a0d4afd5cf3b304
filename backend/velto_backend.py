"""The build backend of the `velto` distribution (PEP 517), in-tree and
standard library only.

pip runs it through pyproject.toml (`backend-path`, pip 20 or newer):

    python -m pip install .
    python -m pip wheel .

It builds the module with the project's CMake build (Release, no tests) for
the interpreter that runs it, and packs one wheel: the module, the device
library beside it (libvelto.so: the simulator, or the library named by
VELTO_DEVICE_LIBRARY), the package's native row formatter velto_rows, every pure-Python package under python/, with the
simulator the top-level module velto_sim (simulator/velto_sim.py, its control
interface) and the metadata (version from the file VERSION). The
distribution is called velto (`pip show velto`, `pip uninstall velto`); the
extension module inside it keeps its name velto_internal.

It also runs as a command, for interpreters whose pip is older than 20
(Python 2.7 ships pip 19, which cannot load an in-tree backend):

    python backend/velto_backend.py install [pip install options, e.g. --user or --target DIR]
    python backend/velto_backend.py wheel [DIR]

`install` builds the same wheel through the same hook and installs it with
`python -m pip install`, so `python -m pip uninstall velto` removes it.

The CMake build folder is build-wheel/<wheel tag>/ in the source tree, kept
between builds (config setting build-dir=DIR chooses another: pip
--config-settings build-dir=DIR). A build that cannot work stops with one
short message naming what is missing; the full output of CMake and the
compiler is kept in build.log there, and the message names it.
"""
from __future__ import print_function

import base64
import hashlib
import io
import multiprocessing
import os
import platform
import re
import shutil
import struct
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile

DIST_NAME = 'velto'        # the distribution pip knows: pip show/uninstall velto
NAME = 'velto_internal'    # the extension module and its CMake target
ROWS = 'velto_rows'        # the package's native row formatter, built with it
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUPPORTED = ((2, 7), (3, 8), (3, 9), (3, 10), (3, 11), (3, 12), (3, 13))
REQUIRES_PYTHON = '>=2.7, !=3.0.*, !=3.1.*, !=3.2.*, !=3.3.*, !=3.4.*, !=3.5.*, !=3.6.*, !=3.7.*, <3.14'
SUMMARY = 'Python access to Velto eye trackers through the velto device library'
MIN_CMAKE = (3, 16)
# Timestamp of every file in the wheel and the sdist, so that a build of the
# same files gives the same archive.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)


class BuildRefused(Exception):
    """A build that cannot work; the message says what is missing."""


# ---------------------------------------------------------------- metadata

def _utf8(text):
    """`text` as UTF-8 bytes (on 2.7 a str already is)."""
    return text if isinstance(text, bytes) else text.encode('utf-8')


def _write_text(path, text):
    with open(path, 'wb') as f:
        f.write(_utf8(text))


def read_version(root=ROOT):
    with io.open(os.path.join(root, 'VERSION'), encoding='utf-8') as f:
        version = f.read().strip()
    if not re.match(r'^\d+(\.\d+)*([abc]|rc)?\d*(\.post\d+)?(\.dev\d+)?$', version):
        raise BuildRefused('VERSION holds %r, which is not a version number' % version)
    return version


def wheel_tag():
    """(python, abi, platform) tags of the running interpreter, e.g.
    ('cp27', 'cp27mu', 'linux_x86_64') or ('cp312', 'cp312', 'linux_x86_64')."""
    major, minor = sys.version_info[:2]
    python = 'cp%d%d' % (major, minor)
    if major == 2:
        # The 2.7 ABI depends on the build: debug (d), pymalloc (m), UCS4 (u).
        abi = python
        if sysconfig.get_config_var('Py_DEBUG'):
            abi += 'd'
        if sysconfig.get_config_var('WITH_PYMALLOC') in (None, 1):
            abi += 'm'
        if sys.maxunicode == 0x10FFFF:
            abi += 'u'
    else:
        abi = python + getattr(sys, 'abiflags', '')
    plat = sysconfig.get_platform().replace('-', '_').replace('.', '_')
    if plat == 'linux_x86_64' and struct.calcsize('P') == 4:
        plat = 'linux_i686'  # a 32-bit interpreter on a 64-bit kernel
    return python, abi, plat


def dist_info_name(version):
    return '%s-%s.dist-info' % (DIST_NAME, version)


def python_packages(root=ROOT):
    """(path in the wheel, file) of every pure-Python package and module under
    python/, and the top-level names they add."""
    base = os.path.join(root, 'python')
    files, names = [], []
    if not os.path.isdir(base):
        return files, names
    for entry in sorted(os.listdir(base)):
        path = os.path.join(base, entry)
        if os.path.isfile(path) and entry.endswith('.py'):
            files.append((entry, path))
            names.append(entry[:-3])
        elif os.path.isfile(os.path.join(path, '__init__.py')):
            names.append(entry)
            for folder, dirs, leaves in os.walk(path):
                dirs[:] = sorted(d for d in dirs if d != '__pycache__')
                for leaf in sorted(leaves):
                    if not leaf.endswith(('.pyc', '.pyo')):
                        full = os.path.join(folder, leaf)
                        files.append((os.path.relpath(full, base).replace(os.sep, '/'), full))
    return files, names


def simulator_modules(root=ROOT):
    """(path in the wheel, file) of the simulator's control module velto_sim
    and the top-level names it adds; none with a real device library, which
    has no control interface."""
    if os.environ.get('VELTO_DEVICE_LIBRARY'):
        return [], []
    return [('velto_sim.py', os.path.join(root, 'simulator', 'velto_sim.py'))], ['velto_sim']


def metadata_files(version, top_level):
    """The dist-info files other than RECORD: {name: text}."""
    tag = '-'.join(wheel_tag())
    return {
        'METADATA': ('Metadata-Version: 2.1\nName: %s\nVersion: %s\nSummary: %s\n'
                     'Requires-Python: %s\nPlatform: linux\n'
                     % (DIST_NAME, version, SUMMARY, REQUIRES_PYTHON)),
        'WHEEL': ('Wheel-Version: 1.0\nGenerator: velto_backend %s\nRoot-Is-Purelib: false\n'
                  'Tag: %s\n' % (version, tag)),
        'top_level.txt': ''.join(name + '\n' for name in sorted(top_level)),
    }


def record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b'=').decode('ascii')
    return '%s,sha256=%s,%d\n' % (path, digest, len(data))


def _zip_entry(archive, path, data, mode):
    info = zipfile.ZipInfo(path, date_time=ZIP_TIME)
    info.external_attr = (0o100000 | mode) << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    archive.writestr(info, data)


def write_wheel(wheel_directory, files, version, top_level):
    """Packs `files` ((path in the wheel, file on disk)) and the dist-info into
    a wheel in `wheel_directory`; returns the wheel's file name."""
    name = '%s-%s-%s.whl' % (DIST_NAME, version, '-'.join(wheel_tag()))
    dist_info = dist_info_name(version)
    record = []
    target = os.path.join(wheel_directory, name)
    with zipfile.ZipFile(target, 'w') as archive:
        for path, source in files:
            with open(source, 'rb') as f:
                data = f.read()
            executable = os.stat(source).st_mode & 0o111
            _zip_entry(archive, path, data, 0o755 if executable else 0o644)
            record.append(record_line(path, data))
        for leaf, text in sorted(metadata_files(version, top_level).items()):
            path = dist_info + '/' + leaf
            data = _utf8(text)
            _zip_entry(archive, path, data, 0o644)
            record.append(record_line(path, data))
        record.append(dist_info + '/RECORD,,\n')
        _zip_entry(archive, dist_info + '/RECORD', _utf8(''.join(record)), 0o644)
    return name


# ------------------------------------------------------- build environment

def find_program(name, path=None):
    """The full path of `name` (a path itself, or looked up on PATH), or None."""
    if os.sep in name:
        return name if os.path.isfile(name) and os.access(name, os.X_OK) else None
    for folder in (path if path is not None else os.environ.get('PATH', '')).split(os.pathsep):
        candidate = os.path.join(folder or '.', name)
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    return None


def _find_compiler(variable, names, what, package):
    chosen = os.environ.get(variable, '').split()
    if chosen:
        if find_program(chosen[0]) is None:
            raise BuildRefused('%s=%s, but that %s was not found' % (variable, chosen[0], what))
        return
    if not any(find_program(n) for n in names):
        raise BuildRefused('no %s found (looked for %s on PATH; or set %s). Install one, '
                           'e.g. on Debian: apt-get install %s'
                           % (what, ', '.join(names), variable, package))


def check_build_environment():
    """Checks everything the build needs before CMake runs; returns the path
    of cmake. Raises BuildRefused with what is missing."""
    version = sys.version_info[:2]
    if platform.python_implementation() != 'CPython' or version not in SUPPORTED:
        raise BuildRefused('%s %d.%d is not supported: velto_internal builds for CPython 2.7 '
                           'and 3.8 to 3.13' % ((platform.python_implementation(),) + version))
    if not sys.platform.startswith('linux'):
        raise BuildRefused('velto_internal builds on Linux only (this is %s)' % sys.platform)
    cmake = find_program('cmake')
    if cmake is None:
        raise BuildRefused('CMake was not found on PATH. Install CMake %d.%d or newer, '
                           'e.g. on Debian: apt-get install cmake' % MIN_CMAKE)
    try:
        out = subprocess.check_output([cmake, '--version']).decode('utf-8', 'replace')
        found = tuple(int(x) for x in re.search(r'version (\d+)\.(\d+)', out).groups())
    except (OSError, subprocess.CalledProcessError, AttributeError):
        raise BuildRefused('%s does not run (cmake --version failed)' % cmake)
    if found < MIN_CMAKE:
        raise BuildRefused('CMake %d.%d is too old: velto_internal needs %d.%d or newer'
                           % (found + MIN_CMAKE))
    if not os.environ.get('CMAKE_GENERATOR') and not find_program('make'):
        raise BuildRefused('make was not found on PATH (CMake generates Makefiles). Install it, '
                           'e.g. on Debian: apt-get install make')
    _find_compiler('CXX', ('c++', 'g++', 'clang++'), 'C++ compiler', 'g++')
    _find_compiler('CC', ('cc', 'gcc', 'clang'), 'C compiler', 'gcc')
    include = sysconfig.get_paths()['include']
    if not os.path.isfile(os.path.join(include, 'Python.h')):
        raise BuildRefused('Python.h was not found in %s: this interpreter (%s) has no '
                           'development headers. Install them (e.g. on Debian: '
                           'apt-get install python%d.%d-dev) or use an interpreter that has them'
                           % ((include, sys.executable) + version))
    return cmake


def device_library():
    """The real device library named by VELTO_DEVICE_LIBRARY (absolute), or ''."""
    chosen = os.environ.get('VELTO_DEVICE_LIBRARY', '')
    if not chosen:
        return ''
    if not os.path.isfile(chosen):
        raise BuildRefused('VELTO_DEVICE_LIBRARY=%s: no such file (give the absolute path of '
                           'the device library)' % chosen)
    return os.path.abspath(chosen)


# ------------------------------------------------------------------ build

def _build_directory(tag, chosen=None):
    """The folder `chosen` (config setting build-dir), else build-wheel/<tag>
    in the source tree (kept between builds of the same interpreter), or a new
    temporary folder when the tree is read-only."""
    folder = os.path.abspath(chosen) if chosen else os.path.join(ROOT, 'build-wheel', tag)
    try:
        if not os.path.isdir(folder):
            os.makedirs(folder)
        probe = tempfile.TemporaryFile(dir=folder)
        probe.close()
        return folder
    except (OSError, IOError):
        return tempfile.mkdtemp(prefix='velto-wheel-')


def _forget_foreign_cache(folder, identity):
    """Empties `folder` when it was configured for another source tree,
    interpreter or device library (pip may copy the tree, build-wheel/
    included, elsewhere; a copied library must not pass for the simulator)."""
    stamp = os.path.join(folder, 'velto-build-for.txt')
    try:
        with open(stamp, 'rb') as f:
            same = f.read() == _utf8(identity)
    except (IOError, OSError):
        same = False
    if not same:
        for entry in os.listdir(folder):
            path = os.path.join(folder, entry)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.remove(path)
        _write_text(stamp, identity)


def _summary(log_text, step):
    """The few lines of a failed step's log that say why: CMake's error
    message, or the compiler's first errors."""
    lines = log_text.splitlines()
    picked = []
    if step == 'configure':
        for i, line in enumerate(lines):
            if line.startswith('CMake Error'):
                picked = [line]
                for following in lines[i + 1:]:
                    if following.startswith(('CMake ', '-- ')):
                        break
                    picked.append(following)
                break
    else:
        picked = [l for l in lines if ' error: ' in l or l.startswith(('ld:', '/usr/bin/ld:'))]
    picked = [l.rstrip() for l in picked if l.strip()][:8]
    return '\n'.join('  ' + l.strip() for l in picked)


def _run_logged(command, log_path, step):
    with open(log_path, 'ab') as log:
        log.write(_utf8('\n$ %s\n' % ' '.join(command)))
        log.flush()
        status = subprocess.call(command, stdout=log, stderr=subprocess.STDOUT, cwd=ROOT)
    if status != 0:
        with io.open(log_path, encoding='utf-8', errors='replace') as f:
            why = _summary(f.read(), step)
        raise BuildRefused('the CMake %s step failed%s\nThe full log is %s'
                           % (step, (':\n' + why) if why else '', log_path))


def build_module(build_dir=None):
    """Configures and builds the module (and the simulator) for this
    interpreter in `build_dir` (default: see _build_directory); returns
    (path in the wheel, file) of the extension modules and the library."""
    cmake = check_build_environment()
    library = device_library()
    tag = '-'.join(wheel_tag())
    folder = _build_directory(tag, build_dir)
    _forget_foreign_cache(folder, '%s\n%s\n%s\n' % (ROOT, sys.executable, library))
    log_path = os.path.join(folder, 'build.log')
    open(log_path, 'w').close()
    print('velto_internal: building for %s in %s (log: %s)' % (sys.executable, folder, log_path),
          file=sys.stderr)
    jobs = os.environ.get('CMAKE_BUILD_PARALLEL_LEVEL') or str(multiprocessing.cpu_count())
    _run_logged([cmake, '-S', ROOT, '-B', folder, '-DCMAKE_BUILD_TYPE=Release',
                 '-DPython_EXECUTABLE=' + sys.executable, '-DVELTO_BUILD_TESTS=OFF',
                 '-DVELTO_FUZZ=OFF', '-DVELTO_DEVICE_LIBRARY=' + library], log_path, 'configure')
    _run_logged([cmake, '--build', folder, '--target', NAME, '--parallel', jobs], log_path, 'build')
    suffix = sysconfig.get_config_var('EXT_SUFFIX') or sysconfig.get_config_var('SO') or '.so'
    files = []
    for leaf in (NAME + suffix, ROWS + suffix, 'libvelto.so'):
        path = os.path.join(folder, 'lib', leaf)
        if not os.path.isfile(path):
            raise BuildRefused('the build did not produce %s\nThe full log is %s' % (path, log_path))
        files.append((leaf, path))
    return files


def _refusals_end_the_build(hook):
    """A refused build ends with its short message and status 1, without a
    Python traceback (pip shows the backend's output as it is)."""
    def run(*args, **kwargs):
        try:
            return hook(*args, **kwargs)
        except BuildRefused as refusal:
            print('velto_internal: %s' % refusal, file=sys.stderr)
            sys.exit(1)
    run.__name__ = hook.__name__
    run.__doc__ = hook.__doc__
    return run


# -------------------------------------------------------------- PEP 517 hooks

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


@_refusals_end_the_build
def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    version = read_version()
    name = dist_info_name(version)
    folder = os.path.join(metadata_directory, name)
    if not os.path.isdir(folder):
        os.makedirs(folder)
    top_level = [NAME, ROWS] + python_packages()[1] + simulator_modules()[1]
    for leaf, text in metadata_files(version, top_level).items():
        _write_text(os.path.join(folder, leaf), text)
    return name


@_refusals_end_the_build
def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    version = read_version()
    packages, names = python_packages()
    simulator, simulator_names = simulator_modules()
    files = build_module((config_settings or {}).get('build-dir')) + packages + simulator
    if not os.path.isdir(wheel_directory):
        os.makedirs(wheel_directory)
    return write_wheel(wheel_directory, files, version, [NAME, ROWS] + names + simulator_names)


def _sdist_excluded(relative):
    parts = relative.split(os.sep)
    top = parts[0]
    return (top.startswith(('build', '.git', 'dist')) or top == 'demo-output' or
            '__pycache__' in parts or relative.endswith(('.pyc', '.pyo')))


@_refusals_end_the_build
def build_sdist(sdist_directory, config_settings=None):
    version = read_version()
    base = '%s-%s' % (DIST_NAME, version)
    name = base + '.tar.gz'
    if not os.path.isdir(sdist_directory):
        os.makedirs(sdist_directory)
    with tarfile.open(os.path.join(sdist_directory, name), 'w:gz', format=tarfile.PAX_FORMAT) as tar:
        for folder, dirs, leaves in os.walk(ROOT):
            dirs.sort()
            for leaf in sorted(leaves):
                full = os.path.join(folder, leaf)
                relative = os.path.relpath(full, ROOT)
                if not _sdist_excluded(relative):
                    tar.add(full, arcname=base + '/' + relative.replace(os.sep, '/'), recursive=False)
        pkg_info = _utf8(metadata_files(version, [])['METADATA'])
        info = tarfile.TarInfo(base + '/PKG-INFO')
        info.size = len(pkg_info)
        info.mode = 0o644
        tar.addfile(info, io.BytesIO(pkg_info))
    return name


# ---------------------------------------------------------------- command

def main(argv):
    usage = ('usage: python %s install [pip install options]\n'
             '       python %s wheel [DIR]' % (argv[0], argv[0]))
    if len(argv) < 2 or argv[1] not in ('install', 'wheel'):
        print(usage, file=sys.stderr)
        return 2
    if argv[1] == 'wheel':
        folder = os.path.abspath(argv[2] if len(argv) > 2 else 'dist')
        print(os.path.join(folder, build_wheel(folder)))
        return 0
    folder = tempfile.mkdtemp(prefix='velto-install-')
    try:
        wheel = os.path.join(folder, build_wheel(folder))
        # --force-reinstall: a rebuilt wheel replaces an installed one of the
        # same version, as `pip install .` does.
        return subprocess.call([sys.executable, '-m', 'pip', 'install', '--force-reinstall',
                                wheel] + argv[2:])
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main(sys.argv))
