"""Checks the shape of the module's sources; exits 1 and says why on a breach.

  python scripts/check_architecture.py

- Folders depend one way: each folder of LAYERS includes only headers of its
  own folder and of the folders after it (so no folder-level include cycle).
- Only the Python boundary includes the Python headers (directly, or through
  value/python_version.h): the bridge's files in value/ below the module's
  entry and methods.
- Code that differs between Python versions (PY_MAJOR_VERSION) lives only in
  value/python_version.h and the module's entry.
- rows/ (the extension velto_rows, the package's native row formatter) stands
  apart: it includes none of the module's folders, and none of them it.
- No product file is longer than MAX_LINES lines: the C++ folders, simulator/,
  python/velto/**/*.py and the manager's page scripts (static/*.js).
- Locks are the annotated Mutex of value/mutex.h (checked by clang's
  -Wthread-safety, scripts/thread_safety.sh): no other file declares a
  std::mutex.
- Every file that declares a Mutex gives the module's fork routine
  (module/fork.cc) its hooks, so no lock is forgotten across fork(); the
  runtimes' locks are the exception: a forked child forgets the runtimes.
- The pure-Python package python/velto imports one way: each module sits in
  a layer of PYTHON_LAYERS and imports only from its own layer or lower ones
  (lazy imports inside functions included), with no import cycle, and uses
  no other module's private names (`module._name`, `from .x import _name`,
  `obj._name` on anything but self/cls; namedtuple's _asdict and the like
  excepted). Modules named _x are internal to the package, not private.
  The manager's modules (python/velto/manager/*.py) are top-layer modules
  of the same check: they take the package through `from .. import x`,
  `from ..x import y` or `import velto`, and each other through `from .x`.
Runs under CTest as check.architecture.
"""
from __future__ import print_function

import ast
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
ROWS = 'rows'  # the extension velto_rows: Python headers and the standard library only
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


def other_product_files():
    """Paths of the product files outside the C++ folders that MAX_LINES bounds."""
    found = [folder + '/' + n for folder in ('simulator', ROWS)
             for n in sorted(os.listdir(os.path.join(ROOT, folder))) if n.endswith(('.h', '.cc'))]
    for folder, dirs, names in os.walk(os.path.join(ROOT, PYTHON_PACKAGE)):
        dirs[:] = sorted(d for d in dirs if d != '__pycache__')
        relative = os.path.relpath(folder, ROOT).replace(os.sep, '/')
        found += [relative + '/' + n for n in sorted(names) if n.endswith('.py')]
    static = MANAGER_PACKAGE + '/static'
    found += [static + '/' + n for n in sorted(os.listdir(os.path.join(ROOT, static)))
              if n.endswith('.js')]
    return found


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
            if folder == ROWS:
                problems.append('%s includes %s: the module does not use velto_rows' % (path, header))
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
    for path in other_product_files():
        with open(os.path.join(ROOT, path), 'rb') as f:
            text = f.read()
        lines = text.count(b'\n')
        if path.startswith(ROWS + '/'):
            for header in INCLUDE.findall(text.decode('utf-8')):
                if '/' in header and header.split('/')[0] in LAYERS + ['simulator']:
                    problems.append('%s includes %s: velto_rows stands apart from the module'
                                    % (path, header))
        if lines > MAX_LINES:
            problems.append('%s has %d lines: split it (at most %d)' % (path, lines, MAX_LINES))
    for problem in problems:
        print('architecture: ' + problem)
    print('architecture: %s' % ('%d problem(s)' % len(problems) if problems else 'ok'))
    return 1 if problems else 0


# python/velto's layers, lowest first: leaf helpers, the module's runtime, device
# objects, recorded data, and the entry points on top.
PYTHON_PACKAGE = 'python/velto'
# The manager's package: its modules, named manager.x here, sit in the top layer.
MANAGER_PACKAGE = PYTHON_PACKAGE + '/manager'
MANAGER = 'manager'
PYTHON_LAYERS = [
    ('leaf', ['_compat', 'errors', 'geometry', 'files', 'measures']),
    ('runtime', ['_runtime']),
    ('device', ['streams', 'clock', 'calibration', 'validation', 'tracker']),
    ('data', ['columns', 'losses', 'interrupts', 'markers', 'recording', 'reader', 'analysis', 'salvage',
              'quality', 'bids_files', 'bids', 'replay']),
    ('top', ['cli', '__main__', '__init__']),
]
# Underscore names that are public API of the standard library's types.
PUBLIC_UNDERSCORE = {'_asdict', '_replace', '_fields', '_make', '_field_defaults'}


def _resolve(node, package):
    """The parts ('velto', ...) of the module an ImportFrom in `package` ('' for
    velto's modules, MANAGER for the manager's) names; None outside velto."""
    if node.level:
        parts = ['velto'] + ([package] if package else [])
        if node.level > len(parts):
            return None
        return parts[:len(parts) - node.level + 1] + (node.module.split('.') if node.module else [])
    parts = (node.module or '').split('.')
    return parts if parts[0] == 'velto' else None


def _module_key(parts):
    """The name under which the module `parts` is checked: x, manager.x, or the
    __init__ of a package (__init__, manager.__init__)."""
    name = '.'.join(parts[1:])
    return (name + '.' if name else '') + '__init__' if name in ('', MANAGER) else name


def _python_imports(tree, modules, package=''):
    """(imported package module, line, private names taken from it) of a module's AST."""
    found = []
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom):
            parts = _resolve(node, package)
            if parts is None:
                continue
            base = _module_key(parts)
            if not base.endswith('__init__'):
                private = [a.name for a in node.names if a.name.startswith('_')
                           and not a.name.startswith('__')]
                found.append((base, node.lineno, private))
            else:  # from . import x, y
                prefix = base[:-len('__init__')]
                for alias in node.names:
                    module = prefix + alias.name
                    target = module if module in modules else base
                    private = [] if module in modules or not alias.name.startswith('_') \
                        or alias.name.startswith('__') else [alias.name]
                    found.append((target, node.lineno, private))
        elif isinstance(node, ast.Import):
            for alias in node.names:
                parts = alias.name.split('.')
                if parts[0] == 'velto':
                    found.append((_module_key(parts), node.lineno, []))
    return found


def _module_aliases(tree, modules, package=''):
    """Names bound to the package's modules (and to velto itself), and to other
    imported modules."""
    package_names, other = set(), set()
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom):
            parts = _resolve(node, package)
            base = _module_key(parts) if parts is not None else ''
            if base.endswith('__init__'):
                prefix = base[:-len('__init__')]
                package_names.update(a.asname or a.name for a in node.names
                                     if prefix + a.name in modules)
        elif isinstance(node, ast.Import):
            for alias in node.names:
                name = alias.asname or alias.name.split('.')[0]
                velto = alias.name == 'velto' or alias.name.startswith('velto.')
                (package_names if velto else other).add(name)
    return package_names, other


def _python_modules():
    """{checked name: path} of python/velto's modules and the manager's (manager.x)."""
    found = {}
    for folder, prefix in ((PYTHON_PACKAGE, ''), (MANAGER_PACKAGE, MANAGER + '.')):
        for leaf in os.listdir(os.path.join(ROOT, folder)):
            if leaf.endswith('.py'):
                found[prefix + leaf[:-3]] = '%s/%s' % (folder, leaf)
    return found


def check_python_layers():
    """Problems of python/velto's imports against PYTHON_LAYERS."""
    problems = []
    rank = {}
    for index, (layer, names) in enumerate(PYTHON_LAYERS):
        for name in names:
            rank[name] = (index, layer)
    paths = _python_modules()
    modules = sorted(paths)
    for name in modules:
        if name.startswith(MANAGER + '.'):
            rank[name] = (len(PYTHON_LAYERS) - 1, PYTHON_LAYERS[-1][0])
        elif name not in rank:
            problems.append('%s is in no layer of PYTHON_LAYERS' % paths[name])
    edges = {}
    for name in modules:
        path = paths[name]
        package = MANAGER if name.startswith(MANAGER + '.') else ''
        with open(os.path.join(ROOT, path)) as f:
            tree = ast.parse(f.read(), path)
        edges[name] = set()
        for target, line, private in _python_imports(tree, modules, package):
            if target == name:
                continue
            edges[name].add(target)
            if name in rank and target in rank and rank[target][0] > rank[name][0]:
                problems.append('%s:%d imports %s: the %s layer is above %s\'s %s layer'
                                % (path, line, target, rank[target][1], name, rank[name][1]))
            for item in private:
                problems.append('%s:%d imports the private name %s from %s' % (path, line, item, target))
        package_names, other = _module_aliases(tree, modules, package)
        for node in ast.walk(tree):
            if not (isinstance(node, ast.Attribute) and node.attr.startswith('_')
                    and not node.attr.startswith('__') and node.attr not in PUBLIC_UNDERSCORE):
                continue
            owner = node.value.id if isinstance(node.value, ast.Name) else None
            if owner in ('self', 'cls') or (owner in other and owner not in package_names):
                continue
            problems.append('%s:%d uses the private name %s of %s'
                            % (path, node.lineno, node.attr, owner or 'another object'))
    problems += ['%s: import cycle %s' % (paths.get(cycle[0], cycle[0]), ' -> '.join(cycle))
                 for cycle in _cycles(edges)]
    return problems


def _cycles(edges):
    """One cycle through each module that lies on one (depth-first search)."""
    cycles, state, stack = [], {}, []

    def visit(node):
        state[node] = 'open'
        stack.append(node)
        for target in sorted(edges.get(node, ())):
            if state.get(target) == 'open':
                cycles.append(stack[stack.index(target):] + [target])
            elif target not in state:
                visit(target)
        stack.pop()
        state[node] = 'done'
    for node in sorted(edges):
        if node not in state:
            visit(node)
    return cycles


def main_with_python():
    status = main()
    problems = check_python_layers()
    for problem in problems:
        print('architecture: python: ' + problem)
    print('architecture: python package %s' % ('%d problem(s)' % len(problems) if problems else 'ok'))
    return 1 if problems or status else 0


if __name__ == '__main__':
    sys.exit(main_with_python())
