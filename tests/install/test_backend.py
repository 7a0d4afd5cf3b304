"""The package build backend (backend/velto_backend.py): the wheel it packs,
its refusals, and a real device library given by VELTO_DEVICE_LIBRARY.

Run by CTest (install.test_backend) with the build's interpreter; the
stand-in vendor libraries come from the build (VELTO_TEST_*_LIBRARY).
"""
from __future__ import print_function

import base64
import hashlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, 'backend'))
import velto_backend  # noqa: E402

VERSION = io.open(os.path.join(ROOT, 'VERSION'), encoding='utf-8').read().strip()


def pip_supported_tags():
    """The tags pip accepts for this interpreter (pip's own code, not the
    backend's), or None when this pip's layout is unknown."""
    try:
        from pip._internal.utils.compatibility_tags import get_supported  # pip >= 20
        return set(str(t) for t in get_supported())
    except ImportError:
        pass
    try:
        from pip._internal.pep425tags import get_supported  # pip 19
        return set('-'.join(t) for t in get_supported())
    except ImportError:
        return None


class TempDir(object):
    def __enter__(self):
        self.path = tempfile.mkdtemp(prefix='velto-backend-test-')
        return self.path

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)


def write(path, data=b'x', mode=0o644):
    folder = os.path.dirname(path)
    if not os.path.isdir(folder):
        os.makedirs(folder)
    with open(path, 'wb') as f:
        f.write(data)
    os.chmod(path, mode)


def refusal(hook, *args, **env):
    """Runs a hook with `env` changed; returns the message it ends with."""
    try:
        from StringIO import StringIO  # 2.7: print() writes str
    except ImportError:
        from io import StringIO
    saved_env = dict((k, os.environ.get(k)) for k in env)
    saved_err = sys.stderr
    sys.stderr = captured = StringIO()
    try:
        for k, v in env.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v
        hook(*args)
        return None
    except SystemExit as e:
        if e.code != 1:
            raise
        return captured.getvalue()
    finally:
        sys.stderr = saved_err
        for k, v in saved_env.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


class WheelFiles(unittest.TestCase):
    def test_packages_metadata_and_record_of_a_packed_wheel(self):
        with TempDir() as tmp:
            # A tree with a pure-Python package (and things that stay out).
            root = os.path.join(tmp, 'tree')
            write(os.path.join(root, 'python', 'velto', '__init__.py'), b'"""layer"""\n')
            write(os.path.join(root, 'python', 'velto', 'sub', '__init__.py'), b'')
            write(os.path.join(root, 'python', 'velto', 'sub', 'data.json'), b'{}')
            write(os.path.join(root, 'python', 'velto', '__pycache__', 'x.cpython-38.pyc'))
            write(os.path.join(root, 'python', 'velto', 'old.pyc'))
            write(os.path.join(root, 'python', 'notes', 'readme.txt'))  # not a package
            packages, names = velto_backend.python_packages(root)
            self.assertEqual(sorted(p for p, _ in packages),
                             ['velto/__init__.py', 'velto/sub/__init__.py', 'velto/sub/data.json'])
            self.assertEqual(names, ['velto'])
            self.assertEqual(velto_backend.python_packages(os.path.join(tmp, 'none')), ([], []))

            module = os.path.join(tmp, 'velto_internal.so')
            write(module, b'\x7fELF module', 0o755)
            library = os.path.join(tmp, 'libvelto.so')
            write(library, b'\x7fELF library', 0o755)
            files = [('velto_internal.so', module), ('libvelto.so', library)] + packages
            out = os.path.join(tmp, 'out')
            os.makedirs(out)
            name = velto_backend.write_wheel(out, files, VERSION, ['velto_internal'] + names)
            tag = name[len('velto-%s-' % VERSION):-len('.whl')]
            supported = pip_supported_tags()
            if supported is not None:
                self.assertIn(tag, supported)
            self.assertTrue(tag.endswith('-linux_x86_64'), tag)
            if sys.version_info[0] == 2 and sys.maxunicode == 0x10FFFF:
                self.assertEqual(tag, 'cp27-cp27mu-linux_x86_64')

            with zipfile.ZipFile(os.path.join(out, name)) as wheel:
                info = 'velto-%s.dist-info/' % VERSION
                record = wheel.read(info + 'RECORD').decode('utf-8').splitlines()
                listed = {}
                for line in record:
                    path, digest, size = line.rsplit(',', 2)
                    listed[path] = (digest, size)
                self.assertEqual(listed.pop(info + 'RECORD'), ('', ''))
                # Every other file is listed once, with its hash and size.
                self.assertEqual(sorted(listed), sorted(n for n in wheel.namelist()
                                                        if n != info + 'RECORD'))
                self.assertEqual(len(record), len(wheel.namelist()))
                for path, (digest, size) in listed.items():
                    data = wheel.read(path)
                    expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest())
                    self.assertEqual(digest, 'sha256=' + expected.rstrip(b'=').decode('ascii'))
                    self.assertEqual(int(size), len(data))
                self.assertEqual(wheel.getinfo('velto_internal.so').external_attr >> 16 & 0o777, 0o755)
                self.assertEqual(wheel.getinfo('velto/__init__.py').external_attr >> 16 & 0o777, 0o644)
                wheel_text = wheel.read(info + 'WHEEL').decode('utf-8')
                self.assertIn('Root-Is-Purelib: false\n', wheel_text)
                self.assertIn('Tag: %s\n' % tag, wheel_text)
                self.assertEqual(wheel.read(info + 'top_level.txt'), b'velto\nvelto_internal\n')
                self.assertIn('Version: %s\n' % VERSION, wheel.read(info + 'METADATA').decode('utf-8'))

    def test_prepared_metadata_names_the_distribution_velto(self):
        # The distribution was called velto_internal, so `pip uninstall velto`
        # said "not installed".
        saved = os.environ.pop('VELTO_DEVICE_LIBRARY', None)
        try:
            with TempDir() as tmp:
                name = velto_backend.prepare_metadata_for_build_wheel(tmp)
                self.assertEqual(name, 'velto-%s.dist-info' % VERSION)
                with open(os.path.join(tmp, name, 'METADATA')) as f:
                    metadata = f.read()
                self.assertIn('Name: velto\nVersion: %s\n' % VERSION, metadata)
                with open(os.path.join(tmp, name, 'top_level.txt')) as f:
                    top_level = f.read().split()
                # The simulator's control module ships as top-level velto_sim,
                # the package's row formatter as velto_rows.
                self.assertEqual(top_level, ['velto', 'velto_internal', 'velto_rows', 'velto_sim'])
                self.assertEqual(velto_backend.simulator_modules()[0],
                                 [('velto_sim.py', os.path.join(ROOT, 'simulator', 'velto_sim.py'))])
        finally:
            if saved is not None:
                os.environ['VELTO_DEVICE_LIBRARY'] = saved

    def test_sdist_holds_the_sources_and_no_build_output(self):
        import tarfile
        with TempDir() as tmp:
            name = velto_backend.build_sdist(tmp)
            self.assertEqual(name, 'velto-%s.tar.gz' % VERSION)
            with tarfile.open(os.path.join(tmp, name)) as tar:
                names = set(n.split('/', 1)[1] for n in tar.getnames())
            for wanted in ('PKG-INFO', 'VERSION', 'pyproject.toml', 'backend/velto_backend.py',
                           'CMakeLists.txt', 'simulator/sim_json.cc'):
                self.assertIn(wanted, names)
            self.assertFalse([n for n in names if n.startswith(('build', '.git/'))
                              or '__pycache__' in n])


class Refusals(unittest.TestCase):
    """A build that cannot work ends with one line saying what is missing."""

    def test_missing_tools_and_headers(self):
        with TempDir() as tmp:
            out = os.path.join(tmp, 'out')
            message = refusal(velto_backend.build_wheel, out, PATH=tmp)
            self.assertIn('CMake was not found on PATH', message)
            # CMake and make, but no compiler.
            for tool in ('cmake', 'make'):
                os.symlink(velto_backend.find_program(tool), os.path.join(tmp, tool))
            message = refusal(velto_backend.build_wheel, out, PATH=tmp, CC=None, CXX=None)
            self.assertIn('no C++ compiler found', message)
            message = refusal(velto_backend.build_wheel, out, CXX='/nowhere/g++')
            self.assertIn('CXX=/nowhere/g++', message)
            message = refusal(velto_backend.build_wheel, out, VELTO_DEVICE_LIBRARY='no-such.so')
            self.assertIn('VELTO_DEVICE_LIBRARY=no-such.so: no such file', message)

            real_get_paths = velto_backend.sysconfig.get_paths
            velto_backend.sysconfig.get_paths = lambda: {'include': tmp}
            try:
                message = refusal(velto_backend.build_wheel, out)
            finally:
                velto_backend.sysconfig.get_paths = real_get_paths
            self.assertIn('Python.h was not found in %s' % tmp, message)
            self.assertFalse(os.path.exists(out))
            self.assertEqual(len(message.strip().splitlines()), 1, message)

    def test_unsupported_interpreter(self):
        class Python37(object):
            version_info = (3, 7, 16, 'final', 0)

            def __getattr__(self, name):
                return getattr(sys, name)

        velto_backend.sys = Python37()
        try:
            message = refusal(velto_backend.build_wheel, 'unused')
        finally:
            velto_backend.sys = sys
        self.assertIn('CPython 3.7 is not supported', message)
        self.assertIn('2.7 and 3.8 to 3.13', message)


class DeviceLibrary(unittest.TestCase):
    """VELTO_DEVICE_LIBRARY=/path/lib.so builds against a real library."""

    def setUp(self):
        self.vendor = os.environ.get('VELTO_TEST_VENDOR_LIBRARY')
        self.other_soname = os.environ.get('VELTO_TEST_SONAME_LIBRARY')
        if not (self.vendor and self.other_soname):
            self.skipTest('run through CTest (needs the stand-in vendor libraries)')

    def test_library_under_another_name_is_installed_as_libvelto(self):
        # A library given under another file name was copied under that name,
        # and the module then failed to import (libvelto.so not found).
        with TempDir() as tmp:
            out = os.path.join(tmp, 'out')
            saved = os.environ.get('VELTO_DEVICE_LIBRARY')
            os.environ['VELTO_DEVICE_LIBRARY'] = self.vendor
            try:
                name = velto_backend.build_wheel(out, {'build-dir': os.path.join(tmp, 'build')})
            finally:
                if saved is None:
                    del os.environ['VELTO_DEVICE_LIBRARY']
                else:
                    os.environ['VELTO_DEVICE_LIBRARY'] = saved
            site = os.path.join(tmp, 'site')
            with zipfile.ZipFile(os.path.join(out, name)) as wheel:
                wheel.extractall(site)
                # A real library has no control interface: no velto_sim with it.
                self.assertNotIn('velto_sim.py', wheel.namelist())
            with open(self.vendor, 'rb') as a, open(os.path.join(site, 'libvelto.so'), 'rb') as b:
                self.assertEqual(a.read(), b.read())
            script = ('from __future__ import print_function\n'
                      'import threading, velto_internal as v\n'
                      'v.startup(); done = threading.Event(); box = []\n'
                      'v.call_function("find_all_eyetrackers", (), lambda r: (box.append(r), done.set()))\n'
                      'done.wait(10); v.cleanup()\n'
                      'print(v.__file__, len(box[0][1]))\n')
            env = dict(os.environ, PYTHONPATH=site)
            printed = subprocess.check_output([sys.executable, '-c', script], env=env, cwd=tmp)
            module_file, trackers = printed.decode('utf-8').split()
            self.assertEqual(os.path.dirname(module_file), site)
            self.assertEqual(trackers, '2')

    def test_library_with_another_soname_is_refused(self):
        with TempDir() as tmp:
            message = refusal(velto_backend.build_wheel, os.path.join(tmp, 'out'),
                              {'build-dir': os.path.join(tmp, 'build')},
                              VELTO_DEVICE_LIBRARY=self.other_soname)
            flat = ' '.join(message.split())
            self.assertIn("the SONAME of '%s' is 'libvelto.so.2', not 'libvelto.so'"
                          % self.other_soname, flat)
            self.assertIn('The full log is %s' % os.path.join(tmp, 'build', 'build.log'), flat)
            self.assertLess(len(message.splitlines()), 10)


if __name__ == '__main__':
    unittest.main()
