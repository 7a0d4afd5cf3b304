"""Checks the shape of the module's sources; exits 1 and says why on a breach.

  python scripts/check_architecture.py

- Folders depend one way: each folder of LAYERS includes only headers of its
  own folder and of the folders after it (so no folder-level include cycle).
- Only the Python boundary includes the Python headers (directly, or through
  value/python_version.h): the bridge's files in value/ below the module's
  entry and methods.
- Code that differs between Python versions (PY_MAJOR_VERSION) lives only in
  value/python_version.h and the module's entry.
- No product file is longer than MAX_LINES lines.
- Locks are the annotated Mutex of value/mutex.h (checked by clang's
  -Wthread-safety, scripts/thread_safety.sh): no other file declares a
  std::mutex.
- Every file that declares a Mutex gives the module's fork routine
  (module/fork.cc) its hooks, so no lock is forgotten across fork(); the
  runtimes' locks are the exception: a forked child forgets the runtimes.
Runs under CTest as check.architecture.
"""
from __future__ import print_function

import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LAYERS = ['module', 'operations', 'streams', 'value', 'device']
PYTHON_HEADERS = {'Python.h', 'value/python_version.h'}
PYTHON_HEADER_ALLOWED = {'value/python_version.h', 'value/python_convert.cc',
                         'value/python_lock.cc', 'value/python_gate.cc',
                         'module/methods.cc', 'module/module_entry.cc'}
VERSION_CODE_ALLOWED = {'value/python_version.h', 'module/module_entry.cc'}
MAX_LINES = 500
# Locks of a runtime: the child of a fork() never touches the parent's runtimes.
MUTEX_EXEMPT = {'module/sync.cc', 'module/runtime.h'}
# The one file that wraps std::mutex (in the annotated Mutex).
MUTEX_TYPE = 'value/mutex.h'
STD_MUTEX = re.compile(r'\bstd::(?:recursive_|timed_|shared_)?mutex\s+\w+\s*[;{]')
MUTEX = re.compile(r'(?<![\w:])Mutex\s+\w+\s*[;{]')

INCLUDE = re.compile(r'^\s*#\s*include\s+[<"]([^>"]+)[>"]', re.M)


def sources():
    for layer in LAYERS:
        folder = os.path.join(ROOT, layer)
        for name in sorted(os.listdir(folder)):
            if name.endswith(('.h', '.cc')):
                path = layer + '/' + name
                with open(os.path.join(ROOT, path)) as f:
                    yield path, f.read()


def main():
    problems = []
    fork_routine = open(os.path.join(ROOT, 'module', 'fork.cc')).read()
    for path, text in sources():
        layer = path.split('/')[0]
        allowed = LAYERS[LAYERS.index(layer):]
        for header in INCLUDE.findall(text):
            folder = header.split('/')[0] if '/' in header else None
            if folder in LAYERS and folder not in allowed:
                problems.append('%s includes %s: %s may use only %s' %
                                (path, header, layer, ', '.join(allowed)))
            if header in PYTHON_HEADERS and path not in PYTHON_HEADER_ALLOWED:
                problems.append('%s includes %s: only %s may' %
                                (path, header, ', '.join(sorted(PYTHON_HEADER_ALLOWED))))
        lines = text.count('\n')
        if lines > MAX_LINES:
            problems.append('%s has %d lines: split it (at most %d)' % (path, lines, MAX_LINES))
        if 'PY_MAJOR_VERSION' in text and path not in VERSION_CODE_ALLOWED:
            problems.append('%s holds Python-version code: only %s may' %
                            (path, ', '.join(sorted(VERSION_CODE_ALLOWED))))
        if STD_MUTEX.search(text) and path != MUTEX_TYPE:
            problems.append('%s declares a std::mutex: use the annotated Mutex of %s' %
                            (path, MUTEX_TYPE))
        if MUTEX.search(text) and path not in MUTEX_EXEMPT:
            hooks = re.findall(r'^void (\w+_fork_prepare)\(\)', text, re.M)
            if not hooks or not all(hook + '()' in fork_routine for hook in hooks):
                problems.append('%s owns a mutex but module/fork.cc does not call its '
                                '*_fork_prepare hook' % path)
    simulator = os.path.join(ROOT, 'simulator')
    for name in sorted(os.listdir(simulator)):
        if name.endswith(('.h', '.cc')):
            with open(os.path.join(simulator, name)) as f:
                lines = f.read().count('\n')
            if lines > MAX_LINES:
                problems.append('simulator/%s has %d lines: split it (at most %d)' %
                                (name, lines, MAX_LINES))
    for problem in problems:
        print('architecture: ' + problem)
    print('architecture: %s' % ('%d problem(s)' % len(problems) if problems else 'ok'))
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
